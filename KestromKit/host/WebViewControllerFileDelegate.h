#pragma once
// What the web view controller asks of the kit when a file is dropped on the web view.

#include <filesystem>

namespace kestrom {

/// Opens a dropped file as a project; the kit implements it.
class WebViewControllerFileDelegate {
 public:
  virtual ~WebViewControllerFileDelegate() = default;
  virtual bool openDroppedFile(const std::filesystem::path& url) = 0;
};

}  // namespace kestrom
