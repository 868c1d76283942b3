#pragma once
// A Share that records what it was asked to do, for tests and headless runs. Main thread.

#include <vector>

#include "platform/share/Share.h"

namespace kestrom::share {

class FakeShare final : public Share {
 public:
  bool canEmail() const override { return emailAvailable; }
  bool email(const std::filesystem::path& file) override;
  void showInFolder(const std::filesystem::path& file) override { shown.push_back(file); }

  bool emailAvailable = true;
  std::vector<std::filesystem::path> emailed;
  std::vector<std::filesystem::path> shown;
};

}  // namespace kestrom::share
