#pragma once
// The byte stream under one connection's WebSocket stream: every byte the connection sends goes
// through here, in one order. Beast writes its own frames (the upgrade response, pongs, keep-alive
// pings, the close) through `async_write_some` like any next layer; the connection's text frames
// are framed here instead, so a text can leave on the thread that produced it: when nothing is
// queued or in flight, `sendText` writes the whole frame at once without blocking, under the
// wire's lock. What the socket does not take at once (a partial write, EAGAIN) stays at the head
// of the queue, and the I/O thread finishes it before any other byte: frames stay whole and in
// order, and a slow reader never blocks the sender.
//
// Every byte read passes a tracker of the peer's frames, so that a closing connection knows when
// the peer's close frame has come. Beast's teardown after its close frame goes out (whether the
// peer or the server began the close) is done here: the wire half-closes and reads and discards
// until the peer's close frame has come, the peer closes its side or `kDrainTime` has passed, and
// only then closes the socket. A peer still sending when the server closes (a message too big, a
// frame breaking the protocol) so reads the close instead of meeting a reset. The drain waits
// without holding the thread, and a connection of the page stays in the server's list, counted
// against its cap, until the drain ends.
//
// Home: reads, Beast's writes and the queue's flushing on the server's I/O thread; `sendText`,
// `seal` and `idle` from any thread. Owner: the connection's WebSocket stream (its next layer);
// pending flushes keep the connection alive through `setOwner`.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "KestromKit/server/BeastNet.h"

namespace kestrom {

class WSWire {
 public:
  using Payload = std::shared_ptr<const std::string>;
  using executor_type = wsnet::beast::tcp_stream::executor_type;

  /// What became of a text handed to `sendText`.
  enum class SendResult {
    sent,     // the whole frame is in the socket's buffer
    queued,   // the I/O thread writes it (or its rest)
    dropped,  // the wire is sealed (the connection is closing or has ended)
    failed,   // the socket failed or the peer fell too far behind: the wire is sealed, the failure reported
  };

  /// How long a closing connection reads what its peer still sends, waiting for the peer's close.
  static constexpr std::chrono::seconds kDrainTime{2};

  explicit WSWire(wsnet::tcp::socket&& socket);
  WSWire(const WSWire&) = delete;
  WSWire& operator=(const WSWire&) = delete;

  executor_type get_executor() noexcept { return stream_.get_executor(); }
  /// The TCP stream below (its deadlines guard the upgrade request). Deliberately not called
  /// `next_layer`: Beast closes the lowest layer on a timeout, and that must be this wire, which
  /// stops its senders first.
  wsnet::beast::tcp_stream& stream() { return stream_; }

  /// Keeps the connection alive while a flush or a failure report is pending; set before any I/O.
  void setOwner(std::weak_ptr<void> owner) { owner_ = std::move(owner); }
  /// Called on the I/O thread when a write fails or the peer falls more than `maxQueuedBytes`
  /// behind; the wire is sealed by then.
  void setFailureHandler(std::function<void(const wsnet::error_code&)> failed) { failed_ = std::move(failed); }
  void setMaxQueuedBytes(std::size_t bytes) { maxQueuedBytes_ = bytes; }

  /// Opens the wire for text frames once the handshake is done, and starts following the peer's
  /// frames; texts sent before follow the handshake's answer in their order. I/O thread.
  void open();
  /// Sends `text` as one unmasked text frame. Any thread; never blocks on the peer.
  SendResult sendText(const Payload& text);
  /// No more text frames (the connection is closing); Beast's own frames still pass. Any thread.
  void seal();
  /// Nothing is queued or being written.
  bool idle() const;
  /// Seals the wire and closes the socket. I/O thread.
  void close();

  /// Reads like the stream below; once the wire is open, the bytes read pass the frame tracker.
  template <class MutableBuffers, class Handler>
  auto async_read_some(const MutableBuffers& buffers, Handler&& handler) {
    return wsnet::net::async_initiate<Handler, void(wsnet::error_code, std::size_t)>(
        [this](auto&& completion, const MutableBuffers& into) {
          auto executor = wsnet::net::get_associated_executor(completion, stream_.get_executor());
          stream_.async_read_some(
              into, wsnet::net::bind_executor(executor, [this, into, completion = std::move(completion)](
                                                            wsnet::error_code ec, std::size_t bytes) mutable {
                std::size_t left = bytes;
                for (auto it = wsnet::net::buffer_sequence_begin(into);
                     left > 0 && it != wsnet::net::buffer_sequence_end(into); ++it) {
                  wsnet::net::const_buffer piece(*it);
                  std::size_t size = std::min(left, piece.size());
                  peerFrames_.follow(static_cast<const std::uint8_t*>(piece.data()), size);
                  left -= size;
                }
                std::move(completion)(ec, bytes);
              }));
        },
        handler, buffers);
  }

  /// Beast's writes: queued behind every frame already queued and written whole before the
  /// handler runs.
  template <class ConstBuffers, class Handler>
  auto async_write_some(const ConstBuffers& buffers, Handler&& handler) {
    return wsnet::net::async_initiate<Handler, void(wsnet::error_code, std::size_t)>(
        [this](auto&& completion, const ConstBuffers& bytes) {
          std::vector<wsnet::net::const_buffer> pieces;
          for (auto it = wsnet::net::buffer_sequence_begin(bytes); it != wsnet::net::buffer_sequence_end(bytes); ++it)
            pieces.emplace_back(*it);
          enqueueControl(std::move(pieces), std::make_unique<Completion<std::decay_t<decltype(completion)>>>(
                                                std::move(completion), stream_.get_executor()));
        },
        handler, buffers);
  }

  friend void beast_close_socket(WSWire& wire) { wire.close(); }

  /// Beast tears down after its close frame went out: the drain described above (a server's, so it
  /// half-closes first), then the socket is closed.
  template <class TeardownHandler>
  friend void async_teardown(wsnet::beast::role_type, WSWire& wire, TeardownHandler&& handler) {
    auto executor = wsnet::net::get_associated_executor(handler, wire.stream_.get_executor());
    using Done = Teardown<std::decay_t<TeardownHandler>, decltype(executor)>;
    wire.drain(std::make_unique<Done>(std::forward<TeardownHandler>(handler), std::move(executor)));
  }

 private:
  /// Beast's write handler, kept until its bytes are written.
  struct CompletionBase {
    virtual ~CompletionBase() = default;
    virtual void complete(const wsnet::error_code& ec, std::size_t bytes) = 0;
  };
  template <class Handler>
  struct Completion final : CompletionBase {
    Completion(Handler&& handler, executor_type executor) : handler_(std::move(handler)), executor_(std::move(executor)) {}
    void complete(const wsnet::error_code& ec, std::size_t bytes) override {
      // Never inline: the handler runs as if posted, on its own executor.
      wsnet::net::post(executor_, wsnet::beast::bind_handler(std::move(handler_), ec, bytes));
    }
    Handler handler_;
    executor_type executor_;
  };

  /// Beast's teardown handler, kept until the drain ends.
  template <class Handler, class Executor>
  struct Teardown final : CompletionBase {
    Teardown(Handler&& handler, Executor executor) : handler_(std::move(handler)), executor_(std::move(executor)) {}
    void complete(const wsnet::error_code& ec, std::size_t) override {
      wsnet::net::post(executor_, wsnet::beast::bind_handler(std::move(handler_), ec));
    }
    Handler handler_;
    Executor executor_;
  };

  /// Where the peer's frames begin and end in the bytes read, and whether its close frame came
  /// whole. It reads only the frame heads: lengths, masks and the opcode, whatever their values.
  class FrameTracker {
   public:
    void start() { following_ = true; }
    void follow(const std::uint8_t* bytes, std::size_t size);
    bool closeCame() const { return closeCame_; }

   private:
    std::array<std::uint8_t, 14> head_{};
    std::size_t headSize_ = 0;
    std::uint64_t payloadLeft_ = 0;
    bool inClose_ = false;
    bool following_ = false;  // past the handshake: what comes is frames
    bool closeCame_ = false;
  };

  /// One frame, or one write of Beast's, with how much of it is written.
  struct Chunk {
    std::array<std::uint8_t, 10> header{};
    std::size_t headerSize = 0;
    Payload text;                                           // a text frame's payload
    std::vector<wsnet::net::const_buffer> control;          // Beast's bytes
    std::unique_ptr<CompletionBase> done;                   // Beast's handler
    std::size_t size = 0;
    std::size_t written = 0;
  };

  void enqueueControl(std::vector<wsnet::net::const_buffer> bytes, std::unique_ptr<CompletionBase> done);
  // With mutex_ held: makes sure a flush is under way.
  void scheduleFlush();
  void reportFailure(const wsnet::error_code& ec);  // with mutex_ held: seals, posts the report
  // I/O thread.
  void flush();
  void onFlushed(const wsnet::error_code& ec, std::size_t bytes);
  void drain(std::unique_ptr<CompletionBase> done);
  void drainMore(std::unique_ptr<CompletionBase> done);

  wsnet::beast::tcp_stream stream_;
  std::weak_ptr<void> owner_;
  std::function<void(const wsnet::error_code&)> failed_;
  std::size_t maxQueuedBytes_ = SIZE_MAX;
  std::vector<wsnet::net::const_buffer> gather_;  // the flush in flight; I/O thread only
  FrameTracker peerFrames_;                       // I/O thread only
  std::vector<char> drained_;                     // what the drain reads goes here; I/O thread only

  mutable std::mutex mutex_;  // guards everything below
  int fd_ = -1;               // the socket, for writes from any thread; -1 when they may not touch it
  bool open_ = false;         // past the handshake: text frames may be sent, Beast's writes are whole frames
  bool sealed_ = false;       // no more text frames
  bool closed_ = false;       // nothing more is written
  bool flushing_ = false;     // a flush is posted or a write is in flight
  std::deque<Chunk> queue_;   // front may be partly written
  std::vector<Payload> held_;  // texts sent before the handshake's answer went out
  std::size_t queuedBytes_ = 0;
};

}  // namespace kestrom
