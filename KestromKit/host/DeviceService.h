#pragma once
// Tells what kind of computer the host runs on: the machine's model name for the configuration
// reply. Stateless; owned by the kit.

#include <filesystem>
#include <string>

#include "KestromKit/base/MachineModel.h"

namespace kestrom {

class DeviceService {
 public:
  static constexpr const char* kUnknownModel = kUnknownMachineModel;

  explicit DeviceService(std::filesystem::path productNameFile = "/sys/class/dmi/id/product_name",
                         std::filesystem::path deviceTreeModelFile = "/proc/device-tree/model");

  /// The firmware's product name, else the device tree's model, else kUnknownModel; control
  /// characters (the device tree's trailing NUL, the newline of sysfs) trimmed from both ends.
  std::string macModelName() const;

 private:
  std::filesystem::path productNameFile_;
  std::filesystem::path deviceTreeModelFile_;
};

}  // namespace kestrom
