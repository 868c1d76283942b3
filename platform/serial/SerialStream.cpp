#include "platform/serial/SerialStream.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <utility>

namespace kestrom::serial {

namespace {

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

Expected<std::shared_ptr<SerialStream>, std::string> SerialStream::open(
    const std::string& path, unsigned baudRate, Handlers handlers) {
  const std::optional<speed_t> speed = speedFor(baudRate);
  if (!speed) return makeUnexpected(path + ": unsupported speed " + std::to_string(baudRate));
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return makeUnexpected(describeError(path + ": cannot open", errno));
  if (std::optional<std::string> error = configure(fd, *speed)) {
    ::close(fd);
    return makeUnexpected(path + ": " + *error);
  }

  std::shared_ptr<SerialStream> stream(new SerialStream(fd, std::move(handlers)));
  if (std::optional<std::string> error = stream->watch("serial " + std::filesystem::path(path).filename().string())) {
    return makeUnexpected(path + ": cannot watch the device: " + *error);
  }
  return stream;
}

SerialStream::SerialStream(int fd, Handlers handlers)
    : DescriptorStream(fd, Transfer{.endOfData = "the device reached the end of its data"}, std::move(handlers)) {}

}  // namespace kestrom::serial
