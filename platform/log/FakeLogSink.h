#pragma once
// A log sink that keeps every record, for tests: install it for a scope with ScopedRecording and
// ask what was logged. Any thread.

#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/log/Log.h"

namespace kestrom::log {

/// Keeps every record, for tests.
class RecordingSink final : public Sink {
 public:
  void write(const Record& record) override;
  std::vector<Record> records() const;
  /// True when some record of `category` contains `text`.
  bool contains(std::string_view category, std::string_view text) const;
  void clear();

 private:
  mutable std::mutex mutex_;  // guards records_
  std::vector<Record> records_;
};

/// Installs a RecordingSink for the life of a test and puts the old sink back afterwards.
class ScopedRecording {
 public:
  ScopedRecording();
  ~ScopedRecording();
  RecordingSink& sink() { return *sink_; }

 private:
  std::shared_ptr<RecordingSink> sink_;
  std::shared_ptr<Sink> previous_;
};

}  // namespace kestrom::log
