#pragma once
// AudioInput over SDL2 capture, with WAV files written by libsndfile. The capture device is open
// while the recorder or the tap needs it and closed when neither does. SDL's audio thread only
// appends raw samples to `pending_`; the delivery thread ("AudioInput") feeds them to the
// recorder (file and meter) and the tap, and calls the tap handler. The audio driver is SDL's
// choice (SDL_AUDIODRIVER picks one; tests use "disk"). Owned by whoever made it; the destructor
// stops everything and closes the file.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/audio/AudioInput.h"

typedef struct sf_private_tag SNDFILE;  // libsndfile's handle, as its header declares it

namespace kestrom::audio {

class SDLAudioInput final : public AudioInput {
 public:
  SDLAudioInput();
  ~SDLAudioInput() override;
  SDLAudioInput(const SDLAudioInput&) = delete;
  SDLAudioInput& operator=(const SDLAudioInput&) = delete;

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

 private:
  struct Recorder {
    SNDFILE* file = nullptr;
    std::int64_t frames = 0;
    bool writeFailed = false;
    double windowSquares = 0.0;  // sum of squares since the last meter update
    std::int64_t windowFrames = 0;
  };

  static void onCapture(void* self, std::uint8_t* stream, int length);  // SDL's audio thread
  void runDelivery();
  Expected<void, AudioInputError> openCapture();  // with control_ held
  void closeCaptureIfIdle();                          // with control_ held
  void consumePending();                              // with mutex_ held
  void finishRecording();                             // with mutex_ held
  void feedRecorder(const std::vector<std::int16_t>& samples);
  void feedTap(const std::vector<std::int16_t>& samples);

  bool sdlReady_ = false;

  // Serialises the operations that open or close the device. SDL's audio thread never takes it,
  // so closing the device while holding it cannot wait on ourselves.
  std::mutex control_;
  std::uint32_t device_ = 0;  // SDL_AudioDeviceID; 0 while closed

  // Lock order: mutex_, then pendingMutex_. SDL's audio thread takes only pendingMutex_.
  mutable std::mutex mutex_;  // guards recorder_, averagePower_, tap*, readyBlocks_
  std::optional<Recorder> recorder_;
  float averagePower_;
  bool tapRunning_ = false;
  TapHandler tapHandler_;
  std::uint64_t tapGeneration_ = 0;  // bumped by every start and stop of the tap
  std::vector<float> tapBlock_;      // the block being filled
  std::deque<std::vector<float>> readyBlocks_;

  std::mutex pendingMutex_;  // guards pending_, blocksReady_, quit_
  std::condition_variable wake_;
  std::vector<std::int16_t> pending_;
  bool blocksReady_ = false;
  bool quit_ = false;

  std::mutex deliveryMutex_;  // held while the tap handler runs
  std::thread delivery_;
};

}  // namespace kestrom::audio
