// The audio service over the stand-in microphone: the permission rule, the recording's file and
// level timer, the level tap, and every error text the page can receive.

#include "KestromKit/host/AudioService.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/audio/AudioLevels.h"
#include "platform/audio/FakeAudioInput.h"
#include "platform/dispatch/ManualQueue.h"
#include "tests/support/FrameRecorder.h"
#include "tests/support/TempFolder.h"

namespace kestrom {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::ordered_json;

class AudioServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dispatch::installMainQueue(main_);
    onMain_ = std::make_unique<dispatch::ManualQueue::Presence>(*main_);  // the test plays the main thread
    ASSERT_FALSE(folder_.empty());
    service_ = std::make_shared<AudioService>(page_, [this] { return input_; }, folder_, [this] { return main_->now(); });
  }
  void TearDown() override {
    service_.reset();
    onMain_.reset();
    dispatch::installMainQueue(nullptr);
  }

  Json ask(void (AudioService::*request)(const std::string&), const std::string& id) {
    ((*service_).*request)(id);
    return page_->reply(id);
  }
  Json grant() { return ask(&AudioService::checkRecordingPermission, "permission"); }

  std::shared_ptr<dispatch::ManualQueue> main_ = std::make_shared<dispatch::ManualQueue>("main");
  std::unique_ptr<dispatch::ManualQueue::Presence> onMain_;
  std::shared_ptr<test::FrameRecorder> page_ = std::make_shared<test::FrameRecorder>();
  std::shared_ptr<audio::FakeAudioInput> input_ = std::make_shared<audio::FakeAudioInput>();
  test::TempFolder temp_{"kestrom-audio-service"};
  const std::filesystem::path& folder_ = temp_.path();
  std::shared_ptr<AudioService> service_;
};

TEST_F(AudioServiceTest, NothingStartsBeforePermissionAndPermissionFollowsTheCaptureDevice) {
  EXPECT_EQ(ask(&AudioService::startRecording, "r")["error"], "Permission was not granted");
  EXPECT_EQ(ask(&AudioService::startReportingLevels, "l")["error"], "Permission to record not granted");
  EXPECT_EQ(ask(&AudioService::stopRecording, "s")["result"], Json::parse(R"({"filePath":""})"));

  input_->setHasCaptureDevice(false);
  EXPECT_EQ(grant()["result"], Json::parse(R"({"granted":false})"));
  EXPECT_FALSE(service_->allowedToRecord());
  page_->clear();
  input_->setHasCaptureDevice(true);
  EXPECT_EQ(grant()["result"], Json::parse(R"({"granted":true})"));
  EXPECT_EQ(ask(&AudioService::startRecording, "r2")["result"], Json::object());
}

TEST_F(AudioServiceTest, ARecordingReportsItsLevelEveryFiftyMillisecondsAndHandsBackItsFileURLPath) {
  grant();
  input_->setMeterPower(-20.0f);
  input_->setCurrentTime(1.5);
  ASSERT_EQ(ask(&AudioService::startRecording, "r")["result"], Json::object());
  ASSERT_TRUE(service_->lastSoundUrl());
  EXPECT_EQ(service_->lastSoundUrl()->parent_path(), folder_);
  EXPECT_EQ(service_->lastSoundUrl()->extension(), ".wav");

  main_->advance(49ms);
  EXPECT_TRUE(page_->notifications("/audio/levelupdate").empty());
  main_->advance(1ms);
  main_->advance(50ms);
  auto levels = page_->notifications("/audio/levelupdate");
  ASSERT_EQ(levels.size(), 2u);
  EXPECT_DOUBLE_EQ(levels[0]["params"]["duration"].get<double>(), 1.5);
  EXPECT_NEAR(levels[0]["params"]["level"].get<double>(), 0.1, 1e-6);  // -20 dB

  auto stopped = ask(&AudioService::stopRecording, "s");
  const std::string path = stopped["result"]["filePath"];
  // The file URL without "file:///": the page asks for "/" and this text.
  EXPECT_EQ("/" + path, service_->lastSoundUrl()->string());
  EXPECT_NE(path.front(), '/');
  EXPECT_TRUE(std::filesystem::is_regular_file("/" + path));
  main_->advance(500ms);
  EXPECT_EQ(page_->notifications("/audio/levelupdate").size(), 2u) << "the timer stops with the recording";
  EXPECT_EQ(ask(&AudioService::stopRecording, "again")["result"], Json::parse(R"({"filePath":""})"));
}

TEST_F(AudioServiceTest, ASecondRecordingEndsTheFirstAndKeepsOneTimer) {
  grant();
  ask(&AudioService::startRecording, "first");
  auto first = *service_->lastSoundUrl();
  main_->advance(20ms);
  ask(&AudioService::startRecording, "second");
  auto second = *service_->lastSoundUrl();
  EXPECT_NE(first, second);
  EXPECT_EQ(input_->recordingPath(), second);
  main_->advance(500ms);
  EXPECT_EQ(page_->notifications("/audio/levelupdate").size(), 10u) << "one tick per 50 ms, not two";
  EXPECT_EQ(ask(&AudioService::stopRecording, "s")["result"]["filePath"], recordingFilePath(second));
}

TEST_F(AudioServiceTest, AFailedSecondStartLeavesTheRunningRecordingReportingAndHandsBackItsFile) {
  grant();
  ASSERT_EQ(ask(&AudioService::startRecording, "first")["result"], Json::object());
  auto first = *service_->lastSoundUrl();
  main_->advance(100ms);
  ASSERT_EQ(page_->notifications("/audio/levelupdate").size(), 2u);
  for (auto kind : {audio::AudioInputError::Kind::fileNotCreated, audio::AudioInputError::Kind::captureNotStarted}) {
    input_->failNextStart({kind, "refused"});
    EXPECT_EQ(ask(&AudioService::startRecording, "again")["error"], "Failed to record");
  }
  EXPECT_EQ(service_->lastSoundUrl(), first);
  EXPECT_EQ(input_->recordingPath(), first);
  main_->advance(100ms);
  EXPECT_EQ(page_->notifications("/audio/levelupdate").size(), 4u) << "the running recording goes on reporting";
  EXPECT_EQ(ask(&AudioService::stopRecording, "s")["result"]["filePath"], recordingFilePath(first));
}

TEST_F(AudioServiceTest, TheFilePathIsTheFileURLWithoutItsScheme) {
  EXPECT_EQ(recordingFilePath("/tmp/a.wav"), "tmp/a.wav");
  EXPECT_EQ(recordingFilePath("/tmp/my recordings/a#1.wav"), "tmp/my%20recordings/a%231.wav");
}

TEST_F(AudioServiceTest, FailedStartsAnswerWithTheirErrorAndLeaveNothingRunning) {
  grant();
  input_->failNextStart({audio::AudioInputError::Kind::fileNotCreated, "read-only"});
  EXPECT_EQ(ask(&AudioService::startRecording, "file")["error"], "Failed to record");
  input_->failNextStart({audio::AudioInputError::Kind::captureNotStarted, "no device"});
  EXPECT_EQ(ask(&AudioService::startRecording, "capture")["error"], "Failed to record");
  input_->failNextStart({audio::AudioInputError::Kind::captureNotStarted, "no device"});
  EXPECT_EQ(ask(&AudioService::startReportingLevels, "tap")["error"], "Could not start AudioEngine");
  main_->advance(200ms);
  EXPECT_TRUE(page_->notifications("/audio/levelupdate").empty());
  EXPECT_FALSE(input_->isRecording());
  EXPECT_FALSE(input_->isTapRunning());
  EXPECT_EQ(ask(&AudioService::stopRecording, "s")["result"], Json::parse(R"({"filePath":""})"));
}

TEST_F(AudioServiceTest, TheTapReportsOneLevelPerBlockUntilStopped) {
  grant();
  ASSERT_EQ(ask(&AudioService::startReportingLevels, "l1")["result"], Json::object());
  EXPECT_EQ(ask(&AudioService::startReportingLevels, "l2")["result"], Json::object()) << "already running";

  std::vector<float> loud(audio::kTapFrames, 0.5f);
  std::vector<float> silence(audio::kTapFrames, 0.0f);
  ASSERT_TRUE(input_->deliverTapBlock(loud));
  ASSERT_TRUE(input_->deliverTapBlock(silence));
  auto levels = page_->notifications("/audio/levelupdate");
  ASSERT_EQ(levels.size(), 2u) << "no second tap was installed";
  EXPECT_DOUBLE_EQ(levels[0]["params"]["duration"].get<double>(), 0.1);
  EXPECT_NEAR(levels[0]["params"]["level"].get<double>(), 0.25 / 12 * 850, 1e-3);
  EXPECT_EQ(levels[1]["params"]["level"].get<double>(), 0.0);

  EXPECT_EQ(ask(&AudioService::stopReportingLevels, "l3")["result"], Json::object());
  EXPECT_FALSE(input_->deliverTapBlock(loud));
  EXPECT_EQ(page_->notifications("/audio/levelupdate").size(), 2u);
}

}  // namespace
}  // namespace kestrom
