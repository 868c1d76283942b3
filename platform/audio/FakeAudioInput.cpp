#include "platform/audio/FakeAudioInput.h"

#include "platform/audio/AudioLevels.h"
#include "platform/audio/WavFile.h"

namespace kestrom::audio {

FakeAudioInput::FakeAudioInput()
    : meterPower_(kMeterFloorDecibels), averagePower_(kMeterFloorDecibels) {}

bool FakeAudioInput::hasCaptureDevice() {
  std::lock_guard lock(mutex_);
  return hasCaptureDevice_;
}

Expected<void, AudioInputError> FakeAudioInput::startRecording(const std::filesystem::path& path) {
  std::lock_guard lock(mutex_);
  if (failNext_) {
    auto error = std::move(*failNext_);
    failNext_.reset();
    return makeUnexpected(std::move(error));
  }
  auto file = createWavFile(path);
  if (!file) return makeUnexpected(std::move(file.error()));
  sf_close(*file);
  recording_ = path;
  averagePower_ = kMeterFloorDecibels;
  return {};
}

bool FakeAudioInput::isRecording() const {
  std::lock_guard lock(mutex_);
  return recording_.has_value();
}

void FakeAudioInput::updateMeters() {
  std::lock_guard lock(mutex_);
  if (recording_) averagePower_ = meterPower_;
}

float FakeAudioInput::averagePower() const {
  std::lock_guard lock(mutex_);
  return averagePower_;
}

double FakeAudioInput::currentTime() const {
  std::lock_guard lock(mutex_);
  return recording_ ? currentTime_ : 0.0;
}

bool FakeAudioInput::stopRecording() {
  std::lock_guard lock(mutex_);
  const bool was = recording_.has_value();
  recording_.reset();
  return was;
}

Expected<void, AudioInputError> FakeAudioInput::startTap(TapHandler handler) {
  std::lock_guard lock(mutex_);
  if (failNext_) {
    auto error = std::move(*failNext_);
    failNext_.reset();
    return makeUnexpected(std::move(error));
  }
  tapHandler_ = std::move(handler);
  tapRunning_ = true;
  return {};
}

bool FakeAudioInput::isTapRunning() const {
  std::lock_guard lock(mutex_);
  return tapRunning_;
}

void FakeAudioInput::stopTap() {
  std::lock_guard lock(mutex_);
  tapRunning_ = false;
  tapHandler_ = nullptr;
}

void FakeAudioInput::setHasCaptureDevice(bool has) {
  std::lock_guard lock(mutex_);
  hasCaptureDevice_ = has;
}

void FakeAudioInput::failNextStart(AudioInputError error) {
  std::lock_guard lock(mutex_);
  failNext_ = std::move(error);
}

void FakeAudioInput::setMeterPower(float decibels) {
  std::lock_guard lock(mutex_);
  meterPower_ = decibels;
}

void FakeAudioInput::setCurrentTime(double seconds) {
  std::lock_guard lock(mutex_);
  currentTime_ = seconds;
}

bool FakeAudioInput::deliverTapBlock(std::span<const float> frames) {
  TapHandler handler;
  {
    std::lock_guard lock(mutex_);
    if (!tapRunning_) return false;
    handler = tapHandler_;
  }
  if (handler) handler(frames);  // outside the lock: the handler may stop the tap
  return true;
}

std::optional<std::filesystem::path> FakeAudioInput::recordingPath() const {
  std::lock_guard lock(mutex_);
  return recording_;
}

}  // namespace kestrom::audio
