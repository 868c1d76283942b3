#pragma once
// The reads and writes of a stream watched by an FdWatch (a serial port, an RFCOMM socket), on a
// non-blocking descriptor: a read turn that takes what is waiting, and a write step that gives the
// descriptor what it takes of a buffer and leaves the rest for its next writable turn.

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kestrom::fdwatch {

/// "what: <the error's text>".
std::string describeError(const std::string& what, int error);

/// How bytes go to a descriptor: write(2) for device files, send(2) for sockets (without
/// SIGPIPE, so a peer that hung up shows as an error).
enum class Transfer { write, send };

/// Writes `bytes` from `written` on to `fd`, advancing `written`, until all of it is written or
/// the descriptor is full (the rest waits for its next writable turn); interrupted writes are
/// retried. The error number when a write failed.
std::optional<int> writeAvailable(int fd, std::string_view bytes, std::size_t& written, Transfer how);

/// How a read turn ended.
struct ReadEnd {
  enum class Kind {
    drained,    // nothing more waits, or the turn used its reads up
    stopped,    // the owner closed the stream
    endOfFile,  // the other end closed
    failed,     // a read failed: `error`
  };
  Kind kind = Kind::drained;
  int error = 0;
};

/// One readable turn: up to `reads` reads of up to `chunkBytes` each, interrupted ones retried,
/// each chunk read handed to `data`. `readOnce` does one read into the buffer under its owner's
/// lock and returns read(2)'s result and errno, or nothing when the owner has closed the stream.
struct ReadResult {
  ssize_t count = 0;
  int error = 0;
};
ReadEnd readTurn(std::size_t chunkBytes, int reads,
                 const std::function<std::optional<ReadResult>(char* buffer, std::size_t size)>& readOnce,
                 const std::function<void(std::string bytes)>& data);

}  // namespace kestrom::fdwatch
