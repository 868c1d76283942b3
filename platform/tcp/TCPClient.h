#pragma once
// One accepted TCP connection on a non-blocking socket. Reads and writes wait with a time-out
// (poll) only when the socket is not ready; writes never raise SIGPIPE (MSG_NOSIGNAL for bytes;
// SIGPIPE blocked and consumed around sendfile). Used by one worker thread at a time; `shutdown`
// alone may come from another thread. Closes its socket when destroyed.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/tcp/Result.h"

namespace kestrom::tcp {

class TCPClient {
 public:
  explicit TCPClient(int fd);
  ~TCPClient();
  TCPClient(const TCPClient&) = delete;
  TCPClient& operator=(const TCPClient&) = delete;

  enum class ReadStatus { data, closed, timedOut, failed };
  struct ReadResult {
    ReadStatus status = ReadStatus::failed;
    std::string bytes;
    explicit operator bool() const { return status == ReadStatus::data; }
  };

  /// How many bytes can be read without waiting; nothing when the socket failed.
  std::optional<std::int32_t> bytesAvailable() const;
  /// Waits up to `timeoutMs` (< 0: no limit) for data and reads at most `maxCount` bytes.
  ReadResult read(std::size_t maxCount, int timeoutMs);
  /// As `read`, into the caller's `buffer` (which it may reuse); `count` is set for `data`.
  ReadStatus readInto(char* buffer, std::size_t capacity, std::size_t& count, int timeoutMs);
  /// Writes all of `bytes`, waiting up to `timeoutMs` for each stretch of room in the send buffer.
  /// `more`: further bytes follow at once (sendfile), so the kernel may hold back a partial segment.
  Result send(std::string_view bytes, int timeoutMs = 10000, bool more = false);
  /// Writes all of `first` then all of `second`, in one system call when the buffer has room.
  Result send(std::string_view first, std::string_view second, int timeoutMs = 10000);
  /// Writes `length` bytes of `fileFd` from `offset` with sendfile(2), in chunks.
  Result sendFile(int fileFd, std::uint64_t offset, std::uint64_t length, int timeoutMs = 10000);

  /// Ends our direction (FIN) but keeps reading possible.
  void shutdownWrite();
  /// Wakes a blocked read or write for good. Any thread.
  void shutdown();
  /// Reads and drops what the peer still sends, until it closes or `budgetMs` or `maxBytes` run
  /// out, so closing does not reset the connection before the peer has read our answer.
  void drain(int budgetMs, std::size_t maxBytes);
  void close();

  int fd() const { return fd_; }

 private:
  bool waitWritable(int timeoutMs);
  Result sendFileChunks(int fileFd, std::uint64_t offset, std::uint64_t length, int timeoutMs);
  int fd_;
};

/// Keeps SIGPIPE blocked on the calling thread for good, so that `TCPClient::sendFile` on this
/// thread need not block and restore it around every call (it still consumes the signal a closed
/// peer raises). For threads that do nothing but serve connections.
void keepSigpipeBlockedOnThisThread();

}  // namespace kestrom::tcp
