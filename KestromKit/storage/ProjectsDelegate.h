#pragma once
// What the project handling asks of the desktop shell: its dialogs and the share picker. The
// kit's DialogServices implements it; called on the main queue only.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "KestromKit/base/Expected.h"

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

/// A dialog's outcome: the chosen path, or the error's localised description.
using DialogResult = Expected<std::filesystem::path, std::string>;

class ProjectsDelegate {
 public:
  virtual ~ProjectsDelegate() = default;
  virtual void presentDialog(KestromDialogType type, std::function<void(DialogResult)> completion) = 0;
  virtual void share(std::vector<std::filesystem::path> items) = 0;
  virtual void selectMoveDestination(std::function<void(DialogResult)> completion) = 0;
};

}  // namespace kestrom
