#include "KestromKit/server/WSWire.h"

#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>

namespace kestrom {

namespace {

using namespace wsnet;

// Buffers given to one write of a flush: a burst of small frames leaves in one system call.
constexpr std::size_t kMaxGather = 64;

// The opcode of a close frame, in the low half of a frame's first byte.
constexpr std::uint8_t kCloseOpcode = 0x8;

// What a drain reads at once.
constexpr std::size_t kDrainBytes = 16 * 1024;

// A server's frames are not masked: the header is two to ten bytes ahead of the payload.
std::size_t textFrameHeader(std::array<std::uint8_t, 10>& header, std::size_t length) {
  header[0] = 0x81;  // final frame of a text message
  if (length < 126) {
    header[1] = static_cast<std::uint8_t>(length);
    return 2;
  }
  if (length <= 0xFFFF) {
    header[1] = 126;
    header[2] = static_cast<std::uint8_t>(length >> 8);
    header[3] = static_cast<std::uint8_t>(length);
    return 4;
  }
  header[1] = 127;
  for (int i = 0; i < 8; ++i) header[2 + i] = static_cast<std::uint8_t>(std::uint64_t{length} >> (56 - 8 * i));
  return 10;
}

}  // namespace

WSWire::WSWire(tcp::socket&& socket) : stream_(std::move(socket)) {}

void WSWire::open() {
  std::lock_guard lock(mutex_);
  if (closed_) return;
  fd_ = stream_.socket().native_handle();
  open_ = true;
  peerFrames_.start();
  for (auto& text : held_) {
    Chunk chunk;
    chunk.headerSize = textFrameHeader(chunk.header, text->size());
    chunk.size = chunk.headerSize + text->size();
    chunk.text = std::move(text);
    queuedBytes_ += chunk.headerSize;  // the payload was counted when it was held
    queue_.push_back(std::move(chunk));
  }
  held_.clear();
  if (!queue_.empty()) scheduleFlush();
}

WSWire::SendResult WSWire::sendText(const Payload& text) {
  std::lock_guard lock(mutex_);
  if (sealed_) return SendResult::dropped;
  if (!open_) {
    // Listed while its handshake's answer is being written: the page gets it right after.
    if (queuedBytes_ + text->size() > maxQueuedBytes_) {
      reportFailure(make_error_code(boost::system::errc::no_buffer_space));
      return SendResult::failed;
    }
    queuedBytes_ += text->size();
    held_.push_back(text);
    return SendResult::queued;
  }
  Chunk chunk;
  chunk.headerSize = textFrameHeader(chunk.header, text->size());
  chunk.text = text;
  chunk.size = chunk.headerSize + text->size();
  if (queue_.empty() && !flushing_) {
    // Nothing ahead of it: straight into the socket's buffer, as far as it goes without waiting.
    iovec pieces[2] = {{chunk.header.data(), chunk.headerSize}, {const_cast<char*>(text->data()), text->size()}};
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = 2;
    ssize_t written;
    do {
      written = ::sendmsg(fd_, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (written < 0 && errno == EINTR);
    if (written == static_cast<ssize_t>(chunk.size)) return SendResult::sent;
    if (written < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        reportFailure(error_code(errno, boost::system::system_category()));
        return SendResult::failed;
      }
      written = 0;
    }
    chunk.written = static_cast<std::size_t>(written);
  } else if (!queue_.empty() && queuedBytes_ + chunk.size > maxQueuedBytes_) {
    // The peer stopped reading; holding on would only grow the host's memory without bound.
    reportFailure(make_error_code(boost::system::errc::no_buffer_space));
    return SendResult::failed;
  }
  queuedBytes_ += chunk.size;
  queue_.push_back(std::move(chunk));
  scheduleFlush();
  return SendResult::queued;
}

void WSWire::seal() {
  std::lock_guard lock(mutex_);
  sealed_ = true;
}

bool WSWire::idle() const {
  std::lock_guard lock(mutex_);
  return queue_.empty() && !flushing_;
}

void WSWire::close() {
  {
    std::lock_guard lock(mutex_);
    sealed_ = closed_ = true;
    fd_ = -1;
  }
  // No sender touches the socket from here on; a write in flight ends with operation_aborted.
  error_code ignored;
  stream_.socket().close(ignored);
}

void WSWire::enqueueControl(std::vector<net::const_buffer> bytes, std::unique_ptr<CompletionBase> done) {
  bool start = false;
  {
    std::lock_guard lock(mutex_);
    if (closed_) {
      done->complete(net::error::operation_aborted, 0);
      return;
    }
    Chunk chunk;
    for (const auto& piece : bytes) chunk.size += piece.size();
    if (open_ && !bytes.empty() && bytes.front().size() > 0 &&
        (*static_cast<const std::uint8_t*>(bytes.front().data()) & 0x0F) == kCloseOpcode) {
      sealed_ = true;  // texts after the close frame would break the protocol
    }
    chunk.control = std::move(bytes);
    chunk.done = std::move(done);
    queue_.push_back(std::move(chunk));
    start = !flushing_;
    flushing_ = true;
  }
  if (start) flush();  // Beast writes from the I/O thread: no need to post
}

void WSWire::scheduleFlush() {
  if (flushing_) return;
  auto owner = owner_.lock();
  if (!owner) return;
  flushing_ = true;
  net::post(stream_.get_executor(), [this, owner = std::move(owner)] { flush(); });
}

void WSWire::reportFailure(const error_code& ec) {
  sealed_ = true;
  auto owner = owner_.lock();
  if (!owner || !failed_) return;
  net::post(stream_.get_executor(), [this, owner = std::move(owner), ec] { failed_(ec); });
}

void WSWire::flush() {
  std::vector<std::unique_ptr<CompletionBase>> abandoned;
  std::shared_ptr<void> owner = owner_.lock();
  {
    std::lock_guard lock(mutex_);
    gather_.clear();
    if (closed_ || !owner) {
      for (auto& chunk : queue_)
        if (chunk.done) abandoned.push_back(std::move(chunk.done));
      queue_.clear();
      queuedBytes_ = 0;
    }
    for (const Chunk& chunk : queue_) {
      if (gather_.size() >= kMaxGather) break;
      std::size_t skip = chunk.written;
      auto add = [&](const void* data, std::size_t size) {
        std::size_t skipped = std::min(skip, size);
        skip -= skipped;
        if (size > skipped) gather_.emplace_back(static_cast<const char*>(data) + skipped, size - skipped);
      };
      if (chunk.text) {
        add(chunk.header.data(), chunk.headerSize);
        add(chunk.text->data(), chunk.text->size());
      } else {
        for (const auto& piece : chunk.control) add(piece.data(), piece.size());
      }
    }
    if (gather_.empty()) flushing_ = false;
  }
  for (auto& done : abandoned) done->complete(net::error::operation_aborted, 0);
  if (gather_.empty()) return;
  stream_.async_write_some(gather_, [this, owner = std::move(owner)](error_code ec, std::size_t bytes) {
    onFlushed(ec, bytes);
  });
}

void WSWire::onFlushed(const error_code& ec, std::size_t bytes) {
  std::vector<std::pair<std::unique_ptr<CompletionBase>, std::size_t>> finished;
  bool more = false;
  bool report = false;
  {
    std::lock_guard lock(mutex_);
    while (bytes > 0 && !queue_.empty()) {
      Chunk& front = queue_.front();
      std::size_t taken = std::min(bytes, front.size - front.written);
      front.written += taken;
      bytes -= taken;
      if (front.written < front.size) break;
      if (front.done) {
        finished.emplace_back(std::move(front.done), front.size);
      } else {
        queuedBytes_ -= front.size;
      }
      queue_.pop_front();
    }
    // An empty control write (Beast never makes one, but the contract allows it) is done at once.
    while (!queue_.empty() && queue_.front().size == 0) {
      finished.emplace_back(std::move(queue_.front().done), 0);
      queue_.pop_front();
    }
    if (ec) {
      // Nothing more can be written on this socket: every waiting write of Beast's ends with the error.
      report = !closed_;  // after our own close the reader reports why the connection ended
      sealed_ = true;
      for (auto& chunk : queue_)
        if (chunk.done) finished.emplace_back(std::move(chunk.done), chunk.written);
      queue_.clear();
      queuedBytes_ = 0;
      flushing_ = false;
    } else if (queue_.empty()) {
      flushing_ = false;
    } else {
      more = true;
    }
  }
  for (auto& [done, size] : finished) done->complete(ec, size);
  if (report && failed_) failed_(ec);
  if (more) flush();
}

void WSWire::drain(std::unique_ptr<CompletionBase> done) {
  {
    std::lock_guard lock(mutex_);
    sealed_ = true;  // nothing may follow the close frame
    if (closed_) {
      done->complete(net::error::operation_aborted, 0);
      return;
    }
  }
  // The close frame is out; what is left of the peer's frames is read and dropped, so that the
  // socket is not closed on unread bytes, which would reset the connection under the peer's feet.
  error_code ec;
  stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
  if (ec || peerFrames_.closeCame()) {
    close();
    done->complete({}, 0);
    return;
  }
  stream_.expires_after(kDrainTime);
  drained_.resize(kDrainBytes);
  drainMore(std::move(done));
}

void WSWire::drainMore(std::unique_ptr<CompletionBase> done) {
  stream_.async_read_some(net::buffer(drained_), [this, done = std::move(done)](error_code ec, std::size_t bytes) mutable {
    peerFrames_.follow(reinterpret_cast<const std::uint8_t*>(drained_.data()), bytes);
    if (!ec && !peerFrames_.closeCame()) return drainMore(std::move(done));
    // The peer's close came, the peer closed or reset its side, or the time is up.
    stream_.expires_never();
    close();
    drained_ = {};
    done->complete(isError(ec, errors::aborted) ? ec : error_code(), 0);
  });
}

void WSWire::FrameTracker::follow(const std::uint8_t* bytes, std::size_t size) {
  if (!following_) return;
  while (size > 0) {
    if (payloadLeft_ > 0) {
      auto skipped = static_cast<std::size_t>(std::min<std::uint64_t>(payloadLeft_, size));
      payloadLeft_ -= skipped;
      bytes += skipped;
      size -= skipped;
      closeCame_ = closeCame_ || (inClose_ && payloadLeft_ == 0);
      continue;
    }
    head_[headSize_++] = *bytes++;
    --size;
    if (headSize_ < 2) continue;
    // Two bytes, then 0, 2 or 8 of length, then 4 of mask key when the frame is masked.
    const std::uint8_t length = head_[1] & 0x7F;
    const std::size_t lengthBytes = length == 126 ? 2 : length == 127 ? 8 : 0;
    if (headSize_ < 2 + lengthBytes + ((head_[1] & 0x80) ? 4 : 0)) continue;
    payloadLeft_ = length;
    if (lengthBytes > 0) {
      payloadLeft_ = 0;
      for (std::size_t i = 0; i < lengthBytes; ++i) payloadLeft_ = payloadLeft_ << 8 | head_[2 + i];
    }
    inClose_ = (head_[0] & 0x0F) == kCloseOpcode;
    headSize_ = 0;
    closeCame_ = closeCame_ || (inClose_ && payloadLeft_ == 0);
  }
}

}  // namespace kestrom
