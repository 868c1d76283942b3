#pragma once
// The kit's outlet to the page: encodes every reply and notification and hands the text to every
// open WebSocket connection through WSServer::send, which serialises frames from different senders
// with the changes of the connection list and returns once the frame is queued on every
// connection. Any queue may send, "WSServer" included. Owner: the kit; services hold it as an
// RPCInterface.

#include <memory>

#include "KestromKit/rpc/RPCInterface.h"
#include "KestromKit/server/WSServer.h"

namespace kestrom {

class WebAppRPCConnection final : public RPCInterface {
 public:
  /// `verbose` logs every text sent (channel "WebSocket"); `printSensorData` logs the hub's data
  /// stream, which `verbose` leaves out (channel "SensorData").
  WebAppRPCConnection(std::shared_ptr<WSServer> wsServer, bool verbose, bool printSensorData);

  void send(RPC::Response response) override;
  /// A notification goes out as one; a response held in the message goes out as a response.
  void send(RPCMessage message) override;

  bool verbose() const { return verbose_; }

 private:
  void broadcast(std::string text);

  const std::shared_ptr<WSServer> wsServer_;
  const bool verbose_;
  const bool printSensorData_;
};

}  // namespace kestrom
