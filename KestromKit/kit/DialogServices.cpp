#include "KestromKit/kit/DialogServices.h"

#include <type_traits>
#include <variant>

#include "platform/AsciiCase.h"
#include "KestromKit/host/FileServices.h"
#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

namespace {

using shell::FileDialogRequest;

// What the page is told when a panel was dismissed.
std::string cancelled() { return std::string(rawValue(SaveError::userCancelled)); }

}  // namespace

std::filesystem::path withAllowedExtension(const std::filesystem::path& chosen,
                                           const std::vector<std::string>& extensions) {
  if (extensions.empty() || chosen.filename().empty()) return chosen;
  const std::string name = chosen.filename().string();
  for (const auto& extension : extensions) {
    if (extension.empty()) return chosen;  // any name is allowed
    if (name.size() > extension.size() + 1 && name[name.size() - extension.size() - 1] == '.' &&
        equalsIgnoringCase(std::string_view(name).substr(name.size() - extension.size()), extension))
      return chosen;
  }
  auto named = chosen;
  named.replace_filename(name + "." + extensions.front());
  return named;
}

DialogServices::DialogServices(Options options) : options_(std::move(options)) {
  if (!options_.fileQueue) options_.fileQueue = dispatch::makeSerialQueue("DialogServices");
}

std::vector<std::string> DialogServices::exported() const {
  return options_.exportedFileExtensions ? options_.exportedFileExtensions() : std::vector<std::string>{};
}

namespace {

// Runs a save panel until its answer carries one of the allowed extensions. A typed name without
// one gets the first appended; when a file of that name is already there, the panel comes back
// with the completed name, so the panel's own question about replacing it is asked before anything
// is replaced.
void runSavePanel(std::shared_ptr<shell::Dialogs> dialogs, FileDialogRequest request,
                  std::function<void(std::optional<std::filesystem::path>)> completion) {
  auto* panel = dialogs.get();
  panel->runFileDialog(request, [dialogs = std::move(dialogs), request,
                                 completion = std::move(completion)](std::optional<std::filesystem::path> chosen) mutable {
    if (chosen) {
      auto named = withAllowedExtension(*chosen, request.allowedExtensions);
      std::error_code code;
      if (named != *chosen && std::filesystem::symlink_status(named, code).type() != std::filesystem::file_type::not_found) {
        request.suggestedName = named.filename().string();
        request.initialFolder = named.parent_path();
        runSavePanel(std::move(dialogs), std::move(request), std::move(completion));
        return;
      }
      chosen = std::move(named);
    }
    completion(std::move(chosen));
  });
}

}  // namespace

void DialogServices::runFileDialog(FileDialogRequest request, std::function<void(Chosen)> completion) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (!options_.dialogs) {
    dispatch::mainQueue()->async([completion = std::move(completion)] { completion(std::nullopt); });
    return;
  }
  // A name typed without the extension still gets it: the panel allows only these types, and the
  // open panel, which filters on them, would otherwise hide the saved file.
  if (request.kind == FileDialogRequest::Kind::save) {
    runSavePanel(options_.dialogs, std::move(request), std::move(completion));
    return;
  }
  options_.dialogs->runFileDialog(request, std::move(completion));
}

void DialogServices::presentDialog(KestromDialogType type, std::function<void(DialogResult)> completion) {
  FileDialogRequest request;
  std::visit(
      [&](const auto& kind) {
        using T = std::decay_t<decltype(kind)>;
        if constexpr (std::is_same_v<T, KestromDialogType::Open>) {
          request.kind = FileDialogRequest::Kind::open;
          request.allowedExtensions = kind.documentTypes ? *kind.documentTypes : exported();
        } else if constexpr (std::is_same_v<T, KestromDialogType::Save>) {
          request.kind = FileDialogRequest::Kind::save;
          request.allowedExtensions = kind.allowedTypes ? *kind.allowedTypes : exported();
          request.suggestedName = kind.name;
        } else if constexpr (std::is_same_v<T, KestromDialogType::SelectFolder>) {
          request.kind = FileDialogRequest::Kind::selectFolder;
          request.initialFolder = kind.initialFolder;
        } else {
          request.kind = FileDialogRequest::Kind::move;
        }
      },
      type.kind);
  runFileDialog(std::move(request), [completion = std::move(completion)](Chosen chosen) {
    if (chosen) {
      completion(std::filesystem::absolute(*chosen));
    } else {
      completion(makeUnexpected(cancelled()));
    }
  });
}

void DialogServices::selectMoveDestination(std::function<void(DialogResult)> completion) {
  presentDialog({KestromDialogType::Move{}}, std::move(completion));
}

void DialogServices::share(std::vector<std::filesystem::path> items) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (options_.share) options_.share(std::move(items));
}

void DialogServices::showAlert(KestromAlert, std::function<void()> retry) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (!options_.dialogs) return;
  shell::AlertRequest alert = options_.bluetoothAlert ? options_.bluetoothAlert() : shell::AlertRequest{};
  options_.dialogs->showAlert(alert, std::move(retry));
}

void DialogServices::saveFile(std::filesystem::path source, std::function<void(Expected<void, SaveError>)> completion) {
  FileDialogRequest request;
  request.kind = FileDialogRequest::Kind::save;
  request.suggestedName = source.filename().string();
  if (auto extension = pathExtension(source); !extension.empty()) request.allowedExtensions = {extension};
  runFileDialog(std::move(request), [files = options_.fileQueue, source, completion = std::move(completion)](
                                        Chosen chosen) mutable {
    if (!chosen) {
      completion(makeUnexpected(SaveError::userCancelled));
      return;
    }
    files->async([source = std::move(source), destination = std::move(*chosen), completion = std::move(completion)]() mutable {
      auto moved = moveReplacing(source, destination);
      dispatch::mainQueue()->async([moved, completion = std::move(completion)] { completion(moved); });
    });
  });
}

void DialogServices::openFile(std::vector<std::string> allowedTypes,
                              std::function<void(Expected<OpenedFile, LoadError>)> completion) {
  FileDialogRequest request;
  request.kind = FileDialogRequest::Kind::open;
  request.allowedExtensions = allowedTypes.empty() ? exported() : std::move(allowedTypes);
  runFileDialog(std::move(request), [files = options_.fileQueue, completion = std::move(completion)](Chosen chosen) mutable {
    if (!chosen) {
      completion(makeUnexpected(LoadError::userCancelled));
      return;
    }
    files->async([file = std::move(*chosen), completion = std::move(completion)]() mutable {
      Expected<OpenedFile, LoadError> opened = makeUnexpected(LoadError::readError);
      if (auto text = readUtf8Text(file)) opened = OpenedFile{file, std::move(*text)};
      dispatch::mainQueue()->async(
          [opened = std::move(opened), completion = std::move(completion)]() mutable { completion(std::move(opened)); });
    });
  });
}

}  // namespace kestrom
