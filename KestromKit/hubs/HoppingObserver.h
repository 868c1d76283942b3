#pragma once
// The base of a Bluetooth transport's observer of its platform object (the LE central, the
// classic Bluetooth object). Reports come on the object's own thread; each is only handed to the
// manager's hop(), tagged with the generation of the object it came from, and the manager runs it
// on its queue unless that object has been replaced since. Reports of an object whose manager is
// gone are dropped here.
//
// Manager must let this class call its hop(generation, handler).

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

namespace kestrom {

template <class Manager, class Observer>
class HoppingObserver : public Observer {
 public:
  HoppingObserver(std::weak_ptr<Manager> manager, std::uint64_t generation)
      : manager_(std::move(manager)), generation_(generation) {}

 protected:
  void hop(std::function<void(Manager&)> handler) {
    if (auto manager = manager_.lock()) manager->hop(generation_, std::move(handler));
  }

 private:
  const std::weak_ptr<Manager> manager_;
  const std::uint64_t generation_;
};

}  // namespace kestrom
