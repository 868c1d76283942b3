#pragma once
// A weakly held observer that any thread may replace while the layer's own thread reports to it.

#include <memory>
#include <mutex>
#include <utility>

namespace kestrom::bluetooth {

template <class Observer>
class ObserverSlot {
 public:
  void set(std::weak_ptr<Observer> observer) {
    std::lock_guard lock(mutex_);
    observer_ = std::move(observer);
  }
  /// Calls `report` with the observer, if one is alive; the lock is not held during the call.
  template <class F>
  void notify(F&& report) const {
    std::shared_ptr<Observer> observer;
    {
      std::lock_guard lock(mutex_);
      observer = observer_.lock();
    }
    if (observer) {
      report(*observer);
    }
  }

 private:
  mutable std::mutex mutex_;  // guards observer_
  std::weak_ptr<Observer> observer_;
};

}  // namespace kestrom::bluetooth
