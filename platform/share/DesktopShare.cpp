#include "platform/share/DesktopShare.h"

#include <gio/gio.h>

#include "platform/log/Log.h"

namespace kestrom::share {

namespace {

const log::Logger& logger() {
  static const log::Logger logger("platform", "Share");
  return logger;
}

std::filesystem::path findOnPath(const char* program) {
  gchar* found = g_find_program_in_path(program);
  std::filesystem::path path = found ? found : "";
  g_free(found);
  return path;
}

std::string fileURI(const std::filesystem::path& path) {
  gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
  std::string text = uri ? uri : "";
  g_free(uri);
  return text;
}

GDBusConnection* connect(const std::string& address) {
  GError* error = nullptr;
  GDBusConnection* bus = nullptr;
  if (address.empty()) {
    bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
  } else {
    bus = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
  }
  if (!bus) {
    logger().info("No session bus for the file manager: %s", error ? error->message : "unknown");
    g_clear_error(&error);
  }
  return bus;
}

// What a pending ShowItems call needs when its reply arrives.
struct PendingShow {
  std::shared_ptr<launcher::Launcher> launcher;
  std::filesystem::path file;
};

}  // namespace

DesktopShare::DesktopShare(Options options)
    : emailProgram_(options.emailProgram.empty() ? findOnPath("xdg-email") : std::move(options.emailProgram)),
      busAddress_(std::move(options.busAddress)),
      launcher_(options.launcher ? std::move(options.launcher) : launcher::makeGioLauncher()) {
  std::error_code error;
  if (!emailProgram_.empty() && !std::filesystem::is_regular_file(emailProgram_, error)) emailProgram_.clear();
}

bool DesktopShare::canEmail() const { return !emailProgram_.empty(); }

bool DesktopShare::email(const std::filesystem::path& file) {
  if (emailProgram_.empty()) return false;
  const std::string program = emailProgram_.string();
  const std::string attachment = std::filesystem::absolute(file).string();
  gchar* argv[] = {const_cast<gchar*>(program.c_str()), const_cast<gchar*>("--attach"),
                   const_cast<gchar*>(attachment.c_str()), nullptr};
  GError* error = nullptr;
  GPid pid = 0;
  // The composer lives on its own; its exit is reaped by GLib's child watch.
  if (!g_spawn_async(nullptr, argv, nullptr, G_SPAWN_DO_NOT_REAP_CHILD, nullptr, nullptr, &pid, &error)) {
    logger().error("Could not start %s: %s", program, error->message);
    g_error_free(error);
    return false;
  }
  g_child_watch_add(pid, [](GPid child, gint, gpointer) { g_spawn_close_pid(child); }, nullptr);
  return true;
}

void DesktopShare::showInFolder(const std::filesystem::path& file) {
  GDBusConnection* bus = connect(busAddress_);
  if (!bus) {
    openFolder(file);
    return;
  }
  GVariantBuilder uris;
  g_variant_builder_init(&uris, G_VARIANT_TYPE("as"));
  g_variant_builder_add(&uris, "s", fileURI(std::filesystem::absolute(file)).c_str());
  auto* pending = new PendingShow{launcher_, file};
  g_dbus_connection_call(
      bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1", "org.freedesktop.FileManager1",
      "ShowItems", g_variant_new("(ass)", &uris, ""), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<PendingShow> pending(static_cast<PendingShow*>(data));
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
        if (reply) {
          g_variant_unref(reply);
          return;
        }
        logger().info("The file manager did not show the file (%s); opening its folder", error->message);
        g_error_free(error);
        auto folder = std::filesystem::absolute(pending->file).parent_path();
        pending->launcher->open(fileURI(folder), [](bool) {});
      },
      pending);
  g_object_unref(bus);
}

void DesktopShare::openFolder(const std::filesystem::path& file) {
  launcher_->open(fileURI(std::filesystem::absolute(file).parent_path()), [](bool) {});
}

}  // namespace kestrom::share
