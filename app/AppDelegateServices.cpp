// The kit's requests of the desktop: dialogs, the Bluetooth alert, the window's content, sharing,
// and the save and open services of the web server's file routes.

#include <gio/gio.h>
#include <gtk/gtk.h>

#include "app/AppDelegate.h"
#include "app/FileServices.h"
#include "platform/shell/GtkLaunchView.h"
#include "platform/webview/WebKitWebViewStack.h"

namespace kestrom::app {

namespace {

using shell::FileDialogRequest;

// What the page is told when a panel was dismissed.
std::string cancelled() { return std::string(rawValue(SaveError::userCancelled)); }

// Asks the desktop's file manager to show `items`; opens their folder when none answers.
void showInFileManager(const std::vector<std::filesystem::path>& items) {
  if (items.empty()) return;
  GVariantBuilder uris;
  g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
  for (const auto& item : items) {
    gchar* uri = g_filename_to_uri(item.c_str(), nullptr, nullptr);
    if (uri) g_variant_builder_add(&uris, "s", uri);
    g_free(uri);
  }
  auto* folder = new std::string(items.front().parent_path().string());
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  auto openFolder = [](std::string* path) {
    gchar* uri = g_filename_to_uri(path->c_str(), nullptr, nullptr);
    if (uri) g_app_info_launch_default_for_uri_async(uri, nullptr, nullptr, nullptr, nullptr);
    g_free(uri);
    delete path;
  };
  if (!bus) {
    g_variant_builder_clear(&uris);
    openFolder(folder);
    return;
  }
  g_dbus_connection_call(
      bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1", "org.freedesktop.FileManager1",
      "ShowItems", g_variant_new("(ass)", &uris, ""), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        auto* path = static_cast<std::string*>(data);
        GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
        if (reply) {
          g_variant_unref(reply);
          delete path;
          return;
        }
        gchar* uri = g_filename_to_uri(path->c_str(), nullptr, nullptr);
        if (uri) g_app_info_launch_default_for_uri_async(uri, nullptr, nullptr, nullptr, nullptr);
        g_free(uri);
        delete path;
      },
      folder);
  g_object_unref(bus);
}

}  // namespace

void AppDelegate::setProjectAvailable(bool available) {
  isProjectAvailable_ = available;
  for (auto* action : projectActions_) {
    g_simple_action_set_enabled(action, isMenuItemEnabled(MainMenu::kProjectRequiredTag, available));
  }
}

void AppDelegate::presentDialog(KestromDialogType type, std::function<void(DialogResult)> completion) {
  FileDialogRequest request;
  auto exported = [this] { return exportedFileExtensions(bundle_.infoDictionary()); };
  std::visit(
      [&](const auto& kind) {
        using T = std::decay_t<decltype(kind)>;
        if constexpr (std::is_same_v<T, KestromDialogType::Open>) {
          request.kind = FileDialogRequest::Kind::open;
          request.allowedExtensions = kind.documentTypes.value_or(exported());
        } else if constexpr (std::is_same_v<T, KestromDialogType::Save>) {
          request.kind = FileDialogRequest::Kind::save;
          request.allowedExtensions = kind.allowedTypes.value_or(exported());
          request.suggestedName = kind.name;
        } else if constexpr (std::is_same_v<T, KestromDialogType::SelectFolder>) {
          request.kind = FileDialogRequest::Kind::selectFolder;
          request.initialFolder = kind.initialFolder;
        } else {
          request.kind = FileDialogRequest::Kind::move;
        }
      },
      type.kind);
  dialogs_->runFileDialog(request, [completion = std::move(completion)](std::optional<std::filesystem::path> chosen) {
    if (chosen) {
      completion(*chosen);
    } else {
      completion(makeUnexpected(cancelled()));
    }
  });
}

void AppDelegate::showAlert(KestromAlert, std::function<void()> retry) {
  dialogs_->showAlert({l10n_.tr("bluetooth.turnOnDialog.message"), l10n_.tr("bluetooth.turnOnDialog.informative"),
                       l10n_.tr("bluetooth.turnOnDialog.ok")},
                      std::move(retry));
}

void AppDelegate::setContentViewController(ContentViewController which) {
  if (which == ContentViewController::webView && webStack_) {
    gtk_window_set_child(window_, webStack_->widget());
    return;
  }
  const auto& variant = configuration_.variant;
  gtk_window_set_child(window_, shell::makeLoadingView({variant.launchScreenColorRed, variant.launchScreenColorGreen,
                                                         variant.launchScreenColorBlue}));
}

void AppDelegate::share(std::vector<std::filesystem::path> items) { showInFileManager(items); }

void AppDelegate::selectMoveDestination(std::function<void(DialogResult)> completion) {
  presentDialog({KestromDialogType::Move{}}, std::move(completion));
}

void AppDelegate::saveFile(std::filesystem::path source, std::function<void(Expected<void, SaveError>)> completion) {
  FileDialogRequest request;
  request.kind = FileDialogRequest::Kind::save;
  request.suggestedName = source.filename().string();
  request.allowedExtensions = {pathExtension(source)};
  dialogs_->runFileDialog(request, [source, completion = std::move(completion)](std::optional<std::filesystem::path> chosen) {
    if (!chosen) {
      completion(makeUnexpected(SaveError::userCancelled));
      return;
    }
    completion(moveReplacing(source, *chosen));
  });
}

void AppDelegate::openFile(std::vector<std::string> allowedTypes,
                           std::function<void(Expected<OpenedFile, LoadError>)> completion) {
  FileDialogRequest request;
  request.kind = FileDialogRequest::Kind::open;
  request.allowedExtensions = allowedTypes.empty() ? exportedFileExtensions(bundle_.infoDictionary()) : allowedTypes;
  dialogs_->runFileDialog(request, [completion = std::move(completion)](std::optional<std::filesystem::path> chosen) {
    if (!chosen) {
      completion(makeUnexpected(LoadError::userCancelled));
      return;
    }
    auto text = readUtf8Text(*chosen);
    if (!text) {
      completion(makeUnexpected(text.error()));
      return;
    }
    completion(OpenedFile{*chosen, std::move(*text)});
  });
}

void AppDelegate::languageChanged() { buildMainMenu(); }

std::filesystem::path AppDelegate::variantURL() const { return bundle_.resourceURL() / "variant"; }

std::filesystem::path AppDelegate::contentURL() const { return variantURL() / "content"; }

std::filesystem::path AppDelegate::webURL() const { return variantURL() / "web"; }

}  // namespace kestrom::app
