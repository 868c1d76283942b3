#include "platform/log/FakeLogSink.h"

namespace kestrom::log {

void RecordingSink::write(const Record& record) {
  std::lock_guard lock(mutex_);
  records_.push_back(record);
}

std::vector<Record> RecordingSink::records() const {
  std::lock_guard lock(mutex_);
  return records_;
}

bool RecordingSink::contains(std::string_view category, std::string_view text) const {
  std::lock_guard lock(mutex_);
  for (const auto& record : records_) {
    if (record.category == category && record.message.find(text) != std::string::npos) return true;
  }
  return false;
}

void RecordingSink::clear() {
  std::lock_guard lock(mutex_);
  records_.clear();
}

ScopedRecording::ScopedRecording()
    : sink_(std::make_shared<RecordingSink>()), previous_(installSink(sink_)) {}

ScopedRecording::~ScopedRecording() { installSink(previous_); }

}  // namespace kestrom::log
