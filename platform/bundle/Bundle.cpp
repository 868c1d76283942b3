#include "platform/bundle/Bundle.h"

#include <cstdlib>
#include <memory>
#include <mutex>

namespace kestrom::bundle {

namespace {

std::mutex mainMutex;  // guards mainBundle
std::unique_ptr<Bundle> mainBundle;

std::filesystem::path programPath() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : path;
}

}  // namespace

Bundle::Bundle(std::filesystem::path resourceURL) : resourceURL_(std::move(resourceURL)) {
  auto info = readPropertyList(resourceURL_ / "Info.plist");
  info_ = info && info->is_object() ? *info : PropertyListValue::object();
}

const Bundle& Bundle::main() {
  std::lock_guard lock(mainMutex);
  if (!mainBundle) {
    const char* fromEnvironment = std::getenv("KESTROM_BUNDLE_DIR");
    mainBundle = std::make_unique<Bundle>(fromEnvironment && *fromEnvironment
                                              ? std::filesystem::path(fromEnvironment)
                                              : installedBundleLocation(programPath()));
  }
  return *mainBundle;
}

void Bundle::setMain(std::filesystem::path resourceURL) {
  auto bundle = std::make_unique<Bundle>(std::move(resourceURL));
  std::lock_guard lock(mainMutex);
  mainBundle = std::move(bundle);
}

std::optional<std::filesystem::path> Bundle::url(std::string_view name, std::string_view extension) const {
  std::string file(name);
  if (!extension.empty()) {
    file += '.';
    file += extension;
  }
  auto path = resourceURL_ / file;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return std::nullopt;
  return path;
}

std::optional<std::string> Bundle::infoString(std::string_view key) const {
  auto it = info_.find(key);
  if (it == info_.end() || !it->is_string()) return std::nullopt;
  return it->get<std::string>();
}

std::optional<bool> Bundle::infoBool(std::string_view key) const {
  auto it = info_.find(key);
  if (it == info_.end() || !it->is_boolean()) return std::nullopt;
  return it->get<bool>();
}

std::filesystem::path installedBundleLocation(const std::filesystem::path& program) {
  return (program.parent_path().parent_path() / "share" / "kestrom" / "bundle").lexically_normal();
}

}  // namespace kestrom::bundle
