#pragma once
// The outcome of one socket operation: success, or the errno it failed with.

#include <optional>
#include <string>

namespace kestrom::tcp {

/// A failed socket call, described as the system describes its errno.
struct SocketError {
  int code = 0;
  std::string localizedDescription() const;
};

class Result {
 public:
  static Result success() { return Result(std::nullopt); }
  static Result failure(int code) { return Result(SocketError{code}); }

  bool isFailure() const { return error_.has_value(); }
  const std::optional<SocketError>& error() const { return error_; }

 private:
  explicit Result(std::optional<SocketError> error) : error_(error) {}
  std::optional<SocketError> error_;
};

}  // namespace kestrom::tcp
