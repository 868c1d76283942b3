#pragma once
// Why a frame of the page channel failed to become a request, or a notification failed to encode.

#include <optional>
#include <string>
#include <utility>

namespace kestrom::RPC {

/// A failure of the JSON-RPC channel, with the text the host logs for it. `invalidUrlDownload` and
/// `unimplemented` have texts but nothing raises them.
struct Failure {
  enum class Case { invalidUrlDownload, unknown, unimplemented, incompatibleRPC, codingFailure };

  Case kind = Case::codingFailure;
  std::optional<std::string> url;  // invalidUrlDownload only
  std::string method;              // unknown and unimplemented only

  static Failure invalidUrlDownload(std::optional<std::string> url) {
    return {Case::invalidUrlDownload, std::move(url), {}};
  }
  static Failure unknown(std::string method) { return {Case::unknown, std::nullopt, std::move(method)}; }
  static Failure unimplemented(std::string method) {
    return {Case::unimplemented, std::nullopt, std::move(method)};
  }
  static Failure incompatibleRPC() { return {Case::incompatibleRPC, std::nullopt, {}}; }
  static Failure codingFailure() { return {Case::codingFailure, std::nullopt, {}}; }

  /// "RPC: unknown method: /hub/Send"; the texts are part of the host's log vocabulary, misspelling
  /// included.
  std::string description() const;

  friend bool operator==(const Failure&, const Failure&) = default;
};

}  // namespace kestrom::RPC
