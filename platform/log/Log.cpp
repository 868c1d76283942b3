#include "platform/log/Log.h"

#include <algorithm>

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
  auto isControl = [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; };
  if (std::none_of(text.begin(), text.end(), isControl)) return std::string(text);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size() + 8);
  for (char c : text) {
    if (!isControl(c)) {
      out += c;
      continue;
    }
    out += '\\';
    switch (c) {
      case '\n': out += 'n'; break;
      case '\r': out += 'r'; break;
      case '\t': out += 't'; break;
      default:
        out += 'x';
        out += kHex[(static_cast<unsigned char>(c) >> 4) & 15];
        out += kHex[static_cast<unsigned char>(c) & 15];
    }
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
