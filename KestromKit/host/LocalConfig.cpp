#include "KestromKit/host/LocalConfig.h"

#include "platform/bundle/PropertyList.h"

namespace kestrom {

LocalConfig LocalConfig::read(const std::filesystem::path& file) {
  auto plist = bundle::readPropertyList(file);
  if (!plist) return {};
  auto config = decode<LocalConfig>(*plist);
  return config ? *config : LocalConfig{};
}

}  // namespace kestrom
