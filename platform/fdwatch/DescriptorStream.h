#pragma once
// A byte stream over one non-blocking descriptor watched by an FdWatch: the common part of the
// host's streams (a serial device file, an RFCOMM socket). Reads arrive as byte chunks in order;
// writes leave whole and in order, one queue of pending writes drained as the descriptor takes
// them.
//
// Threads: `data`, `closed` and write completions run on the watch thread, one at a time, and
// should only post to their owner's queue. `write` and `close` may be called from any thread,
// handlers included. Once `close` returns (called outside a handler), no handler runs any more.
// Owned through a shared_ptr by whoever opened it; the kinds of stream derive from this class and
// open their descriptor themselves.

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/fdwatch/FdWatch.h"

namespace kestrom::fdwatch {

/// "what: <the error's text>".
std::string describeError(const std::string& what, int error);

class DescriptorStream : public std::enable_shared_from_this<DescriptorStream> {
 public:
  struct Handlers {
    /// Bytes exactly as the other end sent them, never empty.
    std::function<void(std::string bytes)> data;
    /// The stream ended by itself: the other end went away or finished, or a read or write
    /// failed. Called once, never after `close`.
    std::function<void(std::string reason)> closed;
  };
  /// Nothing when every byte was written; otherwise why the write failed.
  using WriteCompletion = std::function<void(std::optional<std::string> error)>;

  virtual ~DescriptorStream();
  DescriptorStream(const DescriptorStream&) = delete;
  DescriptorStream& operator=(const DescriptorStream&) = delete;

  /// Queues `bytes` behind earlier writes. `completion` runs on the watch thread once the bytes
  /// are all written (an empty write completes on the next turn without touching the descriptor),
  /// or with an error when the stream ends first; on a stream already closed it runs at once,
  /// inside this call, with an error.
  void write(std::string bytes, WriteCompletion completion);
  /// Stops watching and closes the descriptor; pending writes complete with an error, inside this
  /// call. `closed` is not called. Safe to call again.
  void close();
  bool isOpen() const;

 protected:
  /// How a kind of stream moves its bytes.
  struct Transfer {
    /// recv(2) and send(2) (without SIGPIPE, so a peer that hung up shows as an error) for
    /// sockets; read(2) and write(2) for device files.
    bool socket = false;
    std::size_t readChunkBytes = 16 * 1024;
    /// Reads per readable turn; the watch comes back at once if more is waiting, and writes get
    /// a turn in between.
    int readsPerTurn = 64;
    /// The reason `closed` gives when a read finds the end of the data.
    std::string endOfData;
  };

  /// Takes `fd` over (it must be non-blocking); nothing is watched until `watch`.
  DescriptorStream(int fd, Transfer transfer, Handlers handlers);
  /// Starts the watch thread named `label`; why it could not start otherwise. Once, right after
  /// the stream is made, through a shared_ptr.
  std::optional<std::string> watch(std::string label);

 private:
  struct PendingWrite {
    std::string bytes;
    std::size_t written = 0;
    WriteCompletion completion;
  };

  void onReadable();
  void onWritable();
  /// The stream ended by itself (watch thread): fail what is pending and say `closed` once.
  void end(const std::string& reason);
  static void fail(std::deque<PendingWrite> writes, const std::string& reason);

  const Transfer transfer_;
  const Handlers handlers_;
  // Guards the members below. Held across each read and write call, so `close` from another
  // thread never takes the descriptor away in the middle of one.
  mutable std::mutex mutex_;
  int fd_ = -1;
  bool closed_ = false;
  std::deque<PendingWrite> pending_;
  std::unique_ptr<FdWatch> watch_;
};

}  // namespace kestrom::fdwatch
