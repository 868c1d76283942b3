#pragma once
// Measures monitors and places the main window. GTK 4 itself neither reports nor sets a window's
// position, so on X11 both go through Xlib; elsewhere only the size is kept and the compositor
// places the window. Every rectangle here is an outer frame (the window manager's decorations
// included) in desktop coordinates, like the monitors' work areas. GTK main thread.

#include <functional>
#include <optional>

#include "app/WindowPlacement.h"

typedef struct _GtkWindow GtkWindow;

namespace kestrom::app {

struct MonitorLayout {
  std::optional<Rect> main;  // the primary monitor's work area (the first monitor's without one)
  std::vector<Rect> all;     // every monitor's work area
};

MonitorLayout measureMonitors(GtkWindow* window);

/// The window's outer frame, whether it is maximised, and its decorations' extents (X11); elsewhere
/// the content size at 0, 0. On X11 the frame is the window manager's frame window when that holds
/// just the decorations, so a move or resize the window manager is still passing on to the window
/// counts already; otherwise the window and its extents.
SavedWindowFrame currentWindowFrame(GtkWindow* window);

/// Gives the window the outer frame `frame`. The content size is set at once from `extents` (the
/// decorations last seen; zero when unknown); once the window manager has framed the mapped window
/// (X11 only), size and position are set from the extents it reports. `placed` runs once the
/// window manager shows the window at that frame (or has not done so after a few seconds, or the
/// window went first); on displays other than X11, before this returns.
void applyWindowFrame(GtkWindow* window, const Rect& frame, const FrameExtents& extents,
                      std::function<void()> placed = {});

/// Calls `changed` with whether the window is maximised and whether it is full screen whenever its
/// state changes, both from the same report: a window manager that drops the maximised state while
/// the window is full screen does so in the report that makes it full screen. For the life of the
/// window.
void watchWindowState(GtkWindow* window, std::function<void(bool maximized, bool fullScreen)> changed);

/// Calls `changed` whenever the window manager reports that the window moved or changed size: on
/// X11 each ConfigureNotify of the window or of the frame the window manager put around it (a move
/// reaches the window itself only as the synthetic notice window managers send); elsewhere each
/// change of the surface's size. Reports come in bursts while the user drags; callers wait for
/// them to settle. For the life of the window.
void watchWindowFrame(GtkWindow* window, std::function<void()> changed);

}  // namespace kestrom::app
