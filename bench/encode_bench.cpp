// Frames per second through the outgoing encoders, for the two shapes the host sends most: an
// empty reply ("/ping") and a hub sensor notification ("/hub/didReceiveMessage", 20 bytes of
// payload). Run by hand on a Release build; prints one line per kind. Argument: seconds per kind.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "KestromKit/rpc/RPCMessage.h"

namespace {

using Clock = std::chrono::steady_clock;
using kestrom::RPC::Notification;
using kestrom::RPC::Response;

// Twenty bytes of hub data, base64.
constexpr const char* kMessage = "AAECAwQFBgcICQoLDA0ODxAREhM=";
constexpr const char* kHubID = "F3A1C2B4-9E8D-4C7B-A6F5-1D2E3F4A5B6C";

void measure(const char* name, const std::function<std::size_t()>& once, double seconds) {
  std::size_t sink = 0;
  for (int i = 0; i < 1000; ++i) sink += once();  // warm up
  std::size_t frames = 0;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  Clock::time_point now;
  do {
    for (int i = 0; i < 64; ++i) sink += once();
    frames += 64;
    now = Clock::now();
  } while (now < end);
  const double elapsed = std::chrono::duration<double>(now - start).count();
  std::printf("%-46s %12.0f frames/s  %8.3f us/frame  (sink %zu)\n", name, frames / elapsed,
              elapsed * 1e6 / frames, sink % 10);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;

  const auto ping = Response::make<Response::Case::miscPing>("6b1f0e52-3c4d-4a9e-8f21-9d0c7e5a4b13");
  const auto received = Notification::make<Notification::Case::hubDidReceiveMessage>({kHubID, kMessage});
  auto pingText = kestrom::RPC::encodeResponse(ping);
  auto receivedText = kestrom::RPC::encodeNotification(received);
  if (!pingText || !receivedText) {
    std::fprintf(stderr, "sample messages do not encode\n");
    return 1;
  }
  std::printf("%s\n%s\n", pingText->c_str(), receivedText->c_str());

  measure("reply /ping (encode)", [&] { return kestrom::RPC::responseFrame(ping).size(); }, seconds);
  measure("notification didReceiveMessage (encode)",
          [&] { return kestrom::RPC::notificationFrame(received)->size(); }, seconds);
  // What a hub transport does per packet: build the notification, then encode it.
  measure("notification didReceiveMessage (build+encode)", [&] {
    auto n = Notification::make<Notification::Case::hubDidReceiveMessage>({kHubID, kMessage});
    return kestrom::RPC::notificationFrame(n)->size();
  }, seconds);
  return 0;
}
