#pragma once
// How a hub transport hears from one open stream (a serial port's, an RFCOMM link's): each event
// comes on the stream's watch thread and only becomes a task on the transport's queue, tagged with
// the hub and the number of the opening it belongs to, and runs there if the transport is still
// there. Manager takes them in onData, onStreamEnded and onWritten, on its queue, and tells a
// current opening from an earlier one by the number.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/dispatch/Queue.h"
#include "platform/fdwatch/DescriptorStream.h"

namespace kestrom {

template <class Manager>
class StreamHops {
 public:
  StreamHops(std::shared_ptr<dispatch::Queue> queue, std::weak_ptr<Manager> manager, std::uint64_t number,
             std::string id)
      : queue_(std::move(queue)), manager_(std::move(manager)), number_(number), id_(std::move(id)) {}

  /// The stream's bytes and its end.
  fdwatch::DescriptorStream::Handlers handlers() const {
    return {
        .data = [hops = *this](std::string bytes) {
          hops.hop([bytes = std::move(bytes)](Manager& m, std::uint64_t number, const std::string& id) mutable {
            m.onData(number, id, std::move(bytes));
          });
        },
        .closed = [hops = *this](std::string reason) {
          hops.hop([reason = std::move(reason)](Manager& m, std::uint64_t number, const std::string& id) {
            m.onStreamEnded(number, id, reason);
          });
        },
    };
  }
  /// The outcome of one write.
  fdwatch::DescriptorStream::WriteCompletion written() const {
    return [hops = *this](std::optional<std::string> error) {
      hops.hop([error = std::move(error)](Manager& m, std::uint64_t number, const std::string& id) {
        m.onWritten(number, id, error);
      });
    };
  }

 private:
  template <class Handler>
  void hop(Handler handler) const {
    queue_->async([manager = manager_, number = number_, id = id_, handler = std::move(handler)]() mutable {
      if (auto self = manager.lock()) handler(*self, number, id);
    });
  }

  std::shared_ptr<dispatch::Queue> queue_;
  std::weak_ptr<Manager> manager_;
  std::uint64_t number_;
  std::string id_;
};

}  // namespace kestrom
