#include "KestromKit/rpc/RPCMessage.h"

#include <type_traits>

#include "KestromKit/base/Constants.h"

namespace kestrom::RPC {

namespace {

void logEncodingFailure(const std::string& description) {
  Constants::log().webSocket.error("Unable to encode response: %s", description);
}

}  // namespace

std::string EncodeError::description() const {
  if (const auto* f = failure()) return f->description();
  return std::get<CodingError>(reason).description();
}

Expected<std::string, CodingError> encodeResponse(const Response& response) {
  return std::visit(
      [&](const auto& result) -> Expected<std::string, CodingError> {
        using T = std::decay_t<decltype(result)>;
        if constexpr (std::is_same_v<T, ErrorText>)
          return encodeText(RpcError{response.id(), result.message});
        else
          return encodeText(RpcResult<T>{response.id(), result});
      },
      response.result());
}

Expected<std::string, EncodeError> encodeNotification(const Notification& notification) {
  return std::visit(
      [&](const auto& payload) -> Expected<std::string, EncodeError> {
        using T = std::decay_t<decltype(payload)>;
        auto text = [&] {
          if constexpr (std::is_same_v<T, Configuration>)
            return encodeText(RpcNotification<RPCNotifyConfigurationChangedParams>{notification.method(), payload.params()});
          else
            return encodeText(RpcNotification<T>{notification.method(), payload});
        }();
        if (!text) return makeUnexpected(EncodeError{std::move(text.error())});
        return std::move(*text);
      },
      notification.payload());
}

std::string responseFrame(const Response& response) {
  auto text = encodeResponse(response);
  if (text) return std::move(*text);
  logEncodingFailure(text.error().description());
  // An error reply holds only text, so it always encodes.
  return dumpJson(Json{{"id", response.id()},
                       {"error", Failure::codingFailure().description()},
                       {"jsonrpc", std::string(kJsonRpcVersion)}});
}

std::optional<std::string> notificationFrame(const Notification& notification) {
  auto text = encodeNotification(notification);
  if (text) return std::move(*text);
  logEncodingFailure(text.error().description());
  return std::nullopt;
}

std::optional<std::string> messageFrame(const RPCMessage& message) {
  if (const auto* response = message.response()) return responseFrame(*response);
  return notificationFrame(*message.notification());
}

}  // namespace kestrom::RPC

namespace kestrom {

RPCMessage::RPCMessage(RPC::Response response) : value_(std::move(response)) {}

}  // namespace kestrom
