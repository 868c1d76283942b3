// The hub service with its three real transports (both Bluetooth ones over the fake Bluetooth
// service on a private bus, USB over a fake port registry): a burst of "/hub/stopscan" requests
// against each transport gets exactly one "/hub/scanningstopped" per request, each after its
// reply, however the transports' reports interleave with the requests.

#include <gtest/gtest.h>

#include "KestromKit/hubs/HubService.h"
#include "KestromKit/hubs/QenBLEDeviceManager.h"
#include "KestromKit/hubs/macOSBluetoothDeviceManager.h"
#include "KestromKit/hubs/macOSUSBDeviceManager.h"
#include "platform/bluetooth/BlueZBleCentral.h"
#include "platform/bluetooth/BlueZClassicBluetooth.h"
#include "platform/dispatch/DetachedThreads.h"
#include "platform/dispatch/ManualQueue.h"
#include "platform/serial/FakeSerialPorts.h"
#include "tests/support/Eventually.h"
#include "tests/support/RecordingInterface.h"
#include "tests/support/bluez/FakeBluez.h"
#include "tests/support/bluez/PrivateBus.h"
#include "tests/support/bluez/Watchdog.h"

namespace kestrom::testing {
namespace {

using namespace std::chrono_literals;
using kestrom::test::eventually;
using Json = nlohmann::json;

constexpr int kStops = 100;

std::string typeText(HubConnectionType type) {
  switch (type) {
    case HubConnectionType::bluetoothLowenergy: return "bluetooth-lowenergy";
    case HubConnectionType::bluetoothClassic: return "bluetooth-classic";
    default: return "usb";
  }
}

class StopScanBurstTest : public ::testing::TestWithParam<HubConnectionType> {
 protected:
  void SetUp() override {
    dispatch::installMainQueue(main_);
    fake_ = std::make_unique<FakeBluez>();
    const log::Logger log("Kestrom", "Bluetooth");
    HubTransports transports{
        .bluetoothClassic = macOSBluetoothDeviceManager::create(
            delegation_, log, false, [] { return std::make_shared<bluetooth::BlueZClassicBluetooth>(); }),
        .usb = macOSUSBDeviceManager::create(delegation_, log, std::make_shared<serial::FakeSerialPorts>()),
        .bluetoothLowEnergy = QenBLEDeviceManager::create(
            delegation_, log, [] { return std::make_shared<bluetooth::BlueZBleCentral>(); }),
    };
    service_ = std::make_shared<HubService>(page_, false, HubServiceFactory{.delegationQueue = delegation_},
                                            transports, std::weak_ptr<HubServiceDelegate>());
    main_->sync([&] { service_->attach(); });
  }
  void TearDown() override {
    main_->sync([&] { service_.reset(); });
    delegation_->sync([] {});
    fake_.reset();
    dispatch::installMainQueue(nullptr);
    EXPECT_TRUE(dispatch::waitForDetachedThreads(5s));
  }

  static bool isStopReply(const Json& frame, const std::string& id) {
    return frame.contains("id") && frame["id"] == id && frame.contains("result");
  }
  static bool isStopNotification(const Json& frame) {
    return frame.value("method", "") == "/hub/scanningstopped";
  }
  int notifications() const {
    int n = 0;
    for (const auto& frame : page_->frames()) n += isStopNotification(frame) ? 1 : 0;
    return n;
  }
  /// Drains main (the USB transport's announcements arrive there) while waiting.
  bool until(const std::function<bool()>& done) {
    return eventually([&] {
      main_->runPending();
      return done();
    });
  }

  Watchdog watchdog_{"a burst of stopped scans", 120s};
  PrivateBus bus_;
  std::unique_ptr<FakeBluez> fake_;
  std::shared_ptr<dispatch::ManualQueue> main_ = std::make_shared<dispatch::ManualQueue>("main");
  std::shared_ptr<dispatch::Queue> delegation_ = dispatch::makeSerialQueue("HubService Delegation");
  std::shared_ptr<test::RecordingInterface> page_ = std::make_shared<test::RecordingInterface>();
  std::shared_ptr<HubService> service_;
};

TEST_P(StopScanBurstTest, EveryStopGetsOneNotificationOfItsTypeAfterItsReply) {
  const HubConnectionType type = GetParam();
  main_->sync([&] { service_->startScan("start", {.type = type}); });
  if (type != HubConnectionType::usb) {
    ASSERT_TRUE(eventually([&] { return fake_->discovering(); }));
  }

  // The first stop ends a running scan; the rest find none and are answered at once, while the
  // requests still come.
  for (int i = 0; i < kStops; ++i) main_->sync([&] { service_->stopScan("stop-" + std::to_string(i), {.type = type}); });
  ASSERT_TRUE(until([&] { return notifications() >= kStops; }));
  // Reports made late would add more: give them time.
  for (int i = 0; i < 20; ++i) {
    main_->runPending();
    std::this_thread::sleep_for(10ms);
  }
  delegation_->sync([] {});

  const auto frames = page_->frames();
  int replies = 0;
  int told = 0;
  for (const auto& frame : frames) {
    if (isStopNotification(frame)) {
      ++told;
      EXPECT_EQ(frame["params"]["type"], typeText(type));
      EXPECT_LE(told, replies) << "a notification came before the reply of its stop";
    } else if (frame.contains("id") && frame["id"].get<std::string>().rfind("stop-", 0) == 0) {
      EXPECT_TRUE(isStopReply(frame, "stop-" + std::to_string(replies))) << frame.dump();
      ++replies;
    }
  }
  EXPECT_EQ(replies, kStops);
  EXPECT_EQ(told, kStops);
}

INSTANTIATE_TEST_SUITE_P(EachTransport, StopScanBurstTest,
                         ::testing::Values(HubConnectionType::bluetoothLowenergy, HubConnectionType::bluetoothClassic,
                                           HubConnectionType::usb),
                         [](const auto& info) {
                           switch (info.param) {
                             case HubConnectionType::bluetoothLowenergy: return std::string("BluetoothLowEnergy");
                             case HubConnectionType::bluetoothClassic: return std::string("BluetoothClassic");
                             default: return std::string("Usb");
                           }
                         });

}  // namespace
}  // namespace kestrom::testing
