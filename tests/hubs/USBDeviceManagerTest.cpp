// The USB serial transport on real pseudo-terminals: the port source names the slave side, the
// test plays the hub on the master side. Main and delegation queues are drained by the test while
// the monitor, the stream watches and the transport's own queue run on their threads.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "KestromKit/hubs/macOSUSBDeviceManager.h"
#include "platform/log/FakeLogSink.h"
#include "platform/dispatch/ManualQueue.h"
#include "platform/serial/FakeSerialPorts.h"
#include "tests/serial/StreamRecorder.h"

namespace kestrom {
namespace {

using namespace std::chrono_literals;
using serial::testing::bytePattern;
using serial::testing::readCount;
using serial::testing::readWhatComes;
using serial::testing::writeAll;

constexpr std::size_t kMebibyte = 1024 * 1024;

/// What the transport reported, in order; touched only on the delegation queue, which the test
/// thread drains.
class Reports final : public DeviceManagerDelegate {
 public:
  void deviceFound(IDeviceFound device) override {
    events.push_back("found " + device.id + " " + device.name + " " + std::to_string(int(device.serial->vendorID)) +
                     ":" + std::to_string(int(device.serial->productID)));
  }
  void scanningStopped(HubConnectionType) override { events.push_back("scanningStopped"); }
  void connectResult(std::shared_ptr<DeviceManager>, std::string id, bool success) override {
    events.push_back("connect " + id + (success ? " ok" : " failed"));
  }
  void disconnected(std::string id) override { events.push_back("disconnected " + id); }
  void dataReceived(std::string id, std::string bytes) override { data[id] += bytes; }
  void sendCompleted(std::string id) override { events.push_back("sent " + id); }
  void bluetoothUnavailable(std::function<void()>) override { events.push_back("bluetoothUnavailable"); }

  int count(const std::string& event) const { return int(std::count(events.begin(), events.end(), event)); }

  std::vector<std::string> events;
  std::map<std::string, std::string> data;
};

/// One pseudo-terminal: the slave is the hub's port, the master is the hub.
struct PseudoTerminal {
  PseudoTerminal() {
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
    path = name;
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    // The slave stays open here too, so the line does not hang up between the transport's
    // closing and reopening of it.
  }
  ~PseudoTerminal() {
    unplug();
    if (slave >= 0) ::close(slave);
  }
  void unplug() {
    if (master >= 0) ::close(std::exchange(master, -1));
  }
  int master = -1;
  int slave = -1;
  std::string path;
};

class USBDeviceManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatch::installMainQueue(main);
    ASSERT_FALSE(hub.path.empty());
    ports->setPorts({
        {.path = hub.path, .product = "Test Hub", .manufacturer = "Kestrom", .serialNumber = "S1",
         .vendorId = 0x0694, .productId = 2},
        // A port without a serial number is known but never reported.
        {.path = other.path, .product = "Modem", .manufacturer = std::nullopt, .serialNumber = "",
         .vendorId = 1, .productId = 1},
    });
    manager = macOSUSBDeviceManager::create(delegation, Constants::log().bluetooth, ports);
    manager->setDelegate(reports);
  }
  void TearDown() override {
    manager.reset();
    dispatch::installMainQueue(nullptr);
  }

  /// The transport's operations, called where the hub service calls them: on main.
  struct OnMain {
    dispatch::ManualQueue& main;
    macOSUSBDeviceManager& manager;
    void startScan(std::optional<std::vector<std::string>> services) {
      main.sync([&] { manager.startScan(services); });
    }
    void stopScan() { main.sync([&] { manager.stopScan(); }); }
    void connect(const std::string& id) { main.sync([&] { manager.connect(id); }); }
    void disconnect(const std::string& id) { main.sync([&] { manager.disconnect(id); }); }
    void send(std::string bytes, const std::string& id) { main.sync([&] { manager.send(bytes, id); }); }
    bool isConnected(const std::string& id) { return manager.isConnected(id); }
  };
  OnMain onMain() { return OnMain{*main, *manager}; }

  /// Drains main and delegation until `done` holds; false after a generous wait.
  bool until(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
      main->runPending();
      delegation->runPending();
      if (done()) return true;
      std::this_thread::sleep_for(1ms);
    }
    return false;
  }
  /// Drains for `time`, for checks that nothing more happens.
  void settle(std::chrono::milliseconds time) {
    const auto end = std::chrono::steady_clock::now() + time;
    while (std::chrono::steady_clock::now() < end) {
      main->runPending();
      delegation->runPending();
      std::this_thread::sleep_for(5ms);
    }
  }
  /// Scans until the hub is found, then stops scanning and connects it.
  void connectHub() {
    onMain().startScan(std::nullopt);
    ASSERT_TRUE(until([&] { return reports->count("found S1 Test Hub 1684:2") >= 1; }));
    onMain().stopScan();
    onMain().connect("S1");
    ASSERT_TRUE(until([&] { return reports->count("connect S1 ok") == 1; }));
  }

  std::shared_ptr<dispatch::ManualQueue> main = std::make_shared<dispatch::ManualQueue>("main");
  std::shared_ptr<dispatch::ManualQueue> delegation = std::make_shared<dispatch::ManualQueue>("HubService Delegation");
  PseudoTerminal hub;
  PseudoTerminal other;
  std::shared_ptr<serial::FakeSerialPorts> ports = std::make_shared<serial::FakeSerialPorts>();
  std::shared_ptr<Reports> reports = std::make_shared<Reports>();
  std::shared_ptr<macOSUSBDeviceManager> manager;
};

TEST_F(USBDeviceManagerTest, ScanningReportsPresentHubsEveryPollAndAnswersEveryStop) {
  onMain().startScan(std::nullopt);
  onMain().startScan(std::nullopt);  // already scanning: nothing more
  ASSERT_TRUE(until([&] { return reports->count("found S1 Test Hub 1684:2") >= 2; }));
  onMain().stopScan();
  onMain().startScan(std::nullopt);  // a quick restart ...
  onMain().stopScan();               // ... and stop: the loop is over when stopScan returns
  const int polls = ports->queryCount();
  settle(700ms);
  EXPECT_EQ(ports->queryCount(), polls);
  // Each stop is answered once, the two of running scans as well as a stop with none running.
  onMain().stopScan();
  ASSERT_TRUE(until([&] { return reports->count("scanningStopped") == 3; }));
  settle(50ms);
  EXPECT_EQ(reports->count("scanningStopped"), 3);
  for (const auto& event : reports->events) {
    if (event != "scanningStopped") {
      EXPECT_EQ(event, "found S1 Test Hub 1684:2");
    }
  }

  // Unplugged: the next scan announces it removed, and connecting it then fails.
  ports->setPorts({});
  onMain().startScan(std::nullopt);
  ASSERT_TRUE(until([&] { return ports->queryCount() > polls; }));
  settle(50ms);
  onMain().stopScan();
  onMain().connect("S1");
  onMain().connect("");  // the port without a serial number is kept under ""
  ASSERT_TRUE(until([&] {
    return reports->count("connect S1 failed") == 1 &&
           reports->count("connect  ok") + reports->count("connect  failed") >= 1;
  }));
  EXPECT_EQ(reports->count("connect  ok") + reports->count("connect  failed"), 1);
}

TEST_F(USBDeviceManagerTest, BytesPassUnchangedBothWaysInOrderAndWholeWithoutEcho) {
  connectHub();
  EXPECT_TRUE(onMain().isConnected("S1"));
  EXPECT_FALSE(onMain().isConnected("S2"));

  const std::string special("\x0D\x0A\x03\x7F\x00\xFF", 6);
  ASSERT_TRUE(writeAll(hub.master, special));
  ASSERT_TRUE(until([&] { return reports->data["S1"].size() >= special.size(); }));
  EXPECT_EQ(reports->data["S1"], special);

  onMain().send(special, "S1");
  EXPECT_EQ(readCount(hub.master, special.size()), special);
  ASSERT_TRUE(until([&] { return reports->count("sent S1") == 1; }));
  EXPECT_EQ(readWhatComes(hub.master, 100ms), "");  // nothing echoed back either way
  settle(50ms);
  EXPECT_EQ(reports->data["S1"], special);

  // A mebibyte each way; the hub's side reads and writes on threads of its own.
  reports->data["S1"].clear();
  const std::string up = bytePattern(kMebibyte, 1);
  const std::string down = bytePattern(kMebibyte, 2);
  std::thread writer([&] { EXPECT_TRUE(writeAll(hub.master, up)); });
  std::string received;
  std::thread reader([&] { received = readCount(hub.master, 4 * 20 + down.size()); });
  // An empty message among the others completes without holding them up.
  onMain().send(down.substr(0, kMebibyte / 2), "S1");
  onMain().send("", "S1");
  onMain().send(down.substr(kMebibyte / 2), "S1");
  EXPECT_TRUE(until([&] { return reports->data["S1"].size() >= up.size(); }));
  for (int i = 0; i < 4; ++i) onMain().send(std::string(20, char('a' + i)), "S1");
  writer.join();
  reader.join();
  EXPECT_TRUE(reports->data["S1"] == up) << "received " << reports->data["S1"].size() << " bytes";
  EXPECT_TRUE(received == down + std::string(20, 'a') + std::string(20, 'b') + std::string(20, 'c') +
                              std::string(20, 'd'))
      << "the hub read " << received.size() << " bytes";
  ASSERT_TRUE(until([&] { return reports->count("sent S1") >= 2; }));
  settle(100ms);
  EXPECT_EQ(reports->count("disconnected S1"), 0);
}

TEST_F(USBDeviceManagerTest, AHubThatGoesAwayOrIsDisconnectedEndsOnceAndDropsWhatWasNotWritten) {
  connectHub();
  // The hub's end of the line goes away while a write waits for room: one disconnection, no
  // completion for the dropped bytes, no spinning on the dead port.
  onMain().send(bytePattern(256 * 1024), "S1");
  hub.unplug();
  ASSERT_TRUE(until([&] { return reports->count("disconnected S1") == 1; }));
  settle(200ms);
  EXPECT_EQ(reports->count("disconnected S1"), 1);
  EXPECT_EQ(reports->count("sent S1"), 0);
  EXPECT_FALSE(onMain().isConnected("S1"));

  // Sending with no connection is logged and dropped; disconnecting reports even then.
  log::ScopedRecording recording;
  onMain().send("xyz", "S1");
  onMain().disconnect("S1");
  ASSERT_TRUE(until([&] { return reports->count("disconnected S1") == 2; }));
  EXPECT_TRUE(recording.sink().contains(Constants::log().bluetooth.category(),
                                        "asked to send 3 bytes to S1, but it has no open connection"));
}

TEST_F(USBDeviceManagerTest, DisconnectClosesThePortAndALaterConnectOpensItAfresh) {
  connectHub();
  onMain().disconnect("S1");
  ASSERT_TRUE(until([&] { return reports->count("disconnected S1") == 1; }));
  EXPECT_FALSE(onMain().isConnected("S1"));

  onMain().connect("S1");
  ASSERT_TRUE(until([&] { return reports->count("connect S1 ok") == 2; }));
  ASSERT_TRUE(writeAll(hub.master, "again"));
  ASSERT_TRUE(until([&] { return reports->data["S1"] == "again"; }));
  settle(50ms);
  EXPECT_EQ(reports->count("disconnected S1"), 1);
}

}  // namespace
}  // namespace kestrom
