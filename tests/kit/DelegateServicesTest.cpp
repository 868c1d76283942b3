// The kit's dialog services over scripted dialogs: what each panel is asked to offer, and every
// outcome of the save, open and move-destination services (chosen, cancelled, failed).

#include "KestromKit/kit/DelegateServices.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "KestromKit/base/AtomicFile.h"
#include "platform/dispatch/ManualQueue.h"
#include "platform/shell/FakeDialogs.h"

namespace kestrom {
namespace {

namespace fs = std::filesystem;
using Kind = shell::FileDialogRequest::Kind;

// The application's part: only what DelegateServices passes on.
class Application final : public KestromKitDelegate {
 public:
  void setProjectAvailable(bool available) override { calls.push_back(available ? "show" : "hide"); }
  void presentDialog(KestromDialogType, std::function<void(DialogResult)>) override { calls.push_back("dialog"); }
  void showAlert(KestromAlert, std::function<void()>) override { calls.push_back("alert"); }
  void setContentViewController(ContentViewController) override { calls.push_back("content"); }
  void share(std::vector<fs::path> items) override { calls.push_back("share " + items.at(0).string()); }
  void selectMoveDestination(std::function<void(DialogResult)>) override { calls.push_back("move"); }
  void saveFile(fs::path, std::function<void(Expected<void, SaveError>)>) override { calls.push_back("save"); }
  void openFile(std::vector<std::string>, std::function<void(Expected<OpenedFile, LoadError>)>) override {
    calls.push_back("open");
  }
  void languageChanged() override { calls.push_back("language"); }
  fs::path variantURL() const override { return "/bundle/variant"; }
  fs::path contentURL() const override { return "/bundle/variant/content"; }
  fs::path webURL() const override { return "/bundle/variant/web"; }
  std::vector<std::string> calls;
};

class DelegateServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatch::installMainQueue(main_);
    char pattern[] = "/tmp/kestrom-dialogs-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder_ = pattern;
  }
  void TearDown() override {
    dispatch::installMainQueue(nullptr);
    fs::remove_all(folder_);
  }
  void write(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }

  std::shared_ptr<dispatch::ManualQueue> main_ = std::make_shared<dispatch::ManualQueue>("main");
  std::shared_ptr<Application> application_ = std::make_shared<Application>();
  std::shared_ptr<shell::FakeDialogs> dialogs_ = std::make_shared<shell::FakeDialogs>();
  std::vector<std::string> exported_{"kpr", "kpz"};
  DelegateServices services_{application_,
                             {.dialogs = dialogs_,
                              .bluetoothAlert = [] { return shell::AlertRequest{"Off", "Turn it on", "OK"}; },
                              .exportedFileExtensions = [this] { return exported_; }}};
  fs::path folder_;
};

TEST_F(DelegateServicesTest, PanelsOfferWhatTheirCaseAsksForAndAnswerAfterTheSheet) {
  std::vector<DialogResult> results;
  auto keep = [&](DialogResult result) { results.push_back(std::move(result)); };
  dialogs_->answerNext(folder_ / "a.kpr");
  services_.presentDialog({KestromDialogType::Open{}}, keep);
  services_.presentDialog({KestromDialogType::Open{std::vector<std::string>{"py"}}}, keep);
  services_.presentDialog({KestromDialogType::Save{"Robot.kpr", std::nullopt}}, keep);
  services_.presentDialog({KestromDialogType::SelectFolder{folder_}}, keep);
  services_.selectMoveDestination(keep);
  EXPECT_TRUE(results.empty()) << "answers come through the main queue, as a sheet's";
  main_->runPending();

  const auto& asked = dialogs_->fileRequests;
  ASSERT_EQ(asked.size(), 5u);
  EXPECT_EQ(asked[0].kind, Kind::open);
  EXPECT_EQ(asked[0].allowedExtensions, exported_) << "no types named: the bundle's, in order";
  EXPECT_EQ(asked[1].allowedExtensions, std::vector<std::string>{"py"});
  EXPECT_EQ(asked[2].kind, Kind::save);
  EXPECT_EQ(asked[2].suggestedName, "Robot.kpr");
  EXPECT_EQ(asked[2].allowedExtensions, exported_);
  EXPECT_EQ(asked[3].kind, Kind::selectFolder);
  EXPECT_EQ(asked[3].initialFolder, folder_);
  EXPECT_EQ(asked[4].kind, Kind::move);

  ASSERT_EQ(results.size(), 5u);
  EXPECT_EQ(results[0], DialogResult(folder_ / "a.kpr"));
  for (std::size_t i = 1; i < results.size(); ++i) {
    ASSERT_FALSE(results[i]);
    EXPECT_EQ(results[i].error(), "userCancelled");
  }
  EXPECT_TRUE(application_->calls.empty());
}

TEST_F(DelegateServicesTest, TheSaveServiceMovesTheFileWhereTheUserChoseReplacingWhatWasThere) {
  std::vector<Expected<void, SaveError>> results;
  auto keep = [&](Expected<void, SaveError> result) { results.push_back(result); };
  write(folder_ / "upload.kpr", "new");
  write(folder_ / "chosen.kpr", "old");
  dialogs_->answerNext(folder_ / "chosen.kpr");
  services_.saveFile(folder_ / "upload.kpr", keep);
  services_.saveFile(folder_ / "upload.kpr", keep);  // cancelled
  dialogs_->answerNext(folder_ / "no-such-folder/x.kpr");
  write(folder_ / "again.kpr", "again");
  services_.saveFile(folder_ / "again.kpr", keep);  // the move fails
  main_->runPending();

  EXPECT_EQ(dialogs_->fileRequests.at(0).suggestedName, "upload.kpr");
  EXPECT_EQ(dialogs_->fileRequests.at(0).allowedExtensions, std::vector<std::string>{"kpr"});
  ASSERT_EQ(results.size(), 3u);
  EXPECT_TRUE(results[0]);
  EXPECT_EQ(AtomicFile::read(folder_ / "chosen.kpr").value_or(""), "new");
  ASSERT_FALSE(results[1]);
  EXPECT_EQ(results[1].error(), SaveError::userCancelled);
  ASSERT_FALSE(results[2]);
  EXPECT_EQ(results[2].error(), SaveError::moveError);
  EXPECT_TRUE(fs::exists(folder_ / "again.kpr")) << "a failed move leaves the source in place";
}

TEST_F(DelegateServicesTest, TheOpenServiceReadsTheChosenTextOrSaysWhyNot) {
  std::vector<Expected<OpenedFile, LoadError>> results;
  auto keep = [&](Expected<OpenedFile, LoadError> result) { results.push_back(std::move(result)); };
  write(folder_ / "main.py", "print('hi')\n");
  write(folder_ / "binary.py", std::string("\xff\xfe\x00", 3));
  dialogs_->answerNext(folder_ / "main.py");
  dialogs_->answerNext(folder_ / "binary.py");
  services_.openFile({"py"}, keep);
  services_.openFile({}, keep);
  services_.openFile({}, keep);  // cancelled
  main_->runPending();

  EXPECT_EQ(dialogs_->fileRequests.at(0).allowedExtensions, std::vector<std::string>{"py"});
  EXPECT_EQ(dialogs_->fileRequests.at(1).allowedExtensions, exported_);
  ASSERT_EQ(results.size(), 3u);
  ASSERT_TRUE(results[0]);
  EXPECT_EQ(results[0]->url, folder_ / "main.py");
  EXPECT_EQ(results[0]->text, "print('hi')\n");
  EXPECT_EQ(results[1].error(), LoadError::readError);
  EXPECT_EQ(results[2].error(), LoadError::userCancelled);
}

TEST_F(DelegateServicesTest, TheAlertShowsItsTextsAndTheRestGoesToTheApplication) {
  bool retried = false;
  services_.showAlert(KestromAlert::bluetoothNeeded, [&] { retried = true; });
  main_->runPending();
  ASSERT_EQ(dialogs_->alerts.size(), 1u);
  EXPECT_EQ(dialogs_->alerts[0].message, "Off");
  EXPECT_EQ(dialogs_->alerts[0].informative, "Turn it on");
  EXPECT_EQ(dialogs_->alerts[0].button, "OK");
  EXPECT_TRUE(retried);

  services_.setProjectAvailable(true);
  services_.share({"/p/a.kpr"});
  services_.setContentViewController(ContentViewController::webView);
  services_.languageChanged();
  EXPECT_EQ(application_->calls, (std::vector<std::string>{"show", "share /p/a.kpr", "content", "language"}));
  EXPECT_EQ(services_.webURL(), "/bundle/variant/web");
  EXPECT_EQ(services_.contentURL(), "/bundle/variant/content");
}

}  // namespace
}  // namespace kestrom
