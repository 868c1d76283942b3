#pragma once
// AudioInput without a microphone, for tests and headless runs. Recordings are real, empty WAV
// files (44100 Hz, mono, 16-bit); the meter reads what the test set; tap blocks are handed in by
// the test and reach the handler on the calling thread, standing in for the delivery thread.
// `failNextStart` makes the next start of the recorder or the tap fail with the given error.
// Any thread.

#include <mutex>
#include <optional>

#include "platform/audio/AudioInput.h"

namespace kestrom::audio {

class FakeAudioInput final : public AudioInput {
 public:
  FakeAudioInput();

  // AudioInput
  bool hasCaptureDevice() override;
  Expected<void, AudioInputError> startRecording(const std::filesystem::path& path) override;
  bool isRecording() const override;
  void updateMeters() override;
  float averagePower() const override;
  double currentTime() const override;
  bool stopRecording() override;
  Expected<void, AudioInputError> startTap(TapHandler handler) override;
  bool isTapRunning() const override;
  void stopTap() override;

  void setHasCaptureDevice(bool has);
  void failNextStart(AudioInputError error);
  /// The power averagePower() reports after the next updateMeters().
  void setMeterPower(float decibels);
  void setCurrentTime(double seconds);
  /// Hands one block to the tap handler; false (and nothing called) while the tap is stopped.
  bool deliverTapBlock(std::span<const float> frames);
  /// The file of the running recording, if any.
  std::optional<std::filesystem::path> recordingPath() const;

 private:
  mutable std::mutex mutex_;  // guards everything below
  bool hasCaptureDevice_ = true;
  std::optional<AudioInputError> failNext_;
  std::optional<std::filesystem::path> recording_;
  float meterPower_;
  float averagePower_;
  double currentTime_ = 0.0;
  TapHandler tapHandler_;
  bool tapRunning_ = false;
};

}  // namespace kestrom::audio
