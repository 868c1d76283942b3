#pragma once
// The byte stream of one classic Bluetooth hub: the RFCOMM socket the Bluetooth service handed
// over, watched by an FdWatch. Reads arrive as byte chunks in order. Writes go one piece at a
// time: a piece is written whole (what the socket does not take at once is written when it has
// room again) and its completion reported before the next piece is accepted.
//
// Threads: `data`, `written` and `closed` run on the watch thread, except a `written` for a
// piece the socket took at once, which runs inside `write`; they should only post to their
// owner's queue. `write` and `close` may be called from any thread. Once `close` returns
// (called outside a handler), no handler runs any more. Owned through a shared_ptr.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/bluetooth/OwnedFd.h"
#include "platform/fdwatch/FdWatch.h"

namespace kestrom {

class RfcommChannel {
 public:
  struct Handlers {
    /// Bytes exactly as the hub sent them, never empty.
    std::function<void(std::string bytes)> data;
    /// The piece handed to `write` is written (nothing) or could not be (why).
    std::function<void(std::optional<std::string> error)> written;
    /// The link ended by itself: the hub hung up, or a read failed. Called once, never after `close`.
    std::function<void(std::string reason)> closed;
  };

  /// Takes the socket over (non-blocking from now on) and starts watching it; the error says why
  /// it could not.
  static std::shared_ptr<RfcommChannel> open(OwnedFd socket, const std::string& label, Handlers handlers,
                                             std::string* error);
  ~RfcommChannel();
  RfcommChannel(const RfcommChannel&) = delete;
  RfcommChannel& operator=(const RfcommChannel&) = delete;

  /// Starts writing `piece`. False (and no `written`) while an earlier piece is in flight or once
  /// the channel is closed.
  bool write(std::string piece);
  /// Stops watching and closes the socket; a piece in flight is dropped without `written`.
  void close();
  bool isOpen() const;

 private:
  RfcommChannel(OwnedFd socket, Handlers handlers);
  void onReadable();
  void onWritable();
  /// Writes what the socket takes of the piece in flight; true when something is left. Holds mutex_.
  bool writeSome(std::optional<std::string>& failure);
  void end(const std::string& reason);

  const Handlers handlers_;
  // Guards the members below; held across each read and write call.
  mutable std::mutex mutex_;
  OwnedFd socket_;
  bool closed_ = false;
  std::optional<std::string> piece_;  // in flight
  std::size_t written_ = 0;
  std::unique_ptr<fdwatch::FdWatch> watch_;
};

}  // namespace kestrom
