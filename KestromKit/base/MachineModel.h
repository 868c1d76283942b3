#pragma once
// The machine's model name as the firmware tells it.

#include <filesystem>
#include <string>

namespace kestrom {

inline constexpr const char* kUnknownMachineModel = "Unknown Mac";

/// The firmware's product name, else the device tree's model, else kUnknownMachineModel; control
/// characters (the device tree's trailing NUL, the newline of sysfs) trimmed from both ends.
std::string machineModelName(const std::filesystem::path& productNameFile = "/sys/class/dmi/id/product_name",
                             const std::filesystem::path& deviceTreeModelFile = "/proc/device-tree/model");

}  // namespace kestrom
