#include "platform/shell/FakeDialogs.h"

#include "platform/dispatch/Queue.h"

namespace kestrom::shell {

void FakeDialogs::runFileDialog(const FileDialogRequest& request,
                                std::function<void(std::optional<std::filesystem::path>)> completion) {
  fileRequests.push_back(request);
  std::optional<std::filesystem::path> answer;
  if (!answers_.empty()) {
    answer = std::move(answers_.front());
    answers_.pop_front();
  }
  dispatch::mainQueue()->async([completion = std::move(completion), answer = std::move(answer)] { completion(answer); });
}

void FakeDialogs::showAlert(const AlertRequest& request, std::function<void()> completion) {
  alerts.push_back(request);
  dispatch::mainQueue()->async([completion = std::move(completion)] {
    if (completion) completion();
  });
}

}  // namespace kestrom::shell
