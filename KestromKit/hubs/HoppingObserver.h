#pragma once
// The base of a Bluetooth transport's observer of its platform object (the LE central, the
// classic Bluetooth object). Reports come on the object's own thread; each only becomes a task on
// the manager's queue, tagged with the generation of the object it came from, and runs there if
// the manager is still there and has not replaced that object since.
//
// The manager is never held on the object's thread: were that the last reference, the manager,
// and with it the object, would be destroyed on the object's own thread, which cannot wait for
// itself. Manager must let this class read its generation_ (queue only).

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

#include "platform/dispatch/Queue.h"

namespace kestrom {

template <class Manager, class Observer>
class HoppingObserver : public Observer {
 public:
  HoppingObserver(std::weak_ptr<Manager> manager, std::shared_ptr<dispatch::Queue> queue, std::uint64_t generation)
      : manager_(std::move(manager)), queue_(std::move(queue)), generation_(generation) {}

 protected:
  void hop(std::function<void(Manager&)> handler) {
    queue_->async([manager = manager_, generation = generation_, handler = std::move(handler)] {
      auto self = manager.lock();
      if (self && self->generation_ == generation) handler(*self);
    });
  }

 private:
  const std::weak_ptr<Manager> manager_;
  const std::shared_ptr<dispatch::Queue> queue_;
  const std::uint64_t generation_;
};

}  // namespace kestrom
