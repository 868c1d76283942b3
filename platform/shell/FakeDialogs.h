#pragma once
// Dialogs answered by a script instead of a user, for tests and headless runs. Each file dialog
// takes the next scripted answer (a path: chosen; nothing: cancelled; an empty script cancels);
// each alert is dismissed. Answers arrive through the main queue, as a sheet's would. Every
// request is kept for the test to inspect. Main thread.

#include <deque>

#include "platform/shell/Dialogs.h"

namespace kestrom::shell {

class FakeDialogs final : public Dialogs {
 public:
  void runFileDialog(const FileDialogRequest& request,
                     std::function<void(std::optional<std::filesystem::path>)> completion) override;
  void showAlert(const AlertRequest& request, std::function<void()> completion) override;

  /// The answer of the next file dialog not yet answered.
  void answerNext(std::optional<std::filesystem::path> answer) { answers_.push_back(std::move(answer)); }

  std::vector<FileDialogRequest> fileRequests;
  std::vector<AlertRequest> alerts;

 private:
  std::deque<std::optional<std::filesystem::path>> answers_;
};

}  // namespace kestrom::shell
