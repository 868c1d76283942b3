#pragma once
// Measures monitors and moves the main window. GTK 4 itself neither reports nor sets a
// window's position, so on X11 both go through Xlib; elsewhere only the size is kept and the
// compositor places the window. GTK main thread.

#include <optional>

#include "app/WindowPlacement.h"

typedef struct _GtkWindow GtkWindow;

namespace kestrom::app {

struct MonitorLayout {
  std::optional<Rect> main;  // the primary monitor's work area (the first monitor's without one)
  std::vector<Rect> all;     // every monitor's work area
};

MonitorLayout measureMonitors(GtkWindow* window);

/// The window's frame: its position on X11 (else 0, 0) and its current size.
SavedWindowFrame currentWindowFrame(GtkWindow* window);

/// Gives the window `frame`: its size now, its position once it is mapped (X11 only).
void applyWindowFrame(GtkWindow* window, const Rect& frame);

}  // namespace kestrom::app
