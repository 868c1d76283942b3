#pragma once
// Test helpers for serial streams: a recorder of what a stream hands its handlers, and reads and
// writes on the other end of a pseudo-terminal with generous deadlines.

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial/SerialStream.h"

namespace kestrom::serial::testing {

using namespace std::chrono_literals;
inline constexpr auto kPatience = 30s;  // only reached when something is broken

/// Keeps the bytes, end reasons and write outcomes a stream reports, for any thread to wait on.
class StreamRecorder {
 public:
  SerialStream::Handlers handlers() {
    return {
        .data = [this](std::string bytes) { update([&] { data_ += bytes; }); },
        .closed = [this](std::string reason) { update([&] { closedReasons_.push_back(std::move(reason)); }); },
    };
  }
  SerialStream::WriteCompletion completion(std::string name) {
    return [this, name](std::optional<std::string> error) {
      update([&] { completions_.push_back(name + (error ? ": " + *error : std::string(": ok"))); });
    };
  }

  /// Waits until `ready` holds for the recorder; false when the patience ran out.
  bool waitUntil(const std::function<bool(const StreamRecorder&)>& ready) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return ready(*this); });
  }
  bool waitForData(std::size_t size) {
    return waitUntil([size](const StreamRecorder& r) { return r.data_.size() >= size; });
  }

  std::string data() const {
    std::lock_guard lock(mutex_);
    return data_;
  }
  std::vector<std::string> closedReasons() const {
    std::lock_guard lock(mutex_);
    return closedReasons_;
  }
  std::vector<std::string> completions() const {
    std::lock_guard lock(mutex_);
    return completions_;
  }
  // Unlocked views, for waitUntil predicates only (they run under the lock).
  std::size_t closedCountLocked() const { return closedReasons_.size(); }
  std::size_t completionCountLocked() const { return completions_.size(); }

 private:
  template <class F>
  void update(F&& change) {
    {
      std::lock_guard lock(mutex_);
      change();
    }
    changed_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::string data_;
  std::vector<std::string> closedReasons_;
  std::vector<std::string> completions_;
};

/// Writes all of `bytes` to the non-blocking `fd`, waiting for room as needed.
inline bool writeAll(int fd, const std::string& bytes) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  std::size_t done = 0;
  while (done < bytes.size() && std::chrono::steady_clock::now() < deadline) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 100);
    } else {
      return false;
    }
  }
  return done == bytes.size();
}

/// Reads from the non-blocking `fd` until `count` bytes came, the fd fails or the patience runs
/// out; `pause` between reads plays a slow reader.
inline std::string readCount(int fd, std::size_t count, std::chrono::milliseconds pause = 0ms,
                             std::size_t chunk = 4096) {
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  std::string got;
  std::string buffer(chunk, '\0');
  while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const ssize_t n = ::read(fd, buffer.data(), std::min(buffer.size(), count - got.size()));
    if (n > 0) {
      got.append(buffer.data(), static_cast<std::size_t>(n));
      if (pause.count() > 0) std::this_thread::sleep_for(pause);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      break;
    }
  }
  return got;
}

/// Whatever `fd` has to read within `wait` (used to show that nothing more comes).
inline std::string readWhatComes(int fd, std::chrono::milliseconds wait) {
  std::string got;
  char buffer[256];
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, static_cast<int>(wait.count())) > 0) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

/// Every byte value, in a sequence that does not repeat at chunk sizes, so a lost, repeated or
/// reordered chunk shows.
inline std::string bytePattern(std::size_t size, unsigned seed = 0) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + seed + i / 251) & 0xFF);
  return bytes;
}

}  // namespace kestrom::serial::testing
