#include "KestromKit/server/WebAppRPCConnection.h"

#include "KestromKit/base/Constants.h"

namespace kestrom {

WebAppRPCConnection::WebAppRPCConnection(std::shared_ptr<WSServer> wsServer, bool verbose, bool printSensorData)
    : wsServer_(std::move(wsServer)), verbose_(verbose), printSensorData_(printSensorData) {}

void WebAppRPCConnection::send(RPC::Response response) {
  // responseFrame never fails: a result that cannot be written becomes a logged error reply, so
  // the request is still answered.
  std::string text = RPC::responseFrame(response);
  if (verbose_) Constants::log().webSocket.info("Sending: %s", text);
  broadcast(std::move(text));
}

void WebAppRPCConnection::send(RPCMessage message) {
  if (const RPC::Response* response = message.response()) return send(*response);
  const RPC::Notification& notification = *message.notification();
  std::optional<std::string> text = RPC::notificationFrame(notification);
  if (!text) return;  // the encoder has logged why; nothing replaces a lost notification
  switch (notification.kind()) {
    case RPC::Notification::Case::hubDidReceiveMessage:
      // The hub's sensor stream: too busy for the verbose log, which has its own switch.
      if (printSensorData_) Constants::log().sensorData.info("Sending: %s", *text);
      break;
    case RPC::Notification::Case::gamepadSnapshot:
      break;  // sent many times a second; never logged
    default:
      if (verbose_) Constants::log().webSocket.info("Sending: %s", *text);
      break;
  }
  broadcast(std::move(*text));
}

void WebAppRPCConnection::broadcast(std::string text) {
  wsServer_->send(std::make_shared<const std::string>(std::move(text)));
}

}  // namespace kestrom
