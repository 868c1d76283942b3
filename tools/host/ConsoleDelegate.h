#pragma once
// The headless host's stand-in for the desktop application: no window; what the window would show
// is logged (tools/host/ConsoleDialogs.h stands in for its dialogs). Main queue.

#include <filesystem>

#include "KestromKit/kit/KestromKitDelegate.h"

namespace kestrom::headless {

class ConsoleDelegate final : public KestromKitDelegate {
 public:
  explicit ConsoleDelegate(std::filesystem::path bundle) : bundle_(std::move(bundle)) {}

  void setProjectAvailable(bool available) override;
  void setContentViewController(ContentViewController which) override;
  void languageChanged() override;
  std::filesystem::path variantURL() const override { return bundle_ / "variant"; }
  std::filesystem::path contentURL() const override { return bundle_ / "variant/content"; }
  std::filesystem::path webURL() const override { return bundle_ / "variant/web"; }

 private:
  std::filesystem::path bundle_;
};

}  // namespace kestrom::headless
