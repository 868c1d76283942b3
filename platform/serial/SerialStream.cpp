#include "platform/serial/SerialStream.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/fdwatch/StreamIo.h"

namespace kestrom::serial {

namespace {

constexpr std::size_t kReadChunkBytes = 16 * 1024;
// Reads per readable turn; the watch comes back at once if more is waiting, and writes get a
// turn in between.
constexpr int kReadsPerTurn = 64;

std::optional<speed_t> speedFor(unsigned baudRate) {
  switch (baudRate) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 2000000: return B2000000;
    default: return std::nullopt;
  }
}

// Pseudo-terminals and emulated ports answer terminal and modem-line requests they do not
// support with one of these; such a device is used as it is.
bool isUnsupportedRequest(int error) { return error == ENOTTY || error == EINVAL; }

using fdwatch::describeError;

// Raw mode at `speed`, then DTR and RTS up (many USB serial devices only talk once DTR is set).
std::optional<std::string> configure(int fd, speed_t speed) {
  termios settings{};
  if (::tcgetattr(fd, &settings) == 0) {
    ::cfmakeraw(&settings);
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    ::cfsetispeed(&settings, speed);
    ::cfsetospeed(&settings, speed);
    if (::tcsetattr(fd, TCSANOW, &settings) != 0 && !isUnsupportedRequest(errno)) {
      return describeError("cannot set the terminal mode", errno);
    }
  } else if (!isUnsupportedRequest(errno)) {
    return describeError("cannot read the terminal mode", errno);
  }
  int lines = TIOCM_DTR | TIOCM_RTS;
  if (::ioctl(fd, TIOCMBIS, &lines) != 0 && !isUnsupportedRequest(errno)) {
    return describeError("cannot raise DTR and RTS", errno);
  }
  return std::nullopt;
}

}  // namespace

tl::expected<std::shared_ptr<SerialStream>, std::string> SerialStream::open(
    const std::string& path, unsigned baudRate, Handlers handlers) {
  const std::optional<speed_t> speed = speedFor(baudRate);
  if (!speed) return tl::make_unexpected(path + ": unsupported speed " + std::to_string(baudRate));
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return tl::make_unexpected(describeError(path + ": cannot open", errno));
  if (std::optional<std::string> error = configure(fd, *speed)) {
    ::close(fd);
    return tl::make_unexpected(path + ": " + *error);
  }

  std::shared_ptr<SerialStream> stream(new SerialStream(path, fd, std::move(handlers)));
  // The handlers hold the stream only while they run, so dropping it from a handler is safe.
  std::weak_ptr<SerialStream> weak = stream;
  fdwatch::FdWatch::Handlers watchHandlers{
      .readable = [weak] { if (auto s = weak.lock()) s->onReadable(); },
      .writable = [weak] { if (auto s = weak.lock()) s->onWritable(); },
      .hungUp = [weak](const std::string& reason) { if (auto s = weak.lock()) s->end(reason); },
  };
  std::string label = "serial " + std::filesystem::path(path).filename().string();
  try {
    std::lock_guard lock(stream->mutex_);  // handlers wait until watch_ is in place
    stream->watch_ = std::make_unique<fdwatch::FdWatch>(fd, std::move(label), std::move(watchHandlers));
  } catch (const std::system_error& e) {
    return tl::make_unexpected(path + ": cannot watch the device: " + e.what());  // ~SerialStream closes fd
  }
  return stream;
}

SerialStream::SerialStream(std::string path, int fd, Handlers handlers)
    : path_(std::move(path)), handlers_(std::move(handlers)), fd_(fd) {}

SerialStream::~SerialStream() { close(); }

void SerialStream::write(std::string bytes, WriteCompletion completion) {
  {
    std::lock_guard lock(mutex_);
    if (!closed_) {
      pending_.push_back({std::move(bytes), 0, std::move(completion)});
      watch_->setWantWritable(true);
      return;
    }
  }
  if (completion) completion("the stream is closed");
}

void SerialStream::close() {
  std::unique_ptr<fdwatch::FdWatch> watch;
  std::deque<PendingWrite> pending;
  int fd = -1;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    watch = std::move(watch_);
    pending = std::move(pending_);
    fd = std::exchange(fd_, -1);
  }
  watch.reset();  // waits for a running handler, unless this is one
  if (fd >= 0) ::close(fd);
  fail(std::move(pending), "the stream was closed");
}

bool SerialStream::isOpen() const {
  std::lock_guard lock(mutex_);
  return !closed_;
}

void SerialStream::onReadable() {
  const fdwatch::ReadEnd turn = fdwatch::readTurn(
      kReadChunkBytes, kReadsPerTurn,
      [this](char* buffer, std::size_t size) -> std::optional<fdwatch::ReadResult> {
        std::lock_guard lock(mutex_);
        if (closed_) return std::nullopt;
        const ssize_t n = ::read(fd_, buffer, size);
        return fdwatch::ReadResult{n, errno};
      },
      handlers_.data);
  if (turn.kind == fdwatch::ReadEnd::Kind::endOfFile) {
    end("the device reached the end of its data");
  } else if (turn.kind == fdwatch::ReadEnd::Kind::failed) {
    end(describeError("reading failed", turn.error));  // EIO once the device is unplugged
  }
}

void SerialStream::onWritable() {
  std::vector<WriteCompletion> done;
  std::optional<std::string> failure;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    while (!pending_.empty()) {
      PendingWrite& front = pending_.front();
      if (std::optional<int> error = fdwatch::writeAvailable(fd_, front.bytes, front.written, fdwatch::Transfer::write)) {
        failure = describeError("writing failed", *error);
        break;
      }
      if (front.written < front.bytes.size()) break;  // full: the watch calls again when there is room
      done.push_back(std::move(front.completion));
      pending_.pop_front();
    }
    if (pending_.empty()) watch_->setWantWritable(false);
  }
  for (WriteCompletion& completion : done) {
    if (completion) completion(std::nullopt);
  }
  if (failure) end(*failure);
}

void SerialStream::end(const std::string& reason) {
  std::deque<PendingWrite> pending;
  {
    std::lock_guard lock(mutex_);
    if (closed_) return;
    closed_ = true;
    pending = std::move(pending_);
    watch_->stop();  // we run on its thread: it ends once this handler returns
    ::close(std::exchange(fd_, -1));
  }
  fail(std::move(pending), reason);
  if (handlers_.closed) handlers_.closed(reason);
}

void SerialStream::fail(std::deque<PendingWrite> writes, const std::string& reason) {
  for (PendingWrite& pending : writes) {
    if (pending.completion) pending.completion(reason);
  }
}

}  // namespace kestrom::serial
