// Bluetooth hubs through the whole headless host, against the fake Bluetooth service on a private
// bus, beside the fake's own time in the same run. This program runs the bus and the fake, plays
// the page over a real WebSocket connection, and plays the classic hub on its end of the serial
// link.
//
// One message in flight at a time, in alternating blocks so a busy machine slows each alike:
//   LE host:       "/hub/send" of 20 bytes written by the page -> the fake's echo of the written
//                  value (a notification) read by the page as "/hub/didReceiveMessage"
//   LE direct:     the same 20-byte write with response and its echoed notification through a
//                  bare BlueZ central in this program, on a second hub of the same fake
//   serial host:   "/hub/send" of 20 bytes -> read on the hub's end of the link, written back ->
//                  "/hub/didReceiveMessage" read by the page
//   serial direct: the same 20 bytes written on a socketpair, echoed by the same kind of thread,
//                  read back
//
//   bluetooth_roundtrip [round trips] [warm-up]     (defaults 1000 and 100)

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "KestromKit/base/Base64.h"
#include "bench/BenchPage.h"
#include "platform/bluetooth/BlueZBleCentral.h"
#include "tests/integration/HostProcess.h"
#include "tests/support/WSTestClient.h"
#include "tests/support/bluez/FakeBluez.h"
#include "tests/support/bluez/PrivateBus.h"
#include "tests/support/bluez/SampleHubs.h"

namespace {

using namespace kestrom;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
using testing::FakeBluez;
using testing::FakeDevice;

constexpr std::size_t kMessage = 20;
constexpr const char* kHubService = "00001623-1212-efde-1623-785feabcd123";
constexpr const char* kHubCharacteristic = "00001624-1212-efde-1623-785feabcd123";
constexpr const char* kDirectAddress = "90:84:2B:00:00:02";

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }
double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "bluetooth_roundtrip: %s\n", what);
  testing::PrivateBus::killAll();
  std::exit(1);
}

FakeDevice leHub(const std::string& address) {
  FakeDevice d;
  d.address = address;
  d.name = "Bench Hub";
  d.manufacturerData = {{0x0397, {0x00, 0x80}}};
  d.uuids = {kHubService};
  d.services = {{kHubService, {{kHubCharacteristic, {"write", "notify"}}}}};
  return d;
}

/// Sends `bytes` to the hub and waits for both the reply and the hub's answer; the time until
/// the answer.
double roundTrip(bench::BenchPage& page, const std::string& hub, const std::string& bytes, int n) {
  const std::string id = "r" + std::to_string(n);
  const auto start = Clock::now();
  page.request(id, "/hub/send", {{"id", hub}, {"message", base64Encode(bytes)}});
  bool replied = false;
  double answered = -1;
  while (!replied || answered < 0) {
    Json f = page.nextWhere([&](const Json& f) {
      return (f.contains("id") && f["id"] == id) || f.value("method", "") == "/hub/didReceiveMessage";
    });
    if (f.contains("id")) {
      if (f.contains("error")) die("a send failed");
      replied = true;
    } else {
      answered = micros(Clock::now() - start);
    }
  }
  return answered;
}

/// A bare central in this program: write with response, wait for the echoed notification.
class DirectLe final : public bluetooth::BleCentralObserver {
 public:
  void adapterStateChanged(bluetooth::AdapterState state) override {
    set([&] { poweredOn = state == bluetooth::AdapterState::poweredOn; });
  }
  void peripheralFound(const bluetooth::BlePeripheral& p) override {
    if (p.address == kDirectAddress) set([&] { found = p.id; });
  }
  void scanStopped(const bluetooth::BluetoothError&) override {}
  void peripheralVanished(const std::string&) override {}
  void connected(const std::string&) override { set([&] { ready = true; }); }
  void connectFailed(const std::string&, const bluetooth::BluetoothError&) override { die("direct connect failed"); }
  void disconnected(const std::string&) override {}
  void characteristicFound(const std::string&, const std::string&, const std::optional<bluetooth::BluetoothError>&) override {}
  void subscribed(const std::string&, const std::string&, const std::optional<bluetooth::BluetoothError>& e) override {
    if (e) die("direct subscribe failed");
    set([&] { subscribedOk = true; });
  }
  void valueChanged(const std::string&, const std::string&, const bluetooth::Bytes&) override { set([&] { ++values; }); }
  void writeCompleted(const std::string&, const std::string&, const std::optional<bluetooth::BluetoothError>& e) override {
    if (e) die("direct write failed");
  }

  template <class P>
  void waitFor(P predicate) {
    std::unique_lock lock(mutex);
    if (!cv.wait_for(lock, std::chrono::seconds(20), predicate)) die("the direct central timed out");
  }
  template <class F>
  void set(F f) {
    {
      std::lock_guard lock(mutex);
      f();
    }
    cv.notify_all();
  }

  std::mutex mutex;
  std::condition_variable cv;
  std::string found;
  bool poweredOn = false;
  bool ready = false;
  bool subscribedOk = false;
  int values = 0;
};

/// Echoes what comes in on `fd` until it closes.
std::thread echo(int fd) {
  return std::thread([fd] {
    char buffer[4096];
    for (;;) {
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) return;
      if (::send(fd, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) return;
    }
  });
}

void report(const char* what, const std::vector<double>& v) {
  std::printf("%-52s median %9.1f us   p99 %9.1f us\n", what, percentile(v, 0.5), percentile(v, 0.99));
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 1000;
  const int warmUp = argc > 2 ? std::atoi(argv[2]) : 100;
  const std::string message(kMessage, '\x42');

  testing::PrivateBus bus;
  FakeBluez fake;
  test::TemporaryHome home;
  test::HostProcess host(home.path, test::HostOptions{.environment = {{"DBUS_SYSTEM_BUS_ADDRESS", bus.address()}}},
                         std::chrono::seconds(30));
  if (!host.running()) die("the host did not start");
  // The hub service takes the transports' reports once start-up is over, as the page is shown.
  for (int i = 0; i < 1000 && host.errorOutput().find("Showing the web view") == std::string::npos; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  bench::BenchPage page(host, die);

  // The LE hub of the host.
  page.request("scan", "/hub/startscan", {{"type", "bluetooth-lowenergy"}, {"bleServices", {kHubService}}});
  page.replyTo("scan");
  for (int i = 0; i < 500 && !fake.advertise(leHub("90:84:2B:00:00:01")); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  const std::string leId = page.notification("hub/devicefound")["params"]["device"]["id"];
  page.request("stop", "/hub/stopscan", {{"type", "bluetooth-lowenergy"}});
  page.replyTo("stop");
  page.request("connect", "/hub/connect", {{"id", leId}});
  if (page.replyTo("connect").contains("error")) die("the host could not connect the LE hub");

  // The classic hub of the host.
  page.request("scanc", "/hub/startscan", {{"type", "bluetooth-classic"}});
  page.replyTo("scanc");
  // A BR/EDR device with a class of device, as an inquiry finds it: the classic layer lists no other.
  FakeDevice classic = testing::sampleClassicHub();
  classic.address = "00:16:53:00:00:01";
  classic.name = "Bench Serial";
  for (int i = 0; i < 500 && !fake.advertise(classic); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  page.notification("hub/devicefound");
  page.request("connectc", "/hub/connect", {{"id", classic.address}});
  if (page.replyTo("connectc").contains("error")) die("the host could not connect the classic hub");
  OwnedFd hubEnd = fake.takeSocket(classic.address);
  std::thread hubEcho = echo(hubEnd.get());

  // A second LE hub for this program's own central.
  DirectLe direct;
  auto observer = std::shared_ptr<DirectLe>(&direct, [](DirectLe*) {});
  bluetooth::BlueZBleCentral central;
  central.setObserver(observer);
  direct.waitFor([&] { return direct.poweredOn; });
  central.startScan({kHubService});
  for (int i = 0; i < 500; ++i) {
    fake.advertise(leHub(kDirectAddress));
    std::unique_lock lock(direct.mutex);
    if (direct.cv.wait_for(lock, std::chrono::milliseconds(20), [&] { return !direct.found.empty(); })) break;
  }
  std::string directId;
  {
    std::lock_guard lock(direct.mutex);
    directId = direct.found;
  }
  if (directId.empty() || directId == leId) die("the direct central found no hub of its own");
  central.stopScan();
  central.connect(directId);
  direct.waitFor([&] { return direct.ready; });
  central.findCharacteristic(directId, kHubCharacteristic);
  central.subscribe(directId, kHubCharacteristic);
  direct.waitFor([&] { return direct.subscribedOk; });

  // The serial reference: a socketpair with the same echo thread.
  int pair[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) die("socketpair failed");
  OwnedFd near(pair[0]), far(pair[1]);
  std::thread pairEcho = echo(far.get());

  std::vector<double> leHost, leDirect, serialHost, serialDirect;
  constexpr int kBlock = 50;
  int n = 0;
  for (int done = -warmUp; done < rounds; done += kBlock) {
    const bool keep = done >= 0;
    for (int i = 0; i < kBlock; ++i) {
      double t = roundTrip(page, leId, message, n++);
      if (keep) leHost.push_back(t);
    }
    for (int i = 0; i < kBlock; ++i) {
      int before;
      {
        std::lock_guard lock(direct.mutex);
        before = direct.values;
      }
      const auto start = Clock::now();
      central.write(directId, kHubCharacteristic, bluetooth::Bytes(message.begin(), message.end()));
      direct.waitFor([&] { return direct.values > before; });
      if (keep) leDirect.push_back(micros(Clock::now() - start));
    }
    for (int i = 0; i < kBlock; ++i) {
      double t = roundTrip(page, classic.address, message, n++);
      if (keep) serialHost.push_back(t);
    }
    for (int i = 0; i < kBlock; ++i) {
      char buffer[kMessage];
      const auto start = Clock::now();
      if (::send(near.get(), message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(kMessage))
        die("socketpair write failed");
      std::size_t got = 0;
      while (got < kMessage) {
        const ssize_t r = ::recv(near.get(), buffer + got, kMessage - got, 0);
        if (r <= 0) die("socketpair read failed");
        got += static_cast<std::size_t>(r);
      }
      if (keep) serialDirect.push_back(micros(Clock::now() - start));
    }
  }

  std::printf("bluetooth_roundtrip: %zu round trips of %zu bytes each\n", leHost.size(), kMessage);
  report("LE, page -> host -> fake -> notification -> page", leHost);
  report("LE, bare central -> fake -> notification", leDirect);
  report("serial profile, page -> host -> hub echo -> page", serialHost);
  report("serial profile, socketpair echo alone", serialDirect);
  const double leAdded = percentile(leHost, 0.5) - percentile(leDirect, 0.5);
  const double serialAdded = percentile(serialHost, 0.5) - percentile(serialDirect, 0.5);
  std::printf("added by the host (medians): LE %.1f us, serial profile %.1f us (%s under 1 ms)\n", leAdded,
              serialAdded, leAdded < 1000 && serialAdded < 1000 ? "both" : "NOT both");

  ::shutdown(far.get(), SHUT_RDWR);
  ::shutdown(hubEnd.get(), SHUT_RDWR);
  pairEcho.join();
  hubEcho.join();
  host.stop();
  return 0;
}
