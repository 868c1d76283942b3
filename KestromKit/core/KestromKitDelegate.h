#pragma once
// What the kit asks of the desktop shell: dialogs, alerts, sharing, the content shown in the
// window, and the bundle's folders. The application delegate implements it; the kit holds it
// weakly and calls it on the main queue only.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "KestromKit/core/Expected.h"

namespace kestrom {

/// The dialogs the kit can ask for.
struct KestromDialogType {
  struct Open {
    std::optional<std::vector<std::string>> documentTypes;
  };
  struct Save {
    std::optional<std::string> name;
    std::optional<std::vector<std::string>> allowedTypes;
  };
  struct SelectFolder {
    std::optional<std::filesystem::path> initialFolder;
  };
  struct Move {};
  std::variant<Open, Save, SelectFolder, Move> kind;
};

enum class KestromAlert { bluetoothNeeded };

/// The detailed log switches, one per area.
enum class KestromVerbosityOptions { hub, webServer, webSocket, sensorData, javascriptConsole, projectsHandler };

/// Why saving a file for the web server's save route did not happen.
enum class SaveError { userCancelled, moveError };
std::string_view rawValue(SaveError error);
std::optional<SaveError> saveErrorFromRaw(std::string_view raw);

/// Why reading a file for the web server's load route did not happen.
enum class LoadError { userCancelled, readError };

/// What the window shows: the loading view first, then the web view controller's view.
enum class ContentViewController { loading, webView };

/// A dialog's outcome: the chosen path, or the error's localised description.
using DialogResult = Expected<std::filesystem::path, std::string>;

struct OpenedFile {
  std::filesystem::path url;
  std::string text;
};

class KestromKitDelegate {
 public:
  virtual ~KestromKitDelegate() = default;

  virtual void setProjectAvailable(bool available) = 0;
  virtual void presentDialog(KestromDialogType type, std::function<void(DialogResult)> completion) = 0;
  virtual void showAlert(KestromAlert alert, std::function<void()> retry) = 0;
  virtual void setContentViewController(ContentViewController which) = 0;
  virtual void share(std::vector<std::filesystem::path> items) = 0;
  virtual void selectMoveDestination(std::function<void(DialogResult)> completion) = 0;
  virtual void saveFile(std::filesystem::path source, std::function<void(Expected<void, SaveError>)> completion) = 0;
  virtual void openFile(std::vector<std::string> allowedTypes,
                        std::function<void(Expected<OpenedFile, LoadError>)> completion) = 0;
  virtual void languageChanged() = 0;

  /// Folder of the variant's resources in the bundle.
  virtual std::filesystem::path variantURL() const = 0;
  /// Folder of the prepacked content.
  virtual std::filesystem::path contentURL() const = 0;
  /// Folder of the web application.
  virtual std::filesystem::path webURL() const = 0;
};

}  // namespace kestrom
