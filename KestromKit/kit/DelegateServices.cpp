#include "KestromKit/kit/DelegateServices.h"

#include <type_traits>
#include <variant>

#include "KestromKit/host/FileServices.h"

namespace kestrom {

namespace {

using shell::FileDialogRequest;
using Chosen = std::optional<std::filesystem::path>;

// What the page is told when a panel was dismissed.
std::string cancelled() { return std::string(rawValue(SaveError::userCancelled)); }

}  // namespace

DelegateServices::DelegateServices(std::weak_ptr<KestromKitDelegate> application, Options options)
    : application_(std::move(application)), options_(std::move(options)) {}

std::vector<std::string> DelegateServices::exported() const {
  return options_.exportedFileExtensions ? options_.exportedFileExtensions() : std::vector<std::string>{};
}

void DelegateServices::presentDialog(KestromDialogType type, std::function<void(DialogResult)> completion) {
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
  options_.dialogs->runFileDialog(request, [completion = std::move(completion)](Chosen chosen) {
    if (chosen) {
      completion(std::filesystem::absolute(*chosen));
    } else {
      completion(makeUnexpected(cancelled()));
    }
  });
}

void DelegateServices::selectMoveDestination(std::function<void(DialogResult)> completion) {
  presentDialog({KestromDialogType::Move{}}, std::move(completion));
}

void DelegateServices::showAlert(KestromAlert, std::function<void()> retry) {
  shell::AlertRequest alert = options_.bluetoothAlert ? options_.bluetoothAlert() : shell::AlertRequest{};
  options_.dialogs->showAlert(alert, std::move(retry));
}

void DelegateServices::saveFile(std::filesystem::path source,
                                std::function<void(Expected<void, SaveError>)> completion) {
  FileDialogRequest request;
  request.kind = FileDialogRequest::Kind::save;
  request.suggestedName = source.filename().string();
  request.allowedExtensions = {pathExtension(source)};
  options_.dialogs->runFileDialog(request, [source, completion = std::move(completion)](Chosen chosen) {
    if (!chosen) {
      completion(makeUnexpected(SaveError::userCancelled));
      return;
    }
    completion(moveReplacing(source, *chosen));
  });
}

void DelegateServices::openFile(std::vector<std::string> allowedTypes,
                                std::function<void(Expected<OpenedFile, LoadError>)> completion) {
  FileDialogRequest request;
  request.kind = FileDialogRequest::Kind::open;
  request.allowedExtensions = allowedTypes.empty() ? exported() : std::move(allowedTypes);
  options_.dialogs->runFileDialog(request, [completion = std::move(completion)](Chosen chosen) {
    if (!chosen) {
      completion(makeUnexpected(LoadError::userCancelled));
      return;
    }
    auto text = readUtf8Text(*chosen);
    if (!text) {
      completion(makeUnexpected(text.error()));
      return;
    }
    completion(OpenedFile{*chosen, std::move(*text)});
  });
}

// What the application keeps doing itself.

void DelegateServices::setProjectAvailable(bool available) {
  if (auto application = application_.lock()) application->setProjectAvailable(available);
}

void DelegateServices::share(std::vector<std::filesystem::path> items) {
  if (auto application = application_.lock()) application->share(std::move(items));
}

void DelegateServices::setContentViewController(ContentViewController which) {
  if (auto application = application_.lock()) application->setContentViewController(which);
}

void DelegateServices::languageChanged() {
  if (auto application = application_.lock()) application->languageChanged();
}

std::filesystem::path DelegateServices::webURL() const {
  auto application = application_.lock();
  return application ? application->webURL() : std::filesystem::path();
}

std::filesystem::path DelegateServices::variantURL() const {
  auto application = application_.lock();
  return application ? application->variantURL() : std::filesystem::path();
}

std::filesystem::path DelegateServices::contentURL() const {
  auto application = application_.lock();
  return application ? application->contentURL() : std::filesystem::path();
}

}  // namespace kestrom
