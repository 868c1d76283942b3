// The headless host with a USB serial hub that umockdev simulates: the test adds a USB device
// with a CDC-ACM port to a testbed, runs the host with umockdev's preload library pointed at it,
// and plays the hub on the master side of the port's pseudo-terminal while a page, over the real
// WebSocket channel, scans, connects, sends and listens, until the hub is unplugged.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <umockdev.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "KestromKit/base/Base64.h"
#include "tests/integration/HostPage.h"
#include "tests/integration/HostProcess.h"
#include "tests/serial/StreamRecorder.h"

namespace kestrom::test {
namespace {

using Json = nlohmann::json;
using serial::testing::readCount;
using serial::testing::writeAll;
/// Frames as plain JSON, so they compare with the expected ones whatever the order of their keys.
using HubPage = BasicPage<Json>;

class UsbHubEndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override { testbed_ = umockdev_testbed_new(); }
  void TearDown() override { g_object_unref(testbed_); }

  /// A USB device with the hub's attributes and its port ttyACM0; the port's syspath.
  std::string plugInHub() {
    gchar* usb = umockdev_testbed_add_device(testbed_, "usb", "1-1", nullptr, "idVendor", "0694", "idProduct", "0009",
                                             "serial", "HUB0001", "manufacturer", "Kestrom Test", "product", "Test Hub",
                                             nullptr, "DEVTYPE", "usb_device", nullptr);
    EXPECT_NE(usb, nullptr);
    const std::string tty = std::string(usb) + "/1-1:1.0/tty/ttyACM0";
    g_free(usb);
    const std::string description = "P: " + tty.substr(std::string("/sys").size()) +
                                    "\nN: ttyACM0\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyACM0\n";
    GError* error = nullptr;
    EXPECT_TRUE(umockdev_testbed_add_from_string(testbed_, description.c_str(), &error))
        << (error ? error->message : "");
    if (error) g_error_free(error);
    return tty;
  }
  /// The device leaves udev and its end of the line goes away: /dev/null takes the place of the
  /// pseudo-terminal's master under the testbed's descriptor number.
  void unplug(const std::string& syspath, int master) {
    umockdev_testbed_uevent(testbed_, syspath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, syspath.c_str());
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(null, 0);
    ASSERT_EQ(::dup2(null, master), master);
    ::close(null);
  }
  HostProcess::Environment hostEnvironment() const {
    gchar* root = umockdev_testbed_get_root_dir(testbed_);
    HostProcess::Environment environment{{"LD_PRELOAD", KESTROM_HOST_PRELOAD}, {"UMOCKDEV_DIR", root}};
    g_free(root);
    return environment;
  }

  TemporaryHome home_;
  UMockdevTestbed* testbed_ = nullptr;
};

TEST_F(UsbHubEndToEndTest, AHubIsFoundConnectedSentToHeardFromAndUnplugged) {
  const std::string syspath = plugInHub();
  const int master = umockdev_testbed_get_dev_fd(testbed_, "/dev/ttyACM0");
  ASSERT_GE(master, 0);
  ASSERT_EQ(::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK), 0);
  // The host must not inherit the hub's end of the line, or unplugging would not close it.
  ASSERT_EQ(::fcntl(master, F_SETFD, FD_CLOEXEC), 0);

  HostProcess host(home_.path, HostOptions{.environment = hostEnvironment()}, std::chrono::seconds(30));
  ASSERT_TRUE(host.running()) << host.errorOutput();
  HubPage page(host);
  ASSERT_TRUE(page.connected());

  page.request("scan", "/hub/startscan", {{"type", "usb"}});
  EXPECT_EQ(page.replyTo("scan"), Json::parse(R"({"id":"scan","result":{},"jsonrpc":"2.0"})"));
  auto found = page.notification("hub/devicefound");
  ASSERT_TRUE(found) << host.errorOutput();
  EXPECT_EQ(found->at("params").at("device"),
            Json::parse(R"({"id":"HUB0001","name":"Test Hub","serial":{"productId":9,"vendorId":1684},"type":"usb"})"));
  page.request("stop", "/hub/stopscan", {{"type", "usb"}});
  EXPECT_EQ(page.replyTo("stop"), Json::parse(R"({"id":"stop","result":{},"jsonrpc":"2.0"})"));

  page.request("connect", "/hub/connect", {{"id", "HUB0001"}});
  EXPECT_EQ(page.replyTo("connect"), Json::parse(R"({"id":"connect","result":{},"jsonrpc":"2.0"})")) << host.errorOutput();
  EXPECT_EQ(page.next(), Json::parse(R"({"method":"/hub/connected","params":{"id":"HUB0001"},"jsonrpc":"2.0"})"));

  // To the hub: bytes a cooked terminal would map, swallow or echo arrive unchanged.
  const std::string toHub("\x0D\x0A\x03\x7F\x00\xFF", 6);
  page.request("send", "/hub/send", {{"id", "HUB0001"}, {"message", base64Encode(toHub)}});
  EXPECT_EQ(readCount(master, toHub.size()), toHub);
  EXPECT_EQ(page.replyTo("send"), Json::parse(R"({"id":"send","result":{},"jsonrpc":"2.0"})"));

  // From the hub, in order and whole, however the reads cut it.
  const std::string fromHub = serial::testing::bytePattern(4096, 3);
  ASSERT_TRUE(writeAll(master, fromHub));
  std::string heard;
  while (heard.size() < fromHub.size()) {
    auto message = page.notification("/hub/didReceiveMessage");
    ASSERT_TRUE(message) << "heard " << heard.size() << " bytes";
    EXPECT_EQ(message->at("params").at("id"), "HUB0001");
    auto bytes = base64Decode(message->at("params").at("message").get<std::string>());
    ASSERT_TRUE(bytes);
    heard += *bytes;
  }
  EXPECT_TRUE(heard == fromHub);

  page.request("list", "/hub/connections");
  EXPECT_EQ(page.replyTo("list")->at("result").at("devices").size(), 1u);

  unplug(syspath, master);
  EXPECT_EQ(page.notification("/hub/disconnected"),
            Json::parse(R"({"method":"/hub/disconnected","params":{"id":"HUB0001"},"jsonrpc":"2.0"})"));
  page.request("after", "/hub/send", {{"id", "HUB0001"}, {"message", "AQ=="}});
  EXPECT_EQ(page.replyTo("after")->at("error"), "no such connection");
  EXPECT_EQ(host.stop(), 0) << host.errorOutput();
}

}  // namespace
}  // namespace kestrom::test
