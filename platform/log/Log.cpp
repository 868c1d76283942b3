#include "platform/log/Log.h"

#include <algorithm>
#include <optional>

#include <spdlog/logger.h>
#include <spdlog/sinks/stdout_color_sinks.h>

#include <cstdio>
#include <cstdlib>

namespace kestrom::log {

namespace {

/// Lines on stderr: "2024-05-01 12:00:00.123 [4711] info kit.id:WebSocket Sending message: …".
/// KESTROM_LOG_LEVEL=debug in the environment shows debug lines too.
class StderrSink final : public Sink {
 public:
  StderrSink()
      : logger_(std::make_shared<spdlog::logger>(
            "kestrom", std::make_shared<spdlog::sinks::stderr_color_sink_mt>())) {
    logger_->set_pattern("%Y-%m-%d %H:%M:%S.%e [%t] %^%l%$ %v");
    logger_->set_level(spdlog::level::info);
    logger_->flush_on(spdlog::level::err);
    if (const char* name = std::getenv("KESTROM_LOG_LEVEL"); name && *name) {
      // from_str answers "off" for a name it does not know; an unknown name keeps the default.
      auto level = spdlog::level::from_str(name);
      if (level != spdlog::level::off || std::string_view(name) == "off") logger_->set_level(level);
    }
  }

  void write(const Record& record) override {
    logger_->log(toSpdlog(record.level), "{}:{} {}", record.subsystem, record.category,
                 record.message);
  }

 private:
  static spdlog::level::level_enum toSpdlog(Level level) {
    switch (level) {
      case Level::debug: return spdlog::level::debug;
      case Level::info: return spdlog::level::info;
      case Level::warning: return spdlog::level::warn;
      case Level::error: return spdlog::level::err;
      case Level::fault: return spdlog::level::critical;
    }
    return spdlog::level::info;
  }

  std::shared_ptr<spdlog::logger> logger_;
};

std::mutex sinkMutex;  // guards installedSink and redactions
std::shared_ptr<Sink> installedSink;
// Replaced whole on every change, so a line being written keeps the list it started with.
using Redactions = std::vector<std::shared_ptr<const Redaction::Function>>;
std::shared_ptr<const Redactions> redactions = std::make_shared<const Redactions>();

struct EscapedCharacter {
  char32_t code;
  std::size_t bytes;  // in UTF-8
};

// The character `text` starts with when a log line shows it escaped: an ASCII or C1 control, a
// line or paragraph separator, or a control of the text's direction (which lets a viewer show a
// line's parts in another order than written). Bytes that are no UTF-8 are none of these.
std::optional<EscapedCharacter> escapedAt(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  if (lead < 0x20 || lead == 0x7f) return EscapedCharacter{lead, 1};
  // The six bits of a continuation byte at `i`; -1 when there is none.
  auto continuation = [&](std::size_t i) {
    const int byte = i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
    return (byte & 0xc0) == 0x80 ? byte & 0x3f : -1;
  };
  if (lead == 0xc2) {
    const int low = continuation(1);
    if (low >= 0 && low < 0x20) return EscapedCharacter{static_cast<char32_t>(0x80 | low), 2};  // U+0080–U+009F
  } else if (lead == 0xe2) {
    const int middle = continuation(1);
    const int low = continuation(2);
    if (middle < 0 || low < 0) return std::nullopt;
    const auto code = static_cast<char32_t>(0x2000 | (middle << 6) | low);
    if (code == 0x200e || code == 0x200f || (code >= 0x2028 && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069))
      return EscapedCharacter{code, 3};
  }
  return std::nullopt;
}

std::shared_ptr<Sink> defaultSink() {
  static const auto sink = std::make_shared<StderrSink>();
  return sink;
}

}  // namespace

std::shared_ptr<Sink> installSink(std::shared_ptr<Sink> sink) {
  std::lock_guard lock(sinkMutex);
  auto previous = std::exchange(installedSink, std::move(sink));
  return previous ? previous : defaultSink();
}

std::shared_ptr<Sink> currentSink() {
  {
    std::lock_guard lock(sinkMutex);
    if (installedSink) return installedSink;
  }
  return defaultSink();
}

Redaction::Redaction(Function redact) : redact_(std::make_shared<const Function>(std::move(redact))) {
  std::lock_guard lock(sinkMutex);
  auto next = std::make_shared<Redactions>(*redactions);
  next->push_back(redact_);
  redactions = std::move(next);
}

Redaction::~Redaction() {
  std::lock_guard lock(sinkMutex);
  auto next = std::make_shared<Redactions>(*redactions);
  std::erase(*next, redact_);
  redactions = std::move(next);
}

std::string escapeControlCharacters(std::string_view text) {
  // Every character that needs escaping begins with one of these bytes.
  auto mayStartOne = [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f || byte == 0xc2 || byte == 0xe2;
  };
  if (std::none_of(text.begin(), text.end(), mayStartOne)) return std::string(text);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 8);
  for (std::size_t i = 0; i < text.size();) {
    const auto escaped = escapedAt(text.substr(i));
    if (!escaped) {
      out += text[i++];
      continue;
    }
    i += escaped->bytes;
    out += '\\';
    switch (escaped->code) {
      case '\n': out += 'n'; continue;
      case '\r': out += 'r'; continue;
      case '\t': out += 't'; continue;
      default: break;
    }
    const int digits = escaped->code < 0x100 ? 2 : 4;
    out += digits == 2 ? 'x' : 'u';
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kHex[(escaped->code >> shift) & 15];
  }
  return out;
}

void Logger::write(Level level, std::string message) const {
  std::shared_ptr<Sink> sink;
  std::shared_ptr<const Redactions> redacting;
  {
    std::lock_guard lock(sinkMutex);
    sink = installedSink;
    redacting = redactions;
  }
  if (!sink) sink = defaultSink();
  try {
    for (const auto& redact : *redacting) message = (*redact)(std::move(message));
    sink->write(Record{level, subsystem_, category_, std::move(message)});
  } catch (const std::exception& e) {  // logging must never be what takes the host down
    std::fprintf(stderr, "log sink failed: %s\n", e.what());
  }
}

}  // namespace kestrom::log
