#pragma once
// Why a frame of the page channel failed to become a request, or a notification failed to encode.

#include <string>
#include <utility>

namespace kestrom::RPC {

/// A failure of the JSON-RPC channel, with the text the host logs for it.
struct Failure {
  enum class Case { unknown, incompatibleRPC, codingFailure };

  Case kind = Case::codingFailure;
  std::string method;  // unknown only

  static Failure unknown(std::string method) { return {Case::unknown, std::move(method)}; }
  static Failure incompatibleRPC() { return {Case::incompatibleRPC, {}}; }
  static Failure codingFailure() { return {Case::codingFailure, {}}; }

  /// "RPC: unknown method: /hub/Send"; the texts are part of the host's log vocabulary, misspelling
  /// included. The page's method name is cut as every value from a request in a log line.
  std::string description() const;

  friend bool operator==(const Failure&, const Failure&) = default;
};

}  // namespace kestrom::RPC
