// A USB serial hub through the whole headless host, beside the same bytes on a pseudo-terminal
// alone. The hub is simulated by umockdev (the host runs with its preload library and finds the
// hub through udev); this program plays the page over a real WebSocket connection and the hub on
// the master side of the port's pseudo-terminal.
//
// Latency, one message in flight at a time, in alternating blocks so a busy machine slows each alike:
//   send:    "/hub/send" of 20 bytes written by the page -> the 20 bytes read at the hub
//   receive: 20 bytes written by the hub -> "/hub/didReceiveMessage" read by the page
//   direct:  20 bytes written on one side of a fresh pseudo-terminal -> read on the other, each way
// Throughput, 4 MiB each way: the page sends 1 KiB messages with up to 64 replies outstanding; the
// hub writes as fast as the line takes; and the same bytes across a pseudo-terminal alone.
//
//   hub_roundtrip [round trips] [warm-up]     (defaults 5000 and 500)

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "KestromKit/base/Base64.h"
#include "bench/BenchPage.h"
#include "tests/integration/HostProcess.h"
#include "tests/support/WSTestClient.h"

namespace {

using namespace kestrom;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;

constexpr std::size_t kMessage = 20;
constexpr std::size_t kBulk = 4 * 1024 * 1024;
constexpr std::size_t kBulkMessage = 1024;
constexpr int kWindow = 64;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}
double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()))];
}

[[noreturn]] void die(const char* what) {
  std::fprintf(stderr, "hub_roundtrip: %s\n", what);
  std::exit(1);
}

void writeAll(int fd, const char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 1000);
    } else {
      die("write failed");
    }
  }
}

void readAll(int fd, char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::read(fd, data + done, size - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 10000) == 0) die("read timed out");
    } else {
      die("read failed");
    }
  }
}

void makeRaw(int fd) {
  termios t{};
  tcgetattr(fd, &t);
  cfmakeraw(&t);
  tcsetattr(fd, TCSANOW, &t);
}

/// The bytes of the next "/hub/didReceiveMessage".
std::string received(bench::BenchPage& page) {
  Json f = page.notification("/hub/didReceiveMessage");
  return base64Decode(f["params"]["message"].get<std::string>()).value_or("");
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 5000;
  const int warmUp = argc > 2 ? std::atoi(argv[2]) : 500;

  UMockdevTestbed* testbed = umockdev_testbed_new();
  gchar* usb = umockdev_testbed_add_device(testbed, "usb", "1-1", nullptr, "idVendor", "0694", "idProduct", "0009",
                                           "serial", "BENCH1", "manufacturer", "Kestrom", "product", "Bench Hub",
                                           nullptr, "DEVTYPE", "usb_device", nullptr);
  std::string tty = std::string(usb) + "/1-1:1.0/tty/ttyACM0";
  g_free(usb);
  std::string description = "P: " + tty.substr(4) + "\nN: ttyACM0\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyACM0\n";
  if (!umockdev_testbed_add_from_string(testbed, description.c_str(), nullptr)) die("cannot add the port");
  const int hub = umockdev_testbed_get_dev_fd(testbed, "/dev/ttyACM0");
  if (hub < 0) die("no pseudo-terminal behind the port");
  fcntl(hub, F_SETFL, fcntl(hub, F_GETFL) | O_NONBLOCK);
  fcntl(hub, F_SETFD, FD_CLOEXEC);
  makeRaw(hub);

  test::TemporaryHome home;
  gchar* root = umockdev_testbed_get_root_dir(testbed);
  test::HostProcess host(home.path, test::HostOptions{.environment = {{"LD_PRELOAD", KESTROM_HOST_PRELOAD}, {"UMOCKDEV_DIR", root}}}, std::chrono::seconds(30));
  g_free(root);
  if (!host.running()) die("the host did not start");
  bench::BenchPage page(host, die);
  page.request("scan", "/hub/startscan", {{"type", "usb"}});
  page.notification("hub/devicefound");
  page.request("stop", "/hub/stopscan", {{"type", "usb"}});
  page.replyTo("stop");
  page.request("connect", "/hub/connect", {{"id", "BENCH1"}});
  page.notification("/hub/connected");

  // The reference: a pseudo-terminal of our own, raw on both sides.
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) die("openpty");
  makeRaw(slave);
  makeRaw(master);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  fcntl(slave, F_SETFL, fcntl(slave, F_GETFL) | O_NONBLOCK);

  const std::string message(kMessage, 'k');
  const std::string encoded = base64Encode(message);
  std::vector<double> send, receive, directDown, directUp;
  char buffer[kMessage];
  int sequence = 0;
  constexpr int kBlock = 100;
  for (int done = 0; done < rounds + warmUp; done += kBlock) {
    const bool keep = done >= warmUp;
    for (int i = 0; i < kBlock; ++i) {  // page -> hub
      const std::string id = "s" + std::to_string(sequence++);
      auto start = Clock::now();
      page.request(id, "/hub/send", {{"id", "BENCH1"}, {"message", encoded}});
      readAll(hub, buffer, kMessage);
      if (keep) send.push_back(micros(Clock::now() - start));
      page.replyTo(id);
    }
    for (int i = 0; i < kBlock; ++i) {  // hub -> page
      auto start = Clock::now();
      writeAll(hub, message.data(), kMessage);
      std::string got;
      while (got.size() < kMessage) got += received(page);
      if (keep) receive.push_back(micros(Clock::now() - start));
    }
    for (int i = 0; i < kBlock; ++i) {  // the same bytes on a pseudo-terminal alone, each way
      auto start = Clock::now();
      writeAll(slave, message.data(), kMessage);
      readAll(master, buffer, kMessage);
      if (keep) directDown.push_back(micros(Clock::now() - start));
      start = Clock::now();
      writeAll(master, message.data(), kMessage);
      readAll(slave, buffer, kMessage);
      if (keep) directUp.push_back(micros(Clock::now() - start));
    }
  }

  // Throughput, page -> hub: 1 KiB messages, up to kWindow replies outstanding.
  std::string bulk(kBulkMessage, '\0');
  for (std::size_t i = 0; i < bulk.size(); ++i) bulk[i] = static_cast<char>(i * 7);
  const std::string bulkEncoded = base64Encode(bulk);
  auto start = Clock::now();
  std::thread hubReader([&] {
    std::vector<char> sink(kBulk);
    readAll(hub, sink.data(), kBulk);
  });
  const int messages = static_cast<int>(kBulk / kBulkMessage);
  int outstanding = 0;
  for (int i = 0; i < messages; ++i) {
    page.request("b" + std::to_string(i), "/hub/send", {{"id", "BENCH1"}, {"message", bulkEncoded}});
    if (++outstanding == kWindow) {
      for (int j = i - kWindow + 1; j <= i; ++j) page.replyTo("b" + std::to_string(j));
      outstanding = 0;
    }
  }
  hubReader.join();
  const double sendSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  for (int j = messages - outstanding; j < messages; ++j) page.replyTo("b" + std::to_string(j));

  // Throughput, hub -> page.
  start = Clock::now();
  std::thread hubWriter([&] {
    std::string all(kBulk, 'x');
    writeAll(hub, all.data(), all.size());
  });
  std::size_t heard = 0;
  while (heard < kBulk) heard += received(page).size();
  const double receiveSeconds = std::chrono::duration<double>(Clock::now() - start).count();
  hubWriter.join();

  // Throughput on the pseudo-terminal alone, each way.
  auto directBulk = [](int from, int to) {
    auto begin = Clock::now();
    std::thread writer([&] {
      std::string all(kBulk, 'y');
      writeAll(from, all.data(), all.size());
    });
    std::vector<char> sink(kBulk);
    readAll(to, sink.data(), kBulk);
    writer.join();
    return std::chrono::duration<double>(Clock::now() - begin).count();
  };
  const double directDownSeconds = directBulk(slave, master);
  const double directUpSeconds = directBulk(master, slave);

  const double mb = kBulk / 1e6;
  std::printf("20-byte message, %d round trips each (after %d warm-up)\n", rounds, warmUp);
  std::printf("  page -> hub through the host:   median %.1f us, p99 %.1f us\n", median(send), percentile(send, 0.99));
  std::printf("  hub -> page through the host:   median %.1f us, p99 %.1f us\n", median(receive),
              percentile(receive, 0.99));
  std::printf("  pseudo-terminal alone, to hub:  median %.1f us, p99 %.1f us\n", median(directDown),
              percentile(directDown, 0.99));
  std::printf("  pseudo-terminal alone, to host: median %.1f us, p99 %.1f us\n", median(directUp),
              percentile(directUp, 0.99));
  std::printf("  added by the host (medians):    send %.1f us, receive %.1f us\n",
              median(send) - median(directDown), median(receive) - median(directUp));
  std::printf("4 MiB each way\n");
  std::printf("  page -> hub through the host:   %.1f MB/s (1 KiB messages, %d replies outstanding)\n",
              mb / sendSeconds, kWindow);
  std::printf("  hub -> page through the host:   %.1f MB/s\n", mb / receiveSeconds);
  std::printf("  pseudo-terminal alone:          %.1f MB/s to the hub, %.1f MB/s from it\n", mb / directDownSeconds,
              mb / directUpSeconds);
  host.stop();
  g_object_unref(testbed);
  return 0;
}
