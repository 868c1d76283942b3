#pragma once
// What the application needs from its bundle before the kit exists: the application
// configuration text (handed to the kit unchanged), the launch colour of the variant and the
// window's minimum content size. One shared instance, built on first use; read-only afterwards,
// so any thread may read it.

#include <string>
#include <tuple>

#include "KestromKit/base/Expected.h"
#include "KestromKit/model/Coding.h"
#include "platform/bundle/Bundle.h"

namespace kestrom::app {

struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

class Configuration {
 public:
  /// The launch colour, components 0.0-1.0 (used unchanged, even outside that range).
  struct Variant {
    double launchScreenColorRed = 0;
    double launchScreenColorGreen = 0;
    double launchScreenColorBlue = 0;
    static constexpr auto codingFields() {
      using S = Variant;
      return std::tuple{field("launchScreenColorRed", &S::launchScreenColorRed),
                        field("launchScreenColorGreen", &S::launchScreenColorGreen),
                        field("launchScreenColorBlue", &S::launchScreenColorBlue)};
    }
  };

  static constexpr Size kMinimumContentSize{1024.0, 768.0};

  /// The process's instance, from the main bundle. A bundle without the two resources is a broken
  /// installation: the process stops with "Unable to load the application configuration.".
  static const Configuration& shared();

  /// Reads "variant/content/appconfig/appconfig.json" and "variant.plist" of `bundle`; the error
  /// says which resource failed and why.
  static Expected<Configuration, std::string> load(const bundle::Bundle& bundle);

  Variant variant;
  std::string applicationConfigurationString;
  Size minimumContentSize = kMinimumContentSize;
};

}  // namespace kestrom::app
