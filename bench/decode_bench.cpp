// Frames per second through the request decoder, for a typical hub write and a large resource
// write. Run by hand on a Release build; prints one line per frame kind.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "KestromKit/rpc/RPCRequest.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string hubSendFrame() {
  return R"({"id":"6b1f0e52-3c4d-4a9e-8f21-9d0c7e5a4b13","method":"/hub/send","jsonrpc":"2.0",)"
         R"("params":{"values":{"id":"F3A1C2B4-9E8D-4C7B-A6F5-1D2E3F4A5B6C","message":"CAARAQEBAAAAAGQAfw=="}}})";
}

std::string writeResourceFrame(std::size_t resourceBytes) {
  // Project text as the page sends it: JSON inside a JSON string, so quotes and newlines escaped.
  std::string resource;
  const std::string line = R"({\"type\":\"block\",\"opcode\":\"motor_run\",\"inputs\":{\"speed\":75}},\n)";
  while (resource.size() + line.size() < resourceBytes) resource += line;
  resource.append(resourceBytes - resource.size(), 'x');
  return R"({"id":"req-42","method":"/content/writeresource","jsonrpc":"2.0",)"
         R"("params":{"values":{"localPath":"projects/robot/project.json","resource":")" +
         resource + R"("}}})";
}

void measure(const char* name, const std::string& frame, double seconds) {
  std::size_t sink = 0;
  for (int i = 0; i < 1000; ++i) sink += kestrom::RPC::decodeRequest(frame).has_value();  // warm up
  std::size_t frames = 0;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration<double>(seconds);
  Clock::time_point now;
  do {
    for (int i = 0; i < 64; ++i) {
      auto request = kestrom::RPC::decodeRequest(frame);
      sink += request ? request->id().size() : 0;
    }
    frames += 64;
    now = Clock::now();
  } while (now < end);
  const double elapsed = std::chrono::duration<double>(now - start).count();
  std::printf("%-24s %7zu bytes  %12.0f frames/s  %8.3f us/frame  %9.1f MB/s  (sink %zu)\n", name,
              frame.size(), frames / elapsed, elapsed * 1e6 / frames, frames * frame.size() / elapsed / 1e6,
              sink % 10);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  const std::string small = hubSendFrame();
  const std::string large = writeResourceFrame(64 * 1024);
  if (!kestrom::RPC::decodeRequest(small) || !kestrom::RPC::decodeRequest(large)) {
    std::fprintf(stderr, "sample frames do not decode\n");
    return 1;
  }
  measure("/hub/send", small, seconds);
  measure("/content/writeresource", large, seconds);
  return 0;
}
