// The kit's dialog services over scripted dialogs: what each panel is asked to offer, and every
// outcome of the save, open and move-destination services (chosen, cancelled, failed). The file
// work runs on a queue of its own, drained here by hand, so the tests see that it never runs on
// the main queue.

#include "KestromKit/kit/DialogServices.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "platform/files/AtomicFile.h"
#include "platform/dispatch/ManualQueue.h"
#include "platform/shell/FakeDialogs.h"
#include "tests/support/TempFolder.h"

namespace kestrom {
namespace {

namespace fs = std::filesystem;
using Kind = shell::FileDialogRequest::Kind;

class DialogServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatch::installMainQueue(main_);
    onMain_ = std::make_unique<dispatch::ManualQueue::Presence>(*main_);  // the test plays the main thread
    ASSERT_FALSE(folder_.empty());
  }
  void TearDown() override {
    onMain_.reset();
    dispatch::installMainQueue(nullptr);
  }
  void write(const fs::path& file, const std::string& text) { std::ofstream(file, std::ios::binary) << text; }
  /// Runs the main queue and the file queue until both are empty.
  void drain() {
    while (main_->runPending() + files_->runPending() > 0) {
    }
  }

  std::shared_ptr<dispatch::ManualQueue> main_ = std::make_shared<dispatch::ManualQueue>("main");
  std::unique_ptr<dispatch::ManualQueue::Presence> onMain_;
  std::shared_ptr<dispatch::ManualQueue> files_ = std::make_shared<dispatch::ManualQueue>("DialogServices");
  std::shared_ptr<shell::FakeDialogs> dialogs_ = std::make_shared<shell::FakeDialogs>();
  std::vector<std::string> exported_{"kpr", "kpz"};
  std::vector<std::vector<fs::path>> shared_;
  DialogServices services_{{.dialogs = dialogs_,
                            .bluetoothAlert = [] { return shell::AlertRequest{"Off", "Turn it on", "OK"}; },
                            .exportedFileExtensions = [this] { return exported_; },
                            .share = [this](std::vector<fs::path> items) { shared_.push_back(std::move(items)); },
                            .fileQueue = files_}};
  test::TempFolder temp_{"kestrom-dialogs"};
  const fs::path& folder_ = temp_.path();
};

TEST_F(DialogServicesTest, PanelsOfferWhatTheirCaseAsksForAndAnswerAfterTheSheet) {
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
}

TEST_F(DialogServicesTest, TheSaveServiceMovesTheFileWhereTheUserChoseReplacingWhatWasThere) {
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
  EXPECT_EQ(AtomicFile::read(folder_ / "chosen.kpr").value_or(""), "old") << "nothing moves on the main queue";
  EXPECT_EQ(results.size(), 1u) << "only the cancelled save is answered before the file queue ran";
  files_->runPending();
  main_->runPending();

  EXPECT_EQ(dialogs_->fileRequests.at(0).suggestedName, "upload.kpr");
  EXPECT_EQ(dialogs_->fileRequests.at(0).allowedExtensions, std::vector<std::string>{"kpr"});
  ASSERT_EQ(results.size(), 3u);
  ASSERT_FALSE(results[0]);
  EXPECT_EQ(results[0].error(), SaveError::userCancelled);
  EXPECT_TRUE(results[1]);
  EXPECT_EQ(AtomicFile::read(folder_ / "chosen.kpr").value_or(""), "new");
  ASSERT_FALSE(results[2]);
  EXPECT_EQ(results[2].error(), SaveError::moveError);
  EXPECT_TRUE(fs::exists(folder_ / "again.kpr")) << "a failed move leaves the source in place";
}

TEST_F(DialogServicesTest, TheOpenServiceReadsTheChosenTextOrSaysWhyNot) {
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
  ASSERT_EQ(results.size(), 1u) << "nothing is read on the main queue";
  drain();

  EXPECT_EQ(dialogs_->fileRequests.at(0).allowedExtensions, std::vector<std::string>{"py"});
  EXPECT_EQ(dialogs_->fileRequests.at(1).allowedExtensions, exported_);
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].error(), LoadError::userCancelled);
  ASSERT_TRUE(results[1]);
  EXPECT_EQ(results[1]->url, folder_ / "main.py");
  EXPECT_EQ(results[1]->text, "print('hi')\n");
  EXPECT_EQ(results[2].error(), LoadError::readError);
}

TEST_F(DialogServicesTest, TheAlertShowsItsTextsAndTheShareGoesToThePicker) {
  bool retried = false;
  services_.showAlert(KestromAlert::bluetoothNeeded, [&] { retried = true; });
  main_->runPending();
  ASSERT_EQ(dialogs_->alerts.size(), 1u);
  EXPECT_EQ(dialogs_->alerts[0].message, "Off");
  EXPECT_EQ(dialogs_->alerts[0].informative, "Turn it on");
  EXPECT_EQ(dialogs_->alerts[0].button, "OK");
  EXPECT_TRUE(retried);

  services_.share({"/p/a.kpr"});
  EXPECT_EQ(shared_, std::vector<std::vector<fs::path>>{{"/p/a.kpr"}});
}

TEST_F(DialogServicesTest, ASavedNameTypedWithoutTheExtensionGetsIt) {
  std::vector<Expected<void, SaveError>> results;
  auto keep = [&](Expected<void, SaveError> result) { results.push_back(result); };
  write(folder_ / "upload.kpr", "one");
  dialogs_->answerNext(folder_ / "MyRobot");
  services_.saveFile(folder_ / "upload.kpr", keep);
  drain();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_TRUE(results[0]);
  EXPECT_EQ(AtomicFile::read(folder_ / "MyRobot.kpr").value_or(""), "one");
  EXPECT_FALSE(fs::exists(folder_ / "MyRobot"));

  // The project panel's choice gets the type it allows as well; other panels keep any name.
  std::vector<DialogResult> chosen;
  auto take = [&](DialogResult result) { chosen.push_back(std::move(result)); };
  dialogs_->answerNext(folder_ / "Second");
  dialogs_->answerNext(folder_ / "Third.KPZ");
  dialogs_->answerNext(folder_ / "notes");
  services_.presentDialog({KestromDialogType::Save{"Robot.kpr", std::vector<std::string>{"kpr"}}}, take);
  services_.presentDialog({KestromDialogType::Save{"Robot.kpr", std::nullopt}}, take);
  services_.presentDialog({KestromDialogType::Open{}}, take);
  drain();
  ASSERT_EQ(chosen.size(), 3u);
  EXPECT_EQ(chosen[0], DialogResult(folder_ / "Second.kpr"));
  EXPECT_EQ(chosen[1], DialogResult(folder_ / "Third.KPZ")) << "any allowed type, in any letter case";
  EXPECT_EQ(chosen[2], DialogResult(folder_ / "notes"));
}

TEST_F(DialogServicesTest, ACompletedNameThatIsTakenGoesBackToThePanelBeforeAnythingIsReplaced) {
  std::vector<Expected<void, SaveError>> results;
  auto keep = [&](Expected<void, SaveError> result) { results.push_back(result); };
  write(folder_ / "upload.kpr", "new");
  write(folder_ / "MyRobot.kpr", "the one the user keeps");
  dialogs_->answerNext(folder_ / "MyRobot");
  dialogs_->answerNext(std::nullopt);  // asked again with the completed name, the user cancels
  services_.saveFile(folder_ / "upload.kpr", keep);
  drain();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_FALSE(results[0]);
  EXPECT_EQ(AtomicFile::read(folder_ / "MyRobot.kpr").value_or(""), "the one the user keeps");
  ASSERT_EQ(dialogs_->fileRequests.size(), 2u);
  EXPECT_EQ(dialogs_->fileRequests[1].suggestedName, std::optional<std::string>("MyRobot.kpr"));
  EXPECT_EQ(dialogs_->fileRequests[1].initialFolder, std::optional<fs::path>(folder_));

  // Chosen by its full name in the panel (which asked about replacing it), it is replaced.
  results.clear();
  dialogs_->answerNext(folder_ / "MyRobot");
  dialogs_->answerNext(folder_ / "MyRobot.kpr");
  services_.saveFile(folder_ / "upload.kpr", keep);
  drain();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_TRUE(results[0]);
  EXPECT_EQ(AtomicFile::read(folder_ / "MyRobot.kpr").value_or(""), "new");
}

TEST(DialogServicesExtension, AppendsTheFirstAllowedExtensionOnlyWhenNoneIsThere) {
  const std::vector<std::string> kpr{"kpr", "kpz"};
  EXPECT_EQ(withAllowedExtension("/d/MyRobot", kpr), "/d/MyRobot.kpr");
  EXPECT_EQ(withAllowedExtension("/d/MyRobot.kpr", kpr), "/d/MyRobot.kpr");
  EXPECT_EQ(withAllowedExtension("/d/MyRobot.kpz", kpr), "/d/MyRobot.kpz");
  EXPECT_EQ(withAllowedExtension("/d/My.Robot", kpr), "/d/My.Robot.kpr");
  EXPECT_EQ(withAllowedExtension("/d/kpr", kpr), "/d/kpr.kpr");
  EXPECT_EQ(withAllowedExtension("/d/.kpr", kpr), "/d/.kpr.kpr");
  EXPECT_EQ(withAllowedExtension("/d/MyRobot", {}), "/d/MyRobot");
}

TEST(DialogServicesWithoutDialogs, EveryPanelEndsAsCancelledThroughTheMainQueue) {
  auto main = std::make_shared<dispatch::ManualQueue>("main");
  dispatch::installMainQueue(main);
  {
    dispatch::ManualQueue::Presence onMain(*main);
    DialogServices services({});
    std::vector<std::string> answers;
    services.presentDialog({KestromDialogType::Open{}}, [&](DialogResult r) { answers.push_back(r.error()); });
    services.saveFile("/nowhere/a.kpr", [&](Expected<void, SaveError> r) { answers.emplace_back(rawValue(r.error())); });
    services.showAlert(KestromAlert::bluetoothNeeded, [&] { answers.push_back("retry"); });
    services.share({"/p/a.kpr"});
    EXPECT_TRUE(answers.empty());
    main->runPending();
    EXPECT_EQ(answers, (std::vector<std::string>{"userCancelled", "userCancelled"}));
  }
  dispatch::installMainQueue(nullptr);
}

}  // namespace
}  // namespace kestrom
