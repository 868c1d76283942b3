#pragma once
// What the kit asks of the desktop application itself: what the window shows, the project menu
// items, the language change and the bundle's folders. The dialogs, alerts and the share picker
// are not asked of it: the kit's DialogServices runs them. The application delegate implements
// it; the kit holds it weakly and calls it on the main queue only.

#include <filesystem>

#include "KestromKit/host/WebViewControllerDelegate.h"

namespace kestrom {

/// The detailed log switches, one per area.
enum class KestromVerbosityOptions { hub, webServer, webSocket, sensorData, javascriptConsole, projectsHandler };

class KestromKitDelegate {
 public:
  virtual ~KestromKitDelegate() = default;

  /// Whether the menu items that need an open project are enabled.
  virtual void setProjectAvailable(bool available) = 0;
  virtual void setContentViewController(ContentViewController which) = 0;
  virtual void languageChanged() = 0;
  /// Folder of the variant's resources in the bundle.
  virtual std::filesystem::path variantURL() const = 0;
  /// Folder of the prepacked content.
  virtual std::filesystem::path contentURL() const = 0;
  /// Folder of the web application.
  virtual std::filesystem::path webURL() const = 0;
};

}  // namespace kestrom
