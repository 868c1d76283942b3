#include "KestromKit/host/DeviceService.h"

#include "KestromKit/base/MachineModel.h"

namespace kestrom {

DeviceService::DeviceService(std::shared_ptr<WebViewController> webViewController,
                             std::filesystem::path productNameFile, std::filesystem::path deviceTreeModelFile)
    : webViewController_(std::move(webViewController)),
      productNameFile_(std::move(productNameFile)),
      deviceTreeModelFile_(std::move(deviceTreeModelFile)) {}

std::string DeviceService::macModelName() const {
  return machineModelName(productNameFile_, deviceTreeModelFile_);
}

}  // namespace kestrom
