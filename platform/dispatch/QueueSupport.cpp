#include "platform/dispatch/QueueSupport.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>

#include "platform/log/Log.h"

namespace kestrom::dispatch {

namespace {

thread_local std::vector<QueueKey> heldQueues;

const log::Logger& dispatchLog() {
  static const log::Logger logger("platform", "dispatch");
  return logger;
}

// Lives inside the wrapper handed to the queue: when the last copy of the wrapper goes without
// having run (queue destroyed, source removed), the waiting caller is released.
struct SyncTicket {
  explicit SyncTicket(std::shared_ptr<SyncCall> c) : call(std::move(c)) {}
  ~SyncTicket() { call->finish(false, nullptr); }
  SyncTicket(const SyncTicket&) = delete;
  SyncTicket& operator=(const SyncTicket&) = delete;
  std::shared_ptr<SyncCall> call;
};

}  // namespace

QueueKey newQueueKey() {
  static std::atomic<QueueKey> next{1};
  return next.fetch_add(1, std::memory_order_relaxed);
}

bool CurrentQueue::contains(QueueKey key) {
  return std::find(heldQueues.begin(), heldQueues.end(), key) != heldQueues.end();
}

std::vector<QueueKey> CurrentQueue::snapshot() { return heldQueues; }

CurrentQueue::Scope::Scope(QueueKey key) : count_(1) { heldQueues.push_back(key); }

CurrentQueue::Scope::Scope(const std::vector<QueueKey>& keys) : count_(keys.size()) {
  heldQueues.insert(heldQueues.end(), keys.begin(), keys.end());
}

CurrentQueue::Scope::~Scope() { heldQueues.resize(heldQueues.size() - count_); }

void runGuarded(QueueKey key, const std::string& label, const Task& task) {
  CurrentQueue::Scope scope(key);
  try {
    task();
  } catch (const std::exception& e) {
    dispatchLog().error("A task on queue %s threw: %s", label, e.what());
  } catch (...) {
    dispatchLog().error("A task on queue %s threw a non-standard exception", label);
  }
}

std::pair<Task, std::shared_ptr<SyncCall>> SyncCall::make(const Task& task) {
  auto call = std::make_shared<SyncCall>();
  auto ticket = std::make_shared<SyncTicket>(call);
  Task wrapper = [ticket, held = CurrentQueue::snapshot(), &task] {
    CurrentQueue::Scope scope(held);
    std::exception_ptr error;
    try {
      task();
    } catch (...) {
      error = std::current_exception();
    }
    ticket->call->finish(true, error);
  };
  return {std::move(wrapper), std::move(call)};
}

bool SyncCall::isDone() const {
  std::lock_guard lock(mutex_);
  return done_;
}

void SyncCall::wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return done_; });
  if (error_) std::rethrow_exception(error_);
  if (!ran_) throw std::runtime_error("the queue dropped a sync task before running it");
}

void SyncCall::finish(bool ran, std::exception_ptr error) {
  {
    std::lock_guard lock(mutex_);
    if (done_) return;
    done_ = true;
    ran_ = ran;
    error_ = std::move(error);
  }
  changed_.notify_all();
}

}  // namespace kestrom::dispatch
