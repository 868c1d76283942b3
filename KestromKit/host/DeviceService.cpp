#include "KestromKit/host/DeviceService.h"

#include "KestromKit/base/MachineModel.h"

namespace kestrom {

DeviceService::DeviceService(std::filesystem::path productNameFile, std::filesystem::path deviceTreeModelFile)
    : productNameFile_(std::move(productNameFile)), deviceTreeModelFile_(std::move(deviceTreeModelFile)) {}

std::string DeviceService::macModelName() const {
  return machineModelName(productNameFile_, deviceTreeModelFile_);
}

}  // namespace kestrom
