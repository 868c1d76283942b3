#include "KestromKit/base/MachineModel.h"

#include <fstream>
#include <iterator>
#include <optional>

#include "KestromKit/base/Utf8.h"

namespace kestrom {

namespace {

std::optional<std::string> readModel(const std::filesystem::path& file) {
  // Reading a folder through a stream throws; anything but a file holds no model.
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) return std::nullopt;
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text;
  try {
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const std::exception&) {  // a read error of the file system
    return std::nullopt;
  }
  auto isControl = [](unsigned char c) { return c < 0x20 || c == 0x7f; };
  while (!text.empty() && isControl(static_cast<unsigned char>(text.back()))) text.pop_back();
  std::size_t start = 0;
  while (start < text.size() && isControl(static_cast<unsigned char>(text[start]))) ++start;
  text.erase(0, start);
  if (text.empty() || !isValidUtf8(text)) return std::nullopt;
  return text;
}

}  // namespace

std::string machineModelName(const std::filesystem::path& productNameFile,
                             const std::filesystem::path& deviceTreeModelFile) {
  if (auto model = readModel(productNameFile)) return *model;
  if (auto model = readModel(deviceTreeModelFile)) return *model;
  return kUnknownMachineModel;
}

}  // namespace kestrom
