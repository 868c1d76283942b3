#pragma once
// Runs `work` on a thread of its own and reports whether it finished in time. A deadlock then
// fails the test instead of hanging it (the stuck thread is left behind, with what it holds).

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <thread>

namespace kestrom::test {

inline bool finishesWithin(std::chrono::milliseconds limit, std::function<void()> work) {
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  std::thread([done, work = std::move(work)] {
    work();
    done->set_value();
  }).detach();
  return finished.wait_for(limit) == std::future_status::ready;
}

}  // namespace kestrom::test
