#include "KestromKit/server/WebServerRequestReader.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "KestromKit/base/Constants.h"
#include "platform/files/DescriptorIO.h"
#include "KestromKit/server/WebServerRequestParser.h"
#include "platform/tcp/TCPClient.h"

namespace kestrom {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::size_t kReadChunk = 64 * 1024;

int millisecondsUntil(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 24LL * 3600 * 1000));
}

}  // namespace

WebServerRequestReader::WebServerRequestReader(tcp::TCPClient& client, const WebServerLimits& limits,
                                               const fs::path& spoolFolder)
    : client_(client), limits_(limits), spoolFolder_(spoolFolder) {}

Expected<WebServerBody, WebServerRequestReader::Failure> WebServerRequestReader::readBody(
    std::string_view initial, std::optional<std::int64_t> contentLength) {
  // A body already as long as declared (or longer) stays whole; so does one with no usable length.
  if (!contentLength || *contentLength <= static_cast<std::int64_t>(initial.size()))
    return WebServerBody(std::string(initial));
  auto length = static_cast<std::uint64_t>(*contentLength);
  if (length > limits_.maxBodyBytes) return makeUnexpected(Failure::bodyTooLarge);
  const auto rate = std::max<std::uint64_t>(1, limits_.minBodyBytesPerSecond);
  bodyDeadline_ = Clock::now() + limits_.readTimeout + std::chrono::milliseconds(length * 1000 / rate);
  if (length > limits_.memoryBodyBytes) return spoolBody(initial, length);

  std::string body(initial);
  body.reserve(static_cast<std::size_t>(length));
  while (body.size() < length) {
    auto read = readBodyBytes(std::min<std::size_t>(kReadChunk, length - body.size()));
    if (!read) return makeUnexpected(read.error());
    body += *read;
  }
  return WebServerBody(std::move(body));
}

Expected<std::string, WebServerRequestReader::Failure> WebServerRequestReader::readBodyBytes(std::size_t count) {
  int left = millisecondsUntil(bodyDeadline_);
  if (left <= 0) return makeUnexpected(Failure::tooSlow);
  auto timeout = std::min<long long>(left, limits_.readTimeout.count());
  auto read = client_.read(count, static_cast<int>(timeout));
  if (read) return std::move(read.bytes);
  if (read.status == tcp::TCPClient::ReadStatus::timedOut && millisecondsUntil(bodyDeadline_) <= 0)
    return makeUnexpected(Failure::tooSlow);
  return makeUnexpected(Failure::incomplete);
}

Expected<WebServerBody, WebServerRequestReader::Failure> WebServerRequestReader::spoolBody(std::string_view initial,
                                                                                             std::uint64_t length) {
  const fs::path folder = spoolFolder_.empty() ? fs::path(Constants::path().tmp) : spoolFolder_;
  std::string pattern = (folder / "request-body.XXXXXX").string();
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return makeUnexpected(Failure::spoolFailed);
  fs::path file(name.data());
  auto fail = [&](Failure failure) {
    ::close(fd);
    std::error_code ec;
    fs::remove(file, ec);
    return makeUnexpected(failure);
  };
  if (!files::writeAll(fd, initial).has_value()) return fail(Failure::spoolFailed);
  std::uint64_t have = initial.size();
  while (have < length) {
    auto read = readBodyBytes(static_cast<std::size_t>(std::min<std::uint64_t>(kReadChunk, length - have)));
    if (!read) return fail(read.error());
    if (!files::writeAll(fd, *read).has_value()) return fail(Failure::spoolFailed);
    have += read->size();
  }
  ::close(fd);
  auto body = WebServerBody::adoptFile(file);  // removes the file with the body, or at once on failure
  if (!body) return makeUnexpected(Failure::spoolFailed);
  return std::move(*body);
}

}  // namespace kestrom
