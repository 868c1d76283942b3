#pragma once
// Logging: one Logger per channel (subsystem + category), printf-style formats, a replaceable
// sink. The default sink writes to stderr through spdlog; tests install the RecordingSink of
// FakeLogSink.h. Text that must never be logged (the per-launch secret) is taken out of every
// line of every channel by the Redactions alive at the time, before any sink sees it.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include <fmt/printf.h>

namespace kestrom::log {

enum class Level { debug, info, warning, error, fault };

struct Record {
  Level level;
  std::string subsystem;
  std::string category;
  std::string message;
};

class Sink {
 public:
  virtual ~Sink() = default;
  virtual void write(const Record& record) = 0;
};

/// Replaces the process-wide sink (null puts the stderr sink back); returns the one it replaced.
/// Safe from any thread; a record being written at that moment goes to either sink.
std::shared_ptr<Sink> installSink(std::shared_ptr<Sink> sink);
std::shared_ptr<Sink> currentSink();

/// While it lives, every line written to any channel passes through `redact` (which must not
/// log) before it reaches the sink. Any thread.
class Redaction {
 public:
  using Function = std::function<std::string(std::string message)>;
  explicit Redaction(Function redact);
  ~Redaction();
  Redaction(const Redaction&) = delete;
  Redaction& operator=(const Redaction&) = delete;

 private:
  std::shared_ptr<const Function> redact_;
};

/// `text` with every control character written as a backslash and "n", "r", "t", or "x" with two
/// hex digits (below 0x20, 0x7F, and the C1 controls U+0080–U+009F, from their UTF-8), so it
/// stays on one line; and the line and paragraph separators U+2028 and U+2029 and the controls of
/// the text's direction (U+200E, U+200F, U+202A–U+202E, U+2066–U+2069) as "u" with four hex
/// digits, so no viewer shows the line in another order than written. Every other character is
/// kept, and so is every byte that is no UTF-8.
std::string escapeControlCharacters(std::string_view text);

/// Writes printf-style lines ("%s Sending message: %s", "%d", "%.2f") to one channel.
class Logger {
 public:
  Logger(std::string subsystem, std::string category)
      : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

  template <class... Args>
  void debug(std::string_view format, const Args&... args) const { emit(Level::debug, format, args...); }
  template <class... Args>
  void info(std::string_view format, const Args&... args) const { emit(Level::info, format, args...); }
  template <class... Args>
  void warning(std::string_view format, const Args&... args) const { emit(Level::warning, format, args...); }
  template <class... Args>
  void error(std::string_view format, const Args&... args) const { emit(Level::error, format, args...); }
  template <class... Args>
  void fault(std::string_view format, const Args&... args) const { emit(Level::fault, format, args...); }

  void write(Level level, std::string message) const;

  /// The line a format and its arguments make, as the operations above write it.
  template <class... Args>
  static std::string format(std::string_view format, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
      return std::string(format);
    } else {
      try {
        return fmt::sprintf(format, escaped(args)...);
      } catch (const std::exception& e) {  // a bad format must never take the host down
        return std::string(format) + " <format error: " + e.what() + ">";
      }
    }
  }

 private:
  template <class... Args>
  void emit(Level level, std::string_view format, const Args&... args) const {
    write(level, Logger::format(format, args...));
  }

  // Text arguments often come from outside (a request, a frame, a file name): a CR or LF in one
  // would let its sender write whole log lines of its own, so control characters are escaped.
  template <class T>
  static decltype(auto) escaped(const T& value) {
    if constexpr (std::is_pointer_v<T> && std::is_convertible_v<const T&, std::string_view>) {
      return value ? escapeControlCharacters(std::string_view(value)) : std::string("(null)");
    } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
      return escapeControlCharacters(std::string_view(value));
    } else {
      return (value);
    }
  }

  std::string subsystem_;
  std::string category_;
};

}  // namespace kestrom::log
