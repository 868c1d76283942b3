#include "KestromKit/host/AudioService.h"

#include <glib.h>

#include <algorithm>

#include "KestromKit/base/Constants.h"
#include "platform/audio/AudioLevels.h"
#include "platform/dispatch/QueueCheck.h"

namespace kestrom {

namespace {

using ResponseCase = RPC::Response::Case;

// Tap blocks are 1024 frames at 44.1 kHz; the page draws each level for this long.
constexpr double kTapLevelDuration = 0.1;

std::string newUUID() {
  gchar* text = g_uuid_string_random();
  std::string uuid(text);
  g_free(text);
  return uuid;
}

RPCMessage levelUpdate(double duration, double level) {
  return RPC::Notification::make<RPC::Notification::Case::audioLevelUpdate>(
      RPCNotifyAudioLevelUpdateParams{duration, level});
}

}  // namespace

std::string recordingFilePath(const std::filesystem::path& file) {
  gchar* uri = g_filename_to_uri(file.c_str(), nullptr, nullptr);
  std::string text = uri ? uri : "file://" + file.string();
  g_free(uri);
  static constexpr std::string_view kScheme = "file:///";
  for (auto at = text.find(kScheme); at != std::string::npos; at = text.find(kScheme, at)) text.erase(at, kScheme.size());
  return text;
}

AudioService::AudioService(std::shared_ptr<RPCInterface> interface, AudioInputSource input,
                           std::filesystem::path temporaryFolder, Clock clock)
    : interface_(std::move(interface)),
      inputSource_(std::move(input)),
      temporaryFolder_(std::move(temporaryFolder)),
      clock_(clock ? std::move(clock) : [] { return dispatch::Duration(std::chrono::steady_clock::now().time_since_epoch()); }) {}

AudioService::~AudioService() {
  timer_.cancel();
  if (!input_) return;
  // The tap handler holds only the interface, but it must not outlive the service's wish to report.
  input_->stopTap();
  input_->stopRecording();
}

audio::AudioInput& AudioService::input() {
  if (!input_) input_ = inputSource_();
  return *input_;
}

void AudioService::checkRecordingPermission(const std::string& requestID) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  // Linux asks nobody: whoever may open the capture device may record.
  allowedToRecord_ = input().hasCaptureDevice();
  interface_->send(RPC::Response::make<ResponseCase::audioCheckRecordingPermission>(
      requestID, RPCResponseAudioCheckRecordingPermissionParams{allowedToRecord_}));
}

void AudioService::startRecording(const std::string& requestID) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (!allowedToRecord_) {
    interface_->send(RPC::Response::error(requestID, "Permission was not granted"));
    return;
  }
  // A recording already running ends once the new one has started: its file is then closed and
  // complete (the layer finishes it before starting the next). A start that fails changes nothing
  // of it: it goes on reporting levels and hands back its own file at stop.
  auto file = temporaryFolder_ / (newUUID() + ".wav");
  auto started = input().startRecording(file);
  if (!started) {
    Constants::log().audio.error("Could not start recording: %s", started.error().message);
    interface_->send(RPC::Response::error(requestID, "Failed to record"));
    return;
  }
  timer_.cancel();  // the new recording's timer replaces it, so levels never arrive twice per tick
  lastSoundUrl_ = std::move(file);
  nextLevel_ = clock_() + kLevelInterval;
  scheduleLevel();
  interface_->send(RPC::Response::make<ResponseCase::audioStartRecording>(requestID));
}

void AudioService::scheduleLevel() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  const auto now = clock_();
  if (nextLevel_ + kLevelInterval < now) nextLevel_ = now + kLevelInterval;  // after a stall: no burst
  std::weak_ptr<AudioService> weak = weak_from_this();
  timer_ = dispatch::mainQueue()->asyncAfter(std::max(nextLevel_ - now, dispatch::Duration::zero()), [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->nextLevel_ += kLevelInterval;
    self->emitLevel();
    self->scheduleLevel();
  });
}

void AudioService::emitLevel() {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (!input_ || !input_->isRecording()) return;
  input_->updateMeters();
  double level = audio::recorderLevel(input_->averagePower());
  interface_->send(levelUpdate(input_->currentTime(), level));
}

void AudioService::stopRecording(const std::string& requestID) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  timer_.cancel();
  if (!input_ || !input_->isRecording()) {
    interface_->send(RPC::Response::make<ResponseCase::audioStopRecording>(
        requestID, RPCResponseAudioStopRecordingParams{""}));
    return;
  }
  input_->stopRecording();
  if (!lastSoundUrl_) {
    interface_->send(RPC::Response::error(requestID, "Could not get sound path"));
    return;
  }
  interface_->send(RPC::Response::make<ResponseCase::audioStopRecording>(
      requestID, RPCResponseAudioStopRecordingParams{recordingFilePath(*lastSoundUrl_)}));
}

void AudioService::startReportingLevels(const std::string& requestID) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (input_ && input_->isTapRunning()) {
    Constants::log().audio.info("Audio engine already running");
    interface_->send(RPC::Response::make<ResponseCase::audioStartReportingLevels>(requestID));
    return;
  }
  if (!allowedToRecord_) {
    interface_->send(RPC::Response::error(requestID, "Permission to record not granted"));
    return;
  }
  // Runs on the audio layer's delivery thread; the interface is safe from any thread.
  auto tap = [interface = interface_](std::span<const float> frames) {
    interface->send(levelUpdate(kTapLevelDuration, audio::tapLevel(audio::meanSquare(frames))));
  };
  if (auto started = input().startTap(std::move(tap)); !started) {
    Constants::log().audio.error("Could not start audioEngine: %s", started.error().message);
    interface_->send(RPC::Response::error(requestID, "Could not start AudioEngine"));
    return;
  }
  interface_->send(RPC::Response::make<ResponseCase::audioStartReportingLevels>(requestID));
}

void AudioService::stopReportingLevels(const std::string& requestID) {
  KESTROM_ASSERT_ON_MAIN_QUEUE();
  if (input_) input_->stopTap();
  interface_->send(RPC::Response::make<ResponseCase::audioStopReportingLevels>(requestID));
}

}  // namespace kestrom
