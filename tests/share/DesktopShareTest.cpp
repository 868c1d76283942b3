// The desktop share backend: the e-mail tool is a script that records its arguments; the file
// manager is a service of this test on a private session bus, present or absent.

#include "platform/share/DesktopShare.h"
#include "platform/launcher/FakeLauncher.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace kestrom::share {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Iterates the default main context until `done` holds or 20 s pass.
bool spinUntil(const std::function<bool()>& done) {
  auto end = std::chrono::steady_clock::now() + 20s;
  while (!done() && std::chrono::steady_clock::now() < end) g_main_context_iteration(nullptr, FALSE), g_usleep(1000);
  return done();
}

std::string readAll(const fs::path& file) {
  std::ifstream in(file);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A dbus-daemon of this test's own, stopped at the end.
class PrivateBus {
 public:
  PrivateBus() {
    std::string command = std::string("dbus-daemon --config-file=") + KESTROM_SESSION_BUS_CONFIG +
                          " --print-address=1 --print-pid=1 --fork";
    FILE* out = popen(command.c_str(), "r");
    if (!out) return;
    char line[512];
    if (fgets(line, sizeof line, out)) address_ = std::string(line, strcspn(line, "\n"));
    if (fgets(line, sizeof line, out)) pid_ = std::atoi(line);
    pclose(out);
  }
  ~PrivateBus() {
    if (pid_ > 0) kill(pid_, SIGTERM);
  }
  const std::string& address() const { return address_; }

 private:
  std::string address_;
  int pid_ = 0;
};

// org.freedesktop.FileManager1 with ShowItems, recording the URIs it was asked to show.
class FakeFileManager {
 public:
  explicit FakeFileManager(const std::string& address) {
    connection_ = g_dbus_connection_new_for_address_sync(
        address.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, nullptr);
    if (!connection_) return;
    GDBusNodeInfo* node = g_dbus_node_info_new_for_xml(
        "<node><interface name='org.freedesktop.FileManager1'><method name='ShowItems'>"
        "<arg type='as' name='URIs' direction='in'/><arg type='s' name='StartupId' direction='in'/>"
        "</method></interface></node>",
        nullptr);
    static const GDBusInterfaceVTable vtable = {
        +[](GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*, GVariant* parameters,
            GDBusMethodInvocation* invocation, gpointer data) {
          GVariantIter* uris = nullptr;
          const gchar* startup = nullptr;
          g_variant_get(parameters, "(as&s)", &uris, &startup);
          const gchar* uri = nullptr;
          while (g_variant_iter_next(uris, "&s", &uri)) static_cast<FakeFileManager*>(data)->shown.push_back(uri);
          g_variant_iter_free(uris);
          g_dbus_method_invocation_return_value(invocation, nullptr);
        },
        nullptr, nullptr, {}};
    g_dbus_connection_register_object(connection_, "/org/freedesktop/FileManager1", node->interfaces[0], &vtable,
                                      this, nullptr, nullptr);
    g_dbus_node_info_unref(node);
    GVariant* reply = g_dbus_connection_call_sync(
        connection_, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", "org.freedesktop.FileManager1", 4u), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        nullptr);
    if (reply) g_variant_unref(reply);
  }
  ~FakeFileManager() {
    if (connection_) {
      g_dbus_connection_close_sync(connection_, nullptr, nullptr);
      g_object_unref(connection_);
    }
  }
  bool ready() const { return connection_ != nullptr; }
  std::vector<std::string> shown;

 private:
  GDBusConnection* connection_ = nullptr;
};

class DesktopShareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrom-share-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern;
    std::ofstream(folder_ / "Robot.kpr") << "zip";
  }
  void TearDown() override { fs::remove_all(folder_); }

  fs::path folder_;
  std::shared_ptr<launcher::RecordingLauncher> launcher_ = std::make_shared<launcher::RecordingLauncher>();
};

TEST_F(DesktopShareTest, EmailAttachesTheFileThroughTheToolWhenThereIsOne) {
  DesktopShare none({.emailProgram = folder_ / "no-such-tool", .busAddress = "", .launcher = launcher_});
  EXPECT_FALSE(none.canEmail());
  EXPECT_FALSE(none.email(folder_ / "Robot.kpr"));

  const auto tool = folder_ / "xdg-email";
  const auto record = folder_ / "arguments";
  std::ofstream(tool) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > " << record.string() << ".part && mv "
                      << record.string() << ".part " << record.string() << "\n";
  fs::permissions(tool, fs::perms::owner_all);
  DesktopShare share({.emailProgram = tool, .busAddress = "", .launcher = launcher_});
  ASSERT_TRUE(share.canEmail());
  ASSERT_TRUE(share.email(folder_ / "Robot.kpr"));
  ASSERT_TRUE(spinUntil([&] { return fs::exists(record); }));
  EXPECT_EQ(readAll(record), "--attach\n" + (folder_ / "Robot.kpr").string() + "\n");
}

TEST_F(DesktopShareTest, ShowInFolderAsksTheFileManagerAndOpensTheFolderWhenNoneAnswers) {
  PrivateBus bus;
  ASSERT_FALSE(bus.address().empty()) << "dbus-daemon did not start";
  DesktopShare share({.emailProgram = "", .busAddress = bus.address(), .launcher = launcher_});

  share.showInFolder(folder_ / "Robot.kpr");  // no file manager on this bus
  ASSERT_TRUE(spinUntil([&] { return !launcher_->opened.empty(); }));
  EXPECT_EQ(launcher_->opened, std::vector<std::string>{"file://" + folder_.string()});

  FakeFileManager manager(bus.address());
  ASSERT_TRUE(manager.ready());
  share.showInFolder(folder_ / "Robot.kpr");
  ASSERT_TRUE(spinUntil([&] { return !manager.shown.empty(); }));
  EXPECT_EQ(manager.shown, std::vector<std::string>{"file://" + (folder_ / "Robot.kpr").string()});
  g_main_context_iteration(nullptr, FALSE);
  EXPECT_EQ(launcher_->opened.size(), 1u) << "the file manager answered: no folder opened";

  DesktopShare noBus({.emailProgram = "", .busAddress = "unix:path=/nonexistent/bus", .launcher = launcher_});
  noBus.showInFolder(folder_ / "Robot.kpr");
  EXPECT_EQ(launcher_->opened.size(), 2u);
}

}  // namespace
}  // namespace kestrom::share
