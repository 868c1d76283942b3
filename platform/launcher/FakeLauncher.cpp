#include "platform/launcher/FakeLauncher.h"

#include "platform/dispatch/Queue.h"

namespace kestrom::launcher {

void RecordingLauncher::open(const std::string& uri, std::function<void(bool)> completion) {
  opened.push_back(uri);
  dispatch::mainQueue()->async([completion = std::move(completion)] {
    if (completion) completion(true);
  });
}

}  // namespace kestrom::launcher
