#pragma once
// What the hub service asks of the desktop shell: the alert shown when Bluetooth is needed.
// The kit's DialogServices implements it; called on the main queue only.

#include <functional>

namespace kestrom {

enum class KestromAlert { bluetoothNeeded };

class HubServiceDelegate {
 public:
  virtual ~HubServiceDelegate() = default;
  /// Shows `alert`; `retry` runs when the user asks to try again.
  virtual void showAlert(KestromAlert alert, std::function<void()> retry) = 0;
};

}  // namespace kestrom
