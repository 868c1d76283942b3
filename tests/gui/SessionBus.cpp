#include "tests/gui/SessionBus.h"

#include <chrono>

#include "tests/gui/GuiSupport.h"

namespace kestrom::gui_testing {

std::string exportedMenuBar() {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!bus) return "(no session bus)";
  GVariantBuilder groups;
  g_variant_builder_init(&groups, G_VARIANT_TYPE("au"));
  for (guint32 group = 0; group < 32; ++group) g_variant_builder_add(&groups, "u", group);
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(bus, "org.kestrom.Kestrom", "/org/kestrom/Kestrom/menus/menubar",
                                                "org.gtk.Menus", "Start", g_variant_new("(au)", &groups),
                                                G_VARIANT_TYPE("(a(uuaa{sv}))"), G_DBUS_CALL_FLAGS_NONE, 5000,
                                                nullptr, &error);
  std::string text;
  if (reply) {
    gchar* printed = g_variant_print(reply, FALSE);
    text = printed;
    g_free(printed);
    g_variant_unref(reply);
  } else {
    text = std::string("(no menu bar: ") + (error ? error->message : "?") + ")";
    g_clear_error(&error);
  }
  g_object_unref(bus);
  return text;
}

std::string activateApplicationAction(const char* name) {
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (!bus) return "no session bus";
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.kestrom.Kestrom", "/org/kestrom/Kestrom", "org.gtk.Actions", "Activate",
      g_variant_new("(s@av@a{sv})", name, g_variant_new_array(G_VARIANT_TYPE_VARIANT, nullptr, 0),
                    g_variant_new_array(G_VARIANT_TYPE("{sv}"), nullptr, 0)),
      nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error);
  std::string failure;
  if (reply) {
    g_variant_unref(reply);
  } else {
    failure = error ? error->message : "?";
    g_clear_error(&error);
  }
  g_object_unref(bus);
  return failure;
}

FakeSessionManager::FakeSessionManager() : context_(g_main_context_new()), loop_(g_main_loop_new(context_, FALSE)) {
  thread_ = std::thread([this] { serve(); });
  waitUntil(std::chrono::seconds(10), [this] { return ready_.load(); });
}

FakeSessionManager::~FakeSessionManager() {
  g_main_context_invoke(context_, +[](gpointer loop) -> gboolean {
    g_main_loop_quit(static_cast<GMainLoop*>(loop));
    return G_SOURCE_REMOVE;
  }, loop_);
  thread_.join();
  if (info_) g_dbus_node_info_unref(info_);
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
}

void FakeSessionManager::serve() {
  g_main_context_push_thread_default(context_);
  bus_ = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
  if (bus_) {
    static const char kXml[] =
        "<node>"
        "<interface name='org.gnome.SessionManager'>"
        "<method name='RegisterClient'><arg type='s' direction='in'/><arg type='s' direction='in'/>"
        "<arg type='o' direction='out'/></method>"
        "<method name='UnregisterClient'><arg type='o' direction='in'/></method>"
        "</interface>"
        "<interface name='org.gnome.SessionManager.ClientPrivate'>"
        "<method name='EndSessionResponse'><arg type='b' direction='in'/><arg type='s' direction='in'/></method>"
        "<signal name='QueryEndSession'><arg type='u'/></signal>"
        "<signal name='EndSession'><arg type='u'/></signal>"
        "</interface>"
        "</node>";
    info_ = g_dbus_node_info_new_for_xml(kXml, nullptr);
    static const GDBusInterfaceVTable vtable{&FakeSessionManager::onCall, nullptr, nullptr, {}};
    g_dbus_connection_register_object(bus_, "/org/gnome/SessionManager", info_->interfaces[0], &vtable, this,
                                      nullptr, nullptr);
    g_dbus_connection_register_object(bus_, kClientPath, info_->interfaces[1], &vtable, this, nullptr, nullptr);
    GVariant* reply = g_dbus_connection_call_sync(
        bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "org.gnome.SessionManager", 4u), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000,
        nullptr, nullptr);
    if (reply) {
      guint32 code = 0;
      g_variant_get(reply, "(u)", &code);
      owned_ = code == 1;  // the primary owner
      g_variant_unref(reply);
    }
  }
  ready_ = true;
  g_main_loop_run(loop_);
  if (owned_) {
    GVariant* reply = g_dbus_connection_call_sync(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "ReleaseName",
                                                  g_variant_new("(s)", "org.gnome.SessionManager"), nullptr,
                                                  G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (reply) g_variant_unref(reply);
  }
  if (bus_) g_object_unref(bus_);
  g_main_context_pop_thread_default(context_);
}

void FakeSessionManager::endSession() {
  g_main_context_invoke(context_, +[](gpointer data) -> gboolean {
    auto* self = static_cast<FakeSessionManager*>(data);
    for (const char* name : {"QueryEndSession", "EndSession"}) {
      g_dbus_connection_emit_signal(self->bus_, nullptr, kClientPath, "org.gnome.SessionManager.ClientPrivate", name,
                                    g_variant_new("(u)", 0u), nullptr);
    }
    g_dbus_connection_flush_sync(self->bus_, nullptr, nullptr);
    return G_SOURCE_REMOVE;
  }, this);
}

void FakeSessionManager::onCall(GDBusConnection*, const char*, const char*, const char*, const char* method, GVariant*,
                                GDBusMethodInvocation* invocation, gpointer data) {
  auto* self = static_cast<FakeSessionManager*>(data);
  std::string name = method;
  if (name == "RegisterClient") {
    self->registered_ = true;
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(o)", kClientPath));
    return;
  }
  if (name == "EndSessionResponse") ++self->answers_;
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

}  // namespace kestrom::gui_testing
