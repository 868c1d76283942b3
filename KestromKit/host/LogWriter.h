#pragma once
// Where the page's console lines end up, and how many of them: the file log level is chosen once
// at start-up from the command line ("--verbose" keeps every line, otherwise errors only).

#include <memory>
#include <string>

namespace kestrom {

/// Appends one text line somewhere. FileLogWriter is the one implementation; tests record.
class LogWriter {
 public:
  virtual ~LogWriter() = default;
  virtual void write(const std::string& text) = 0;
};

/// The file log level: errors only, every line, or nothing, with the writer the lines go to.
class LogWriterLevel {
 public:
  enum class Kind { error, verbose, none };

  static LogWriterLevel error(std::shared_ptr<LogWriter> writer) { return {Kind::error, std::move(writer)}; }
  static LogWriterLevel verbose(std::shared_ptr<LogWriter> writer) { return {Kind::verbose, std::move(writer)}; }
  static LogWriterLevel none() { return {Kind::none, nullptr}; }

  Kind kind() const { return kind_; }
  /// Empty for `none`.
  const std::shared_ptr<LogWriter>& writer() const { return writer_; }

 private:
  LogWriterLevel(Kind kind, std::shared_ptr<LogWriter> writer) : kind_(kind), writer_(std::move(writer)) {}

  Kind kind_;
  std::shared_ptr<LogWriter> writer_;
};

}  // namespace kestrom
