#pragma once
// The kit's front of the hub transports: which hubs were found and which are connected, routing
// of the page's hub requests to the transport of the hub's connection type, and replies parked
// per hub until the transport reports the outcome. It turns every transport report into the
// page's notifications and never looks inside the bytes exchanged with a hub.
//
// Home queues: requests arrive on main (transports are called from there); transport reports run
// on the "HubService Delegation" queue. `mutex_` guards every map and list both touch; each
// request's and each report's bookkeeping is one step under it, and neither transports nor the
// page's outlet are called while it is held. Owned by the kit, for the life of the process.

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "KestromKit/hubs/DeviceManager.h"
#include "KestromKit/hubs/HubServiceDelegate.h"
#include "KestromKit/model/RequestRecords.h"
#include "KestromKit/rpc/RPCInterface.h"

namespace kestrom {

class HubService final : public DeviceManagerDelegate, public std::enable_shared_from_this<HubService> {
 public:
  HubService(std::shared_ptr<RPCInterface> interface, bool verbose, HubServiceFactory factory,
             HubTransports transports, std::weak_ptr<HubServiceDelegate> delegate);

  /// Becomes the delegate of every transport; once, at the end of start-up, on main.
  void attach();

  void startScan(const std::string& requestID, const RPCRequestHubStartScanParams& params);
  /// Answers at once; the "/hub/scanningstopped" notification waits for the next report of a
  /// stopped scan from any transport. Every transport answers each stop with one such report;
  /// that report sends no second notification for the same stop.
  void stopScan(const std::string& requestID, const RPCRequestHubStopScanParams& params);
  void connect(const std::string& requestID, const RPCRequestHubConnectParams& params);
  void disconnect(const std::string& requestID, const RPCRequestHubDisconnectParams& params);
  /// Base64-decodes the message and hands it to the hub's transport; the reply waits for the
  /// transport's report that the write is done.
  void send(const std::string& requestID, const RPCRequestHubSendParams& params);
  /// Disconnects every hub its transport no longer holds, then answers at once.
  void validateConnections(const std::string& requestID);
  /// Answers "/hub/connections" with the connected hubs.
  void getConnections(const std::string& requestID);

  /// The connected hubs.
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
  using Parked = std::map<std::string, std::vector<RPCMessage>>;

  std::shared_ptr<DeviceManager> managerFor(HubConnectionType type) const;
  void sendMessages(std::vector<RPCMessage> messages);
  /// The verbose hub line: direction "IN" (page to hub) or "OUT" (hub to page).
  void logTraffic(const char* direction, const std::string& bytes) const;

  const std::shared_ptr<RPCInterface> interface_;
  const bool verbose_;
  const HubServiceFactory factory_;
  const HubTransports transports_;
  const std::weak_ptr<HubServiceDelegate> delegate_;

  mutable std::mutex mutex_;  // guards every member below
  std::map<std::string, IDeviceFound> devices_;    // the connected hubs
  std::map<std::string, IDeviceFound> scanCache_;  // every hub a transport reported found; never shrinks
  std::map<std::string, std::shared_ptr<DeviceManager>> connectedManagers_;
  Parked sendResponses_;
  Parked connectResponses_;
  Parked connectFailedResponses_;
  Parked disconnectResponses_;
  std::vector<RPCMessage> stopScanningResponses_;
  std::map<HubConnectionType, int> owedStopReports_;  // stops asked of a transport, not yet reported
};

}  // namespace kestrom
