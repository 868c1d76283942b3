#pragma once
// The kit's front of the hub transports: which hubs were found and which are connected, routing
// of the page's hub requests to the right transport, and replies parked per hub until the
// transport reports the outcome. Home queue: requests arrive on main; transport reports on the
// "HubService Delegation" queue; `mutex_` guards the maps both touch. Owned by the kit.

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KestromKit/hubs/HubServiceDelegate.h"
#include "KestromKit/rpc/RPCInterface.h"
#include "KestromKit/hubs/DeviceManager.h"
#include "KestromKit/model/RequestRecords.h"

namespace kestrom {

class HubService final : public DeviceManagerDelegate, public std::enable_shared_from_this<HubService> {
 public:
  HubService(std::shared_ptr<RPCInterface> interface, bool verbose, HubServiceFactory factory,
             std::map<HubConnectionType, std::shared_ptr<DeviceManager>> managers,
             std::weak_ptr<HubServiceDelegate> delegate);

  /// Becomes the delegate of every transport; once, during start-up, on main.
  void attach();

  void startScan(const std::string& requestID, const RPCRequestHubStartScanParams& params);
  void stopScan(const std::string& requestID, const RPCRequestHubStopScanParams& params);
  void connect(const std::string& requestID, const RPCRequestHubConnectParams& params);
  void disconnect(const std::string& requestID, const RPCRequestHubDisconnectParams& params);
  /// Base64-decodes the message and hands it to the hub's transport; the reply waits for the
  /// transport's report that the write is done.
  void send(const std::string& requestID, const RPCRequestHubSendParams& params, RPCInterface& interface);
  /// Disconnects every hub its transport no longer holds, then answers at once.
  void validateConnections(const std::string& requestID, RPCInterface& interface);

  /// The connected hubs, for "/hub/connections".
  std::vector<IDeviceFound> connectedDevices() const;

  // DeviceManagerDelegate
  void deviceFound(IDeviceFound device) override;
  void scanningStopped(HubConnectionType type) override;
  void connectResult(std::shared_ptr<DeviceManager> manager, std::string id, bool success) override;
  void disconnected(std::string id) override;
  void dataReceived(std::string id, std::string bytes) override;
  void sendCompleted(std::string id) override;
  void bluetoothUnavailable(std::function<void()> retry) override;

 private:
  struct Parked {
    std::vector<RPCMessage> connect;     // sent when the connection is made
    std::vector<RPCMessage> connectFailed;
    std::vector<RPCMessage> disconnect;  // sent when the hub is gone
    std::vector<RPC::Response> send;     // one per write, in order
  };

  std::shared_ptr<DeviceManager> managerFor(HubConnectionType type) const;
  void sendAll(std::vector<RPCMessage> messages);

  std::shared_ptr<RPCInterface> interface_;
  bool verbose_;
  HubServiceFactory factory_;
  std::map<HubConnectionType, std::shared_ptr<DeviceManager>> managers_;
  std::weak_ptr<HubServiceDelegate> delegate_;

  mutable std::mutex mutex_;  // guards found_, devices_, connectedManagers_, parked_
  std::map<std::string, IDeviceFound> found_;    // every hub a scan reported
  std::map<std::string, IDeviceFound> devices_;  // the connected hubs
  std::map<std::string, std::shared_ptr<DeviceManager>> connectedManagers_;
  std::map<std::string, Parked> parked_;
};

}  // namespace kestrom
