#pragma once
// What the host says to the page, and how it becomes the text of one WebSocket frame.
//
// Building a reply (the request's case picks the reply case; most results are a free object):
//
//   auto ok = RPC::Response::emptyResult(RPC::responseCase(request.kind()), request.id());
//   auto list = RPC::Response::make<RPC::Response::Case::projectsRequestAll>(
//       request.id(), RPCResponseProjectsRequestAllParams{std::move(items)});
//   auto failed = RPC::Response::error(request.id(), "no such connection");
//
// Building a notification (the payload type is checked at compile time):
//
//   auto n = RPC::Notification::make<RPC::Notification::Case::hubDidReceiveMessage>(
//       {.id = hubID, .message = base64});
//   auto c = RPC::Notification::make<RPC::Notification::Case::configurationChanged>(configuration);
//
// Turning them into frame text, from any queue:
//
//   std::string text = RPC::responseFrame(ok);                  // never fails, see below
//   std::optional<std::string> text = RPC::notificationFrame(n); // none: logged, send nothing
//   std::optional<std::string> text = RPC::messageFrame(message); // either kind, by its case
//
// `encodeResponse` / `encodeNotification` are the pure encoders and report failures as values;
// the *Frame functions are what an outlet sends. A request is never left unanswered because its
// result would not encode (a non-finite number): `responseFrame` logs "Unable to encode response:
// …" to the WebSocket channel and returns the error reply {"id", "error": "RPC: coding failure",
// "jsonrpc"} instead. A notification that does not encode is logged the same way and dropped.
// Text that is not valid UTF-8 (a device name, a setting name) goes out with U+FFFD in its place.

#include <optional>
#include <string>
#include <variant>

#include "KestromKit/base/Expected.h"
#include "KestromKit/rpc/RPCFailure.h"
#include "KestromKit/rpc/RPCNotification.h"
#include "KestromKit/rpc/RPCOutgoingEnvelopes.h"
#include "KestromKit/rpc/RPCResponse.h"
#include "KestromKit/model/Coding.h"

namespace kestrom {

/// Either kind of outgoing message; what services park while a reply waits for hardware and what
/// `RPCInterface::send(message)` takes. A plain value.
class RPCMessage {
 public:
  enum class Case { notification, response };

  RPCMessage(RPC::Notification notification) : value_(std::move(notification)) {}  // NOLINT: a message
  // Out of line: inlined into its callers, g++ 12 at -O3 misreads the move of a reply's optional
  // fields as a read of uninitialised memory.
  RPCMessage(RPC::Response response);  // NOLINT: a message

  Case kind() const { return value_.index() == 0 ? Case::notification : Case::response; }
  const RPC::Notification* notification() const { return std::get_if<RPC::Notification>(&value_); }
  const RPC::Response* response() const { return std::get_if<RPC::Response>(&value_); }

  friend bool operator==(const RPCMessage&, const RPCMessage&) = default;

 private:
  std::variant<RPC::Notification, RPC::Response> value_;
};

namespace RPC {

/// Why a notification did not encode: a value the coding layer refused (a non-finite number).
struct EncodeError {
  std::variant<Failure, CodingError> reason;

  const Failure* failure() const { return std::get_if<Failure>(&reason); }
  const CodingError* codingError() const { return std::get_if<CodingError>(&reason); }
  std::string description() const;
};

/// {"id", "result", "jsonrpc": "2.0"} or, for `error`, {"id", "error": text, "jsonrpc": "2.0"};
/// compact. Dates are numbers of milliseconds since 1970. Fails only on a non-finite number.
[[nodiscard]] Expected<std::string, CodingError> encodeResponse(const Response& response);

/// {"method", "params", "jsonrpc": "2.0"}; for `configurationChanged` the params are the
/// configuration's tree.
[[nodiscard]] Expected<std::string, EncodeError> encodeNotification(const Notification& notification);

/// The text to send for a reply; never fails (see the top of this file).
std::string responseFrame(const Response& response);
/// The text to send for a notification, or none after logging the failure.
std::optional<std::string> notificationFrame(const Notification& notification);
/// A response through `responseFrame`, a notification through `notificationFrame`.
std::optional<std::string> messageFrame(const RPCMessage& message);

}  // namespace RPC

}  // namespace kestrom
