#pragma once
// What the kit asks of the desktop shell: everything each service asks for (alerts, dialogs and
// sharing, what the window shows, the file panels) plus the language change and the bundle's
// folders. The application delegate implements it; the kit holds it weakly, hands each service
// the narrow part it calls, and calls it on the main queue only.

#include <filesystem>

#include "KestromKit/host/WebViewControllerDelegate.h"
#include "KestromKit/hubs/HubServiceDelegate.h"
#include "KestromKit/storage/ProjectsDelegate.h"

namespace kestrom {

/// The detailed log switches, one per area.
enum class KestromVerbosityOptions { hub, webServer, webSocket, sensorData, javascriptConsole, projectsHandler };

class KestromKitDelegate : public HubServiceDelegate, public ProjectsDelegate, public WebViewControllerDelegate {
 public:
  ~KestromKitDelegate() override = default;

  virtual void languageChanged() = 0;
  /// Folder of the variant's resources in the bundle.
  virtual std::filesystem::path variantURL() const = 0;
  /// Folder of the prepacked content.
  virtual std::filesystem::path contentURL() const = 0;
};

}  // namespace kestrom
