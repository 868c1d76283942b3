#pragma once
// Turns the plain menu model into what GTK shows: a GMenuModel menu bar (separators become
// sections) and the keyboard accelerators of its actions. GTK main thread.

#include "app/MainMenu.h"

typedef struct _GMenuModel GMenuModel;
typedef struct _GtkApplication GtkApplication;

namespace kestrom::app {

/// A new menu bar model (full reference, to be released by the caller).
GMenuModel* makeMenuBarModel(const MainMenu& menu);

/// Sets every item's accelerator on its action, replacing the earlier ones.
void installAccelerators(GtkApplication* application, const MainMenu& menu);

}  // namespace kestrom::app
