#pragma once
// A serial device file (a USB CDC-ACM port, a pseudo-terminal) open for reading and writing in
// raw mode: 8 data bits, no parity, one stop bit, no echo, no character mapping, no flow control.
// Reads arrive as byte chunks in order; writes leave whole and in order, one queue of pending
// writes drained as the device takes them.
//
// Threads: the device is watched by an FdWatch; `data`, `closed` and write completions run on
// its thread, one at a time, and should only post to their owner's queue. `write` and `close`
// may be called from any thread, handlers included. Once `close` returns (called outside a
// handler), no handler runs any more. Owned through a shared_ptr by whoever opened it.

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <tl/expected.hpp>

#include "platform/fdwatch/FdWatch.h"

namespace kestrom::serial {

class SerialStream {
 public:
  struct Handlers {
    /// Bytes exactly as the device sent them, never empty.
    std::function<void(std::string bytes)> data;
    /// The stream ended by itself: the device went away, a read or write failed, or the end of
    /// file was reached. Called once, never after `close`.
    std::function<void(std::string reason)> closed;
  };
  /// Nothing when every byte was written; otherwise why the write failed.
  using WriteCompletion = std::function<void(std::optional<std::string> error)>;

  static constexpr unsigned kDefaultBaudRate = 115200;

  /// Opens `path` without becoming its controlling terminal, sets raw mode at `baudRate` and
  /// raises DTR and RTS. Devices that know no terminal settings or modem lines (pseudo-terminals,
  /// emulated ports) are accepted as they are. The error names the path and the failing step.
  static tl::expected<std::shared_ptr<SerialStream>, std::string> open(
      const std::string& path, unsigned baudRate, Handlers handlers);

  ~SerialStream();
  SerialStream(const SerialStream&) = delete;
  SerialStream& operator=(const SerialStream&) = delete;

  /// Queues `bytes` behind earlier writes. `completion` runs on the watch thread once the bytes
  /// are all written (an empty write completes on the next turn without touching the device),
  /// or with an error when the stream ends first; on a stream already closed it runs at once,
  /// inside this call, with an error.
  void write(std::string bytes, WriteCompletion completion);
  /// Stops watching and closes the device; pending writes complete with an error, inside this
  /// call. `closed` is not called. Safe to call again.
  void close();
  bool isOpen() const;
  const std::string& path() const { return path_; }

 private:
  struct PendingWrite {
    std::string bytes;
    std::size_t written = 0;
    WriteCompletion completion;
  };

  SerialStream(std::string path, int fd, Handlers handlers);
  void onReadable();
  void onWritable();
  /// The stream ended by itself (watch thread): fail what is pending and say `closed` once.
  void end(const std::string& reason);
  static void fail(std::deque<PendingWrite> writes, const std::string& reason);

  const std::string path_;
  const Handlers handlers_;
  // Guards the members below. Held across each read and write call, so `close` from another
  // thread never takes the descriptor away in the middle of one.
  mutable std::mutex mutex_;
  int fd_ = -1;
  bool closed_ = false;
  std::deque<PendingWrite> pending_;
  std::unique_ptr<fdwatch::FdWatch> watch_;
};

}  // namespace kestrom::serial
