#pragma once
// The web-view side of the "/files/load" and "/files/saveAs" routes: native open and save dialogs.
// An HTTP worker calls these and then blocks until the completion has run, so an implementation
// must hop to the main queue itself and call the completion exactly once, from another thread than
// the caller's. (The server also copes with a completion that is dropped without being called.)
// The web view controller implements it.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "KestromKit/base/Expected.h"

namespace kestrom {

/// Why saving a file for the web server's save route did not happen.
enum class SaveError { userCancelled, moveError };
std::string_view rawValue(SaveError error);

/// Why reading a file for the web server's load route did not happen.
enum class LoadError { userCancelled, readError };

struct OpenedFile {
  std::filesystem::path url;
  std::string text;
};

class WebServerFileDelegate {
 public:
  virtual ~WebServerFileDelegate() = default;
  virtual void openFileForWebServer(std::vector<std::string> fileTypes,
                                    std::function<void(Expected<OpenedFile, LoadError>)> completion) = 0;
  virtual void saveFileForWebServer(std::filesystem::path source,
                                    std::function<void(Expected<void, SaveError>)> completion) = 0;
};

}  // namespace kestrom
