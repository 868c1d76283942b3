#pragma once
// The menu bar as the GMenuModel the window shows. It is built once and then kept: a rebuild of
// the menu (full screen entered or left, a language change) changes only the entries whose text,
// action or shortcut differs, so the shown menu bar follows at once through the model's
// "items-changed" signal. Separators of the plain menu become sections. GIO only (no display);
// GTK main thread.

#include "app/MainMenu.h"

typedef struct _GMenu GMenu;
typedef struct _GMenuModel GMenuModel;

namespace kestrom::app {

class MenuBarModel {
 public:
  explicit MenuBarModel(const MainMenu& menu);
  ~MenuBarModel();
  MenuBarModel(const MenuBarModel&) = delete;
  MenuBarModel& operator=(const MenuBarModel&) = delete;

  /// Brings the model in line with `menu`, in place.
  void update(const MainMenu& menu);
  /// The menu bar; owned by this object, stays the same object for its life.
  GMenuModel* model() const;

 private:
  struct Submenu;
  void append(const app::Submenu& from);
  void fill(Submenu& submenu, const app::Submenu& from);

  GMenu* bar_;
  std::vector<Submenu> submenus_;
};

}  // namespace kestrom::app
