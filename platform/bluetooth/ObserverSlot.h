#pragma once
// A weakly held observer that any thread may replace while the layer's own thread reports to it.
// Each observer set gets a new number, so the layer can tell whether the observer of now has
// heard a report already (the adapter's state, which a new observer must hear once).

#include <cstdint>
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
    ++number_;
  }
  /// The number of the observer set last; 0 before the first.
  std::uint64_t number() const {
    std::lock_guard lock(mutex_);
    return number_;
  }
  /// Calls `report` with the observer, if one is alive; the lock is not held during the call.
  /// Returns the number of the observer that heard it, 0 when none did.
  template <class F>
  std::uint64_t notify(F&& report) const {
    std::shared_ptr<Observer> observer;
    std::uint64_t number = 0;
    {
      std::lock_guard lock(mutex_);
      observer = observer_.lock();
      number = number_;
    }
    if (!observer) return 0;
    report(*observer);
    return number;
  }

 private:
  mutable std::mutex mutex_;  // guards observer_ and number_
  std::weak_ptr<Observer> observer_;
  std::uint64_t number_ = 0;
};

}  // namespace kestrom::bluetooth
