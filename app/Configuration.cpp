#include "app/Configuration.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kestrom::app {

const Configuration& Configuration::shared() {
  static const Configuration instance = [] {
    auto loaded = load(bundle::Bundle::main());
    if (!loaded) {
      std::fprintf(stderr, "Unable to load the application configuration. (%s)\n", loaded.error().c_str());
      std::abort();
    }
    return std::move(*loaded);
  }();
  return instance;
}

Expected<Configuration, std::string> Configuration::load(const bundle::Bundle& bundle) {
  Configuration configuration;
  configuration.minimumContentSize = kMinimumContentSize;

  auto appConfigPath = bundle.url("variant/content/appconfig/appconfig", "json");
  if (!appConfigPath) return makeUnexpected(std::string("no variant/content/appconfig/appconfig.json in the bundle"));
  std::ifstream in(*appConfigPath, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in || in.bad()) return makeUnexpected("cannot read " + appConfigPath->string());
  configuration.applicationConfigurationString = text.str();

  auto variantPath = bundle.url("variant", "plist");
  if (!variantPath) return makeUnexpected(std::string("no variant.plist in the bundle"));
  auto plist = bundle::readPropertyList(*variantPath);
  if (!plist) return makeUnexpected(variantPath->string() + ": " + plist.error());
  auto variant = decode<Variant>(*plist);
  if (!variant) return makeUnexpected(variantPath->string() + ": " + variant.error().description());
  configuration.variant = *variant;
  return configuration;
}

}  // namespace kestrom::app
