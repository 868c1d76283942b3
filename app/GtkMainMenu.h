#pragma once
// The menu's keyboard shortcuts on the main window. GTK main thread.
//
// Application accelerators (gtk_application_set_accels_for_action) act in the capture phase,
// before the focused widget sees the key: Control+Z or Control+C would never reach the page's own
// editors. The shortcuts here act in the bubble phase instead, so the web view sees each key
// first; WebKit hands a key the page did not handle back to the window, and only then does the
// menu's shortcut act.

#include "app/MainMenu.h"

typedef struct _GtkWindow GtkWindow;

namespace kestrom::app {

/// Gives `window` the shortcuts of every item of `menu` that has one; a later call replaces them.
void installMenuShortcuts(GtkWindow* window, const MainMenu& menu);

}  // namespace kestrom::app
