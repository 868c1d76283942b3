#include "platform/audio/SDLAudioInput.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "AudioTestSupport.h"
#include "platform/audio/AudioLevels.h"

namespace kestrom::audio {
namespace {

using namespace std::chrono_literals;

// Polls `done` for up to 30 s (a loaded machine can starve the audio threads for a while).
bool eventually(const std::function<bool()>& done) {
  for (auto end = std::chrono::steady_clock::now() + 30s; std::chrono::steady_clock::now() < end;) {
    if (done()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return done();
}

struct WavInfo {
  bool opened = false;
  SF_INFO info{};
  double rms = 0.0;
};

WavInfo readWav(const std::filesystem::path& path) {
  WavInfo wav;
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &wav.info);
  if (file == nullptr) return wav;
  wav.opened = true;
  std::vector<float> samples(static_cast<std::size_t>(wav.info.frames));
  const auto read = sf_read_float(file, samples.data(), wav.info.frames);
  samples.resize(static_cast<std::size_t>(read));
  wav.rms = std::sqrt(static_cast<double>(meanSquare(samples)));
  sf_close(file);
  return wav;
}

class SDLAudioInputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrom-audio-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    testing::writeRaw(dir_ / "sine.raw", testing::sine(440, 20.0));
    testing::writeRaw(dir_ / "silence.raw", std::vector<std::int16_t>(44100 * 2, 0));
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIODELAY", "5", 1);  // a 1024-frame buffer every 5 ms: faster than real time
    capture("sine.raw");
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // The raw file the disk driver reads at the next open of the capture device.
  void capture(const std::string& name) { setenv("SDL_DISKAUDIOFILEIN", (dir_ / name).c_str(), 1); }

  std::filesystem::path dir_;
};

TEST_F(SDLAudioInputTest, RecordsTheCaptureToAWavFileAndMetersIt) {
  SDLAudioInput input;
  EXPECT_TRUE(input.hasCaptureDevice());
  EXPECT_FALSE(input.stopRecording());  // nothing to stop yet

  const auto path = dir_ / "take.wav";
  ASSERT_TRUE(input.startRecording(path));
  EXPECT_TRUE(input.isRecording());
  ASSERT_TRUE(eventually([&] { return input.currentTime() >= 0.3; }));
  input.updateMeters();
  EXPECT_NEAR(recorderLevel(input.averagePower()), 0.345, 0.01);
  const double recorded = input.currentTime();

  EXPECT_TRUE(input.stopRecording());
  EXPECT_FALSE(input.isRecording());
  EXPECT_EQ(input.currentTime(), 0.0);
  EXPECT_FALSE(input.stopRecording());

  const WavInfo wav = readWav(path);
  ASSERT_TRUE(wav.opened);
  EXPECT_EQ(wav.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  EXPECT_EQ(wav.info.samplerate, 44100);
  EXPECT_EQ(wav.info.channels, 1);
  EXPECT_GE(wav.info.frames, std::llround(recorded * 44100));
  EXPECT_NEAR(wav.rms, 0.345, 0.01);
}

TEST_F(SDLAudioInputTest, SilenceGivesTheFloorOnBothScales) {
  capture("silence.raw");
  std::mutex mutex;  // declared before the input, so they outlive its delivery thread
  std::vector<double> levels;
  SDLAudioInput input;
  ASSERT_TRUE(input.startRecording(dir_ / "quiet.wav"));
  ASSERT_TRUE(input.startTap([&](std::span<const float> frames) {
    std::lock_guard lock(mutex);
    levels.push_back(tapLevel(meanSquare(frames)));
  }));
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(mutex);
    return levels.size() >= 3 && input.currentTime() >= 0.1;
  }));
  input.updateMeters();
  EXPECT_EQ(input.averagePower(), kMeterFloorDecibels);
  EXPECT_NEAR(recorderLevel(input.averagePower()), 1e-8, 1e-12);
  std::lock_guard lock(mutex);
  for (double level : levels) EXPECT_EQ(level, 0.0);
}

TEST_F(SDLAudioInputTest, TapDeliversBlocksOf1024FramesUntilStopped) {
  std::mutex mutex;
  std::vector<std::size_t> sizes;
  std::vector<double> levels;
  SDLAudioInput input;
  ASSERT_TRUE(input.startTap([&](std::span<const float> frames) {
    std::lock_guard lock(mutex);
    sizes.push_back(frames.size());
    levels.push_back(tapLevel(meanSquare(frames)));
  }));
  EXPECT_TRUE(input.isTapRunning());
  ASSERT_TRUE(eventually([&] {
    std::lock_guard lock(mutex);
    return sizes.size() >= 8;
  }));
  input.stopTap();
  EXPECT_FALSE(input.isTapRunning());
  std::size_t delivered = 0;
  {
    std::lock_guard lock(mutex);
    delivered = sizes.size();
    for (std::size_t size : sizes) EXPECT_EQ(size, kTapFrames);
    for (double level : levels) EXPECT_NEAR(level, 8.44, 0.3);
  }
  std::this_thread::sleep_for(100ms);
  std::lock_guard lock(mutex);
  EXPECT_EQ(sizes.size(), delivered);  // nothing after stopTap returned
}

TEST_F(SDLAudioInputTest, TapStoppedFromItsOwnHandlerDeliversNoMore) {
  std::atomic<int> calls = 0;
  SDLAudioInput input;
  ASSERT_TRUE(input.startTap([&](std::span<const float>) {
    if (++calls == 3) input.stopTap();
  }));
  ASSERT_TRUE(eventually([&] { return !input.isTapRunning(); }));
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(calls, 3);
}

TEST_F(SDLAudioInputTest, RecorderAndTapShareOneCaptureAndStopApart) {
  std::atomic<int> blocks = 0;
  SDLAudioInput input;
  ASSERT_TRUE(input.startRecording(dir_ / "shared.wav"));
  ASSERT_TRUE(input.startTap([&](std::span<const float>) { ++blocks; }));
  ASSERT_TRUE(eventually([&] { return blocks >= 3 && input.currentTime() > 0.1; }));
  input.stopTap();
  const double before = input.currentTime();
  ASSERT_TRUE(eventually([&] { return input.currentTime() > before + 0.1; }));  // still recording
  EXPECT_TRUE(input.stopRecording());
  ASSERT_TRUE(input.startTap([&](std::span<const float>) { ++blocks; }));  // capture opens again
  const int seen = blocks;
  EXPECT_TRUE(eventually([&] { return blocks > seen; }));
}

TEST_F(SDLAudioInputTest, ASecondRecordingFinishesTheFirst) {
  SDLAudioInput input;
  const auto first = dir_ / "first.wav";
  const auto second = dir_ / "second.wav";
  ASSERT_TRUE(input.startRecording(first));
  ASSERT_TRUE(eventually([&] { return input.currentTime() >= 0.1; }));
  ASSERT_TRUE(input.startRecording(second));
  const auto firstSize = std::filesystem::file_size(first);
  const WavInfo closed = readWav(first);
  ASSERT_TRUE(closed.opened);
  EXPECT_GT(closed.info.frames, 0);
  EXPECT_EQ(firstSize, 44 + closed.info.frames * 2);  // header complete, as written on close

  ASSERT_TRUE(eventually([&] { return input.currentTime() >= 0.1; }));
  EXPECT_EQ(std::filesystem::file_size(first), firstSize);  // nothing more went into it
  EXPECT_TRUE(input.stopRecording());
  const WavInfo next = readWav(second);
  ASSERT_TRUE(next.opened);
  EXPECT_GT(next.info.frames, 0);
}

TEST_F(SDLAudioInputTest, FailuresAreReportedAndLeaveStateAsItWas) {
  SDLAudioInput input;
  const auto missingFolder = input.startRecording(dir_ / "no-such-folder" / "x.wav");
  ASSERT_FALSE(missingFolder);
  EXPECT_EQ(missingFolder.error().kind, AudioInputError::Kind::fileNotCreated);
  EXPECT_FALSE(input.isRecording());

  capture("no-such-input.raw");  // the disk driver cannot open its capture file
  const auto path = dir_ / "never.wav";
  const auto noCapture = input.startRecording(path);
  ASSERT_FALSE(noCapture);
  EXPECT_EQ(noCapture.error().kind, AudioInputError::Kind::captureNotStarted);
  EXPECT_FALSE(noCapture.error().message.empty());
  EXPECT_FALSE(std::filesystem::exists(path));
  const auto noTap = input.startTap([](std::span<const float>) {});
  ASSERT_FALSE(noTap);
  EXPECT_EQ(noTap.error().kind, AudioInputError::Kind::captureNotStarted);
  EXPECT_FALSE(input.isTapRunning());

  capture("sine.raw");
  ASSERT_TRUE(input.startRecording(dir_ / "kept.wav"));
  EXPECT_FALSE(input.startRecording(dir_ / "no-such-folder" / "y.wav"));
  EXPECT_TRUE(input.isRecording());  // the running recording carries on
  ASSERT_TRUE(eventually([&] { return input.currentTime() > 0.05; }));
  EXPECT_TRUE(input.stopRecording());
  EXPECT_GT(readWav(dir_ / "kept.wav").info.frames, 0);
}

}  // namespace
}  // namespace kestrom::audio
