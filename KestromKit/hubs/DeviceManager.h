#pragma once
// What every hub transport offers the hub service, and what it reports back. Reports always
// travel through the factory's "HubService Delegation" queue, never from inside an operation
// (see DeviceManagerReporter, which every transport uses to make them).

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "KestromKit/base/Constants.h"
#include "KestromKit/model/IDeviceFound.h"
#include "platform/dispatch/Queue.h"
#include "platform/log/Log.h"

namespace kestrom {

class DeviceManager;

/// The reports of a transport. Implemented by the hub service alone; every handler runs on the
/// "HubService Delegation" queue, one report at a time, in the order the transports made them.
class DeviceManagerDelegate {
 public:
  virtual ~DeviceManagerDelegate() = default;
  /// A hub was seen; `device.type` is the reporting transport's connection type. A transport may
  /// report the same hub many times (every poll, every advertisement).
  virtual void deviceFound(IDeviceFound device) = 0;
  /// The transport's scan ended: asked by stopScan (one report per call) or by itself.
  virtual void scanningStopped(HubConnectionType type) = 0;
  /// The outcome of `connect(id)`; `manager` is the reporting transport.
  virtual void connectResult(std::shared_ptr<DeviceManager> manager, std::string id, bool success) = 0;
  /// The hub is no longer connected, whatever the reason (asked, unplugged, failed).
  virtual void disconnected(std::string id) = 0;
  /// Bytes exactly as they came from the hub: never framed or split into messages.
  virtual void dataReceived(std::string id, std::string bytes) = 0;
  /// Every message handed to `send` for the hub so far has been written.
  virtual void sendCompleted(std::string id) = 0;
  /// Bluetooth is off or not allowed; `retry` asks the system again (it holds the transport).
  virtual void bluetoothUnavailable(std::function<void()> retry) = 0;
};

/// A hub transport (Bluetooth LE, classic Bluetooth, USB serial), held by the hub service for the
/// life of the kit. Operations are called from the main queue and return at once; none returns
/// an outcome: outcomes arrive later as delegate reports on the delegation queue.
class DeviceManager {
 public:
  virtual ~DeviceManager() = default;
  /// Starts looking for hubs; only the Bluetooth LE transport uses the service list.
  virtual void startScan(std::optional<std::vector<std::string>> bleServices) = 0;
  /// Stores the delegate weakly; until then (and once it is gone) reports are dropped.
  virtual void setDelegate(std::weak_ptr<DeviceManagerDelegate> delegate) = 0;
  /// Stops looking for hubs; answered by exactly one `scanningStopped`, also when no scan ran.
  virtual void stopScan() = 0;
  /// Starts connecting a hub found earlier; answered by `connectResult`.
  virtual void connect(const std::string& id) = 0;
  /// Starts disconnecting; answered by `disconnected`.
  virtual void disconnect(const std::string& id) = 0;
  /// Queues one whole hub message, passed on unframed; answered by `sendCompleted`.
  virtual void send(std::string bytes, const std::string& id) = 0;
  /// Whether the transport still holds the hub as connected.
  virtual bool isConnected(const std::string& id) = 0;
};

/// Carries the shared delegation queue and the "Bluetooth" log to the hub service and to every
/// transport; made once by the kit just before the hub service.
struct HubServiceFactory {
  std::shared_ptr<dispatch::Queue> delegationQueue = dispatch::makeSerialQueue("HubService Delegation");
  log::Logger log = Constants::log().bluetooth;
};

/// The transports the hub service routes to, by connection type; any may be absent (the hub
/// service then asks none for that type and answers connects with "Unable to connect").
struct HubTransports {
  std::shared_ptr<DeviceManager> bluetoothClassic;
  std::shared_ptr<DeviceManager> usb;
  std::shared_ptr<DeviceManager> bluetoothLowEnergy;
};

/// Builds the transports with the factory's queue and log; `verbose` is the hub verbosity flag
/// (the classic Bluetooth transport logs its traffic with it). Chosen by the composition root:
/// the real ones (makeLinuxHubTransports) in the application and the headless host, fakes in tests.
using HubTransportsMaker = std::function<HubTransports(const HubServiceFactory& factory, bool verbose)>;

}  // namespace kestrom
