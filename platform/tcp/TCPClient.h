#pragma once
// One accepted TCP connection. Reads wait with a time-out (poll), writes never raise SIGPIPE
// (MSG_NOSIGNAL for bytes; SIGPIPE blocked and consumed around sendfile). Used by one worker
// thread at a time; `shutdown` alone may come from another thread. Closes its socket when destroyed.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/tcp/Result.h"

namespace kestrom::tcp {

class TCPClient {
 public:
  TCPClient(int fd, std::string peerAddress);
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
  /// Writes all of `bytes`, waiting up to `timeoutMs` for each stretch of room in the send buffer.
  Result send(std::string_view bytes, int timeoutMs = 10000);
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
  const std::string& peerAddress() const { return peerAddress_; }

 private:
  bool waitWritable(int timeoutMs);
  int fd_;
  std::string peerAddress_;
};

}  // namespace kestrom::tcp
