#pragma once
// What the web view controller asks of the desktop shell: the native open and save panels of the
// file routes. The kit's DialogServices implements it; called on the main queue only.

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "KestromKit/base/Expected.h"
#include "KestromKit/server/WebServerFileDelegate.h"

namespace kestrom {

/// What the window shows: the loading view first, then the web view controller's view.
enum class ContentViewController { loading, webView };

class WebViewControllerDelegate {
 public:
  virtual ~WebViewControllerDelegate() = default;
  virtual void saveFile(std::filesystem::path source, std::function<void(Expected<void, SaveError>)> completion) = 0;
  virtual void openFile(std::vector<std::string> allowedTypes,
                        std::function<void(Expected<OpenedFile, LoadError>)> completion) = 0;
};

}  // namespace kestrom
