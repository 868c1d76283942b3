#pragma once
// The file log: "logs/ostrel.log" in the kit's data folder, one line per console message, each
// prefixed with the ISO-8601 time. When a write finds the file at 1 MiB or more, the file starts
// again from that one line. Home queue: its own serial queue "Log file"; `write` waits for it, so
// callers on any thread see their line on disk when it returns. Owned by the kit.

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "KestromKit/host/LogWriter.h"
#include "KestromKit/model/DateFormatter.h"
#include "platform/dispatch/Queue.h"
#include "platform/log/Log.h"

namespace kestrom {

class FileLogWriter final : public LogWriter {
 public:
  static constexpr std::uint64_t kMaxLogSize = 0x100000;  // 1 MiB

  /// Opens (creating if needed) `directory`/logs/ostrel.log. A file that cannot be made is logged
  /// and every later line dropped.
  explicit FileLogWriter(const std::filesystem::path& directory);
  ~FileLogWriter() override;
  FileLogWriter(const FileLogWriter&) = delete;
  FileLogWriter& operator=(const FileLogWriter&) = delete;

  /// Appends "<date>: <text>\n"; returns once the line is written or dropped. Any thread.
  void write(const std::string& text) override;

  const std::filesystem::path& filePath() const { return filePath_; }
  /// True while a file is open for writing.
  bool isOpen() const;

 private:
  int openFile();
  void createFile();
  bool isTooLarge() const;
  void restartWith(const std::string& line);
  void append(const std::string& line);

  std::filesystem::path filePath_;
  int fileHandle_ = -1;  // only touched on queue_
  std::shared_ptr<dispatch::Queue> queue_;
  const log::Logger& log_;
  const DateFormatter& dateFormatter_;
};

}  // namespace kestrom
