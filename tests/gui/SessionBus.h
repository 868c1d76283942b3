#pragma once
// The application as the test's session bus sees it: the menu bar and actions it exports, and a
// desktop session manager that can end the session under it.

#include <atomic>
#include <string>
#include <thread>

#include <gio/gio.h>

namespace kestrom::gui_testing {

/// The labels of the menu bar the application exports on the session bus, read through the menu
/// protocol GTK uses for it (org.gtk.Menus), as one printed value.
std::string exportedMenuBar();

/// Activates the application action `name` over the session bus (org.gtk.Actions), as choosing
/// its menu item does; empty on success, else the error.
std::string activateApplicationAction(const char* name);

// A desktop session manager on the test's session bus (the protocol GTK speaks to
// org.gnome.SessionManager): it registers the application as a client and can end the session,
// asking the client first (QueryEndSession), then telling it (EndSession), as a logout does.
class FakeSessionManager {
 public:
  FakeSessionManager();
  ~FakeSessionManager();
  FakeSessionManager(const FakeSessionManager&) = delete;
  FakeSessionManager& operator=(const FakeSessionManager&) = delete;

  bool owned() const { return owned_; }
  bool clientRegistered() const { return registered_; }
  bool endSessionAnswered() const { return answers_ >= 2; }

  /// Ends the session: asks, then tells every registered client.
  void endSession();

 private:
  static constexpr const char* kClientPath = "/org/gnome/SessionManager/Client1";

  void serve();
  static void onCall(GDBusConnection*, const char*, const char*, const char*, const char* method, GVariant*,
                     GDBusMethodInvocation* invocation, gpointer data);

  GMainContext* context_;
  GMainLoop* loop_;
  std::thread thread_;
  GDBusConnection* bus_ = nullptr;  // the thread's
  GDBusNodeInfo* info_ = nullptr;
  std::atomic<bool> ready_ = false;
  std::atomic<bool> owned_ = false;
  std::atomic<bool> registered_ = false;
  std::atomic<int> answers_ = 0;
};

}  // namespace kestrom::gui_testing
