// The kit's requests of the desktop: the window's content, the project menu items, the share
// picker and the bundle's folders; the kit's dialog services over the window's dialogs, with
// their texts and types.

#include <gio/gio.h>
#include <gtk/gtk.h>

#include "app/AppDelegate.h"
#include "app/FileServices.h"
#include "app/SharePicker.h"
#include "platform/dispatch/Queue.h"
#include "platform/dispatch/QueueCheck.h"
#include "platform/log/GuardedCallback.h"
#include "platform/share/DesktopShare.h"
#include "platform/shell/GtkLaunchView.h"
#include "platform/webview/WebKitWebViewStack.h"

namespace kestrom::app {

namespace {

// One entry of the share menu and the files it shares; freed with the entry's action.
struct ShareAction {
  ShareEntry::Kind kind;
  std::vector<std::filesystem::path> items;
};

share::Share& desktopShare() {
  static const std::shared_ptr<share::Share> share = std::make_shared<share::DesktopShare>(share::DesktopShare::Options{});
  return *share;
}

// The pointer's position in `widget`, or its origin when the pointer is elsewhere.
GdkRectangle pointerIn(GtkWindow* window, GtkWidget* widget) {
  GdkRectangle at{0, 0, 0, 0};
  GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
  GdkDevice* pointer = gdk_seat_get_pointer(gdk_display_get_default_seat(gtk_widget_get_display(widget)));
  double x = 0, y = 0, dx = 0, dy = 0, wx = 0, wy = 0;
  if (!surface || !pointer || !gdk_surface_get_device_position(surface, pointer, &x, &y, nullptr)) return at;
  gtk_native_get_surface_transform(GTK_NATIVE(window), &dx, &dy);
  if (gtk_widget_translate_coordinates(GTK_WIDGET(window), widget, x - dx, y - dy, &wx, &wy)) {
    at.x = static_cast<int>(wx);
    at.y = static_cast<int>(wy);
  }
  return at;
}

}  // namespace

std::shared_ptr<DialogServices> AppDelegate::makeDialogServices() {
  std::weak_ptr<AppDelegate> weak = weak_from_this();
  return std::make_shared<DialogServices>(DialogServices::Options{
      .dialogs = dialogs_,
      .bluetoothAlert =
          [weak] {
            auto self = weak.lock();
            if (!self) return shell::AlertRequest{};
            return shell::AlertRequest{self->l10n_.tr("bluetooth.turnOnDialog.message"),
                                       self->l10n_.tr("bluetooth.turnOnDialog.informative"),
                                       self->l10n_.tr("bluetooth.turnOnDialog.ok")};
          },
      .exportedFileExtensions =
          [weak] {
            auto self = weak.lock();
            return self ? exportedFileExtensions(self->bundle_.infoDictionary()) : std::vector<std::string>{};
          },
      .share =
          [weak](std::vector<std::filesystem::path> items) {
            if (auto self = weak.lock()) self->share(std::move(items));
          },
      .fileQueue = nullptr,
  });
}

void AppDelegate::setProjectAvailable(bool available) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  isProjectAvailable_ = available;
  for (auto* action : projectActions_) {
    g_simple_action_set_enabled(action, isMenuItemEnabled(MainMenu::kProjectRequiredTag, available));
  }
}

void AppDelegate::openProject(const std::filesystem::path& url) {
  // Told on a later turn of the main loop, so a file handed over at launch is told of over the window.
  kestromApp_->openProject(url, [dialogs = dialogs_, name = url.filename().string()](const auto& opened) {
    if (opened) return;
    dialogs->showAlert({"\u201C" + name + "\u201D could not be opened", opened.error(), "OK"}, {});
  });
}

void AppDelegate::setContentViewController(ContentViewController which) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (which == ContentViewController::webView && webStack_) {
    gtk_window_set_child(window_, webStack_->widget());
    return;
  }
  const auto& variant = configuration_.variant;
  gtk_window_set_child(window_, shell::makeLoadingView({variant.launchScreenColorRed, variant.launchScreenColorGreen,
                                                         variant.launchScreenColorBlue}));
}

// The share picker: a menu at the pointer with "E-mail" (when an e-mail can be composed) and
// "Show in Folder" for the file.
void AppDelegate::share(std::vector<std::filesystem::path> items) {
  GtkWidget* anchor = gtk_window_get_child(window_);
  if (!anchor || items.empty()) return;
  GMenu* menu = g_menu_new();
  GSimpleActionGroup* group = g_simple_action_group_new();
  for (const auto& entry : shareEntries(desktopShare())) {
    const char* name = entry.kind == ShareEntry::Kind::email ? "email" : "show";
    GSimpleAction* action = g_simple_action_new(name, nullptr);
    g_signal_connect_data(
        action, "activate", G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer data) {
          log::guardedCallback("share", [&] {
            auto* chosen = static_cast<ShareAction*>(data);
            (void)performShare(desktopShare(), chosen->kind, chosen->items);
          });
        }),
        new ShareAction{entry.kind, items}, +[](gpointer data, GClosure*) { delete static_cast<ShareAction*>(data); },
        static_cast<GConnectFlags>(0));
    g_action_map_add_action(G_ACTION_MAP(group), G_ACTION(action));
    g_object_unref(action);
    g_menu_append(menu, entry.title.c_str(), (std::string("share.") + name).c_str());
  }
  GtkWidget* popover = gtk_popover_menu_new_from_model(G_MENU_MODEL(menu));
  g_object_unref(menu);
  gtk_widget_insert_action_group(popover, "share", G_ACTION_GROUP(group));
  g_object_unref(group);
  gtk_widget_set_parent(popover, anchor);
  GdkRectangle at = pointerIn(window_, anchor);
  gtk_popover_set_pointing_to(GTK_POPOVER(popover), &at);
  gtk_popover_set_position(GTK_POPOVER(popover), GTK_POS_BOTTOM);
  // The menu goes once closed, after the chosen entry's action has run.
  g_signal_connect(popover, "closed", G_CALLBACK(+[](GtkPopover* closed, gpointer) {
                     g_idle_add_full(G_PRIORITY_LOW, +[](gpointer data) -> gboolean {
                       gtk_widget_unparent(GTK_WIDGET(data));
                       return G_SOURCE_REMOVE;
                     }, closed, nullptr);
                   }),
                   nullptr);
  gtk_popover_popup(GTK_POPOVER(popover));
}

void AppDelegate::languageChanged() { buildMainMenu(); }

std::filesystem::path AppDelegate::variantURL() const { return bundle_.resourceURL() / "variant"; }

std::filesystem::path AppDelegate::contentURL() const { return variantURL() / "content"; }

std::filesystem::path AppDelegate::webURL() const { return variantURL() / "web"; }

}  // namespace kestrom::app
