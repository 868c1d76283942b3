#include "platform/audio/SDLAudioInput.h"

#include <SDL.h>
#include <sndfile.h>

#include <pthread.h>

#include <cstring>
#include <exception>
#include <system_error>

#include "platform/audio/AudioLevels.h"
#include "platform/audio/WavFile.h"
#include "platform/log/Log.h"

namespace kestrom::audio {
namespace {

const log::Logger& logger() {
  static const log::Logger logger("platform", "Audio");
  return logger;
}

// A stalled delivery thread must not let capture grow without bound: beyond this much unread
// audio, new capture is dropped.
constexpr std::size_t kMaxPendingSamples = static_cast<std::size_t>(kSampleRate) * 30;
// The tap is a level display; when its handler falls behind, the oldest blocks go.
constexpr std::size_t kMaxReadyBlocks = 64;

float toFloat(std::int16_t sample) { return static_cast<float>(sample) / 32768.0f; }

AudioInputError captureError(std::string message) {
  return AudioInputError{AudioInputError::Kind::captureNotStarted, std::move(message)};
}

}  // namespace

SDLAudioInput::SDLAudioInput() : averagePower_(kMeterFloorDecibels) {
  // The host owns its signals; SDL must not install SIGINT/SIGTERM handlers of its own.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  sdlReady_ = SDL_InitSubSystem(SDL_INIT_AUDIO) == 0;
  if (!sdlReady_) logger().error("Could not start SDL audio: %s", SDL_GetError());
  tapBlock_.reserve(kTapFrames);
  delivery_ = std::thread([this] { runDelivery(); });
}

SDLAudioInput::~SDLAudioInput() {
  {
    std::lock_guard control(control_);
    if (device_ != 0) SDL_CloseAudioDevice(device_);
    device_ = 0;
  }
  {
    std::lock_guard state(mutex_);
    tapRunning_ = false;
    tapHandler_ = nullptr;
    ++tapGeneration_;
    readyBlocks_.clear();
    consumePending();  // the last captured samples still go into the file
    finishRecording();
  }
  {
    std::lock_guard pending(pendingMutex_);
    quit_ = true;
  }
  wake_.notify_all();
  delivery_.join();
  if (sdlReady_) SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

bool SDLAudioInput::hasCaptureDevice() {
  return sdlReady_ && SDL_GetNumAudioDevices(1) > 0;
}

Expected<void, AudioInputError> SDLAudioInput::startRecording(const std::filesystem::path& path) {
  std::lock_guard control(control_);
  auto created = createWavFile(path);
  if (!created) return makeUnexpected(std::move(created.error()));
  SNDFILE* file = *created;
  if (auto opened = openCapture(); !opened) {
    sf_close(file);
    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    return opened;
  }
  std::lock_guard state(mutex_);
  consumePending();  // what was captured so far belongs to the previous recording, if any
  finishRecording();
  recorder_ = Recorder{};
  recorder_->file = file;
  averagePower_ = kMeterFloorDecibels;
  return {};
}

bool SDLAudioInput::isRecording() const {
  std::lock_guard state(mutex_);
  return recorder_.has_value();
}

void SDLAudioInput::updateMeters() {
  std::lock_guard state(mutex_);
  consumePending();
  if (!recorder_ || recorder_->windowFrames == 0) return;
  const double mean = recorder_->windowSquares / static_cast<double>(recorder_->windowFrames);
  averagePower_ = averagePowerDecibels(static_cast<float>(mean));
  recorder_->windowSquares = 0.0;
  recorder_->windowFrames = 0;
}

float SDLAudioInput::averagePower() const {
  std::lock_guard state(mutex_);
  return averagePower_;
}

double SDLAudioInput::currentTime() const {
  std::lock_guard state(mutex_);
  return recorder_ ? static_cast<double>(recorder_->frames) / kSampleRate : 0.0;
}

bool SDLAudioInput::stopRecording() {
  std::lock_guard control(control_);
  bool wasRecording = false;
  {
    std::lock_guard state(mutex_);
    wasRecording = recorder_.has_value();
    consumePending();  // everything captured before the stop goes into the file
    finishRecording();
  }
  closeCaptureIfIdle();
  return wasRecording;
}

Expected<void, AudioInputError> SDLAudioInput::startTap(TapHandler handler) {
  std::lock_guard control(control_);
  if (auto opened = openCapture(); !opened) return opened;
  std::lock_guard state(mutex_);
  consumePending();  // samples from before the start are not the tap's
  tapBlock_.clear();
  readyBlocks_.clear();
  tapHandler_ = std::move(handler);
  tapRunning_ = true;
  ++tapGeneration_;
  return {};
}

bool SDLAudioInput::isTapRunning() const {
  std::lock_guard state(mutex_);
  return tapRunning_;
}

void SDLAudioInput::stopTap() {
  {
    std::lock_guard control(control_);
    {
      std::lock_guard state(mutex_);
      consumePending();
      tapRunning_ = false;
      tapHandler_ = nullptr;
      ++tapGeneration_;
      tapBlock_.clear();
      readyBlocks_.clear();
    }
    closeCaptureIfIdle();
  }
  // Wait out a block being delivered right now, unless that delivery is the caller.
  if (std::this_thread::get_id() != delivery_.get_id()) std::lock_guard wait(deliveryMutex_);
}

Expected<void, AudioInputError> SDLAudioInput::openCapture() {
  if (device_ != 0) return {};
  if (!sdlReady_) return makeUnexpected(captureError("SDL audio is not available"));
  SDL_AudioSpec wanted{};
  wanted.freq = kSampleRate;
  wanted.format = AUDIO_S16SYS;
  wanted.channels = 1;
  wanted.samples = static_cast<Uint16>(kTapFrames);
  wanted.callback = &SDLAudioInput::onCapture;
  wanted.userdata = this;
  SDL_AudioSpec obtained{};
  // No changes allowed: SDL converts from whatever the device delivers to exactly this format.
  const SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, 1, &wanted, &obtained, 0);
  if (device == 0) {
    std::string message = SDL_GetError();
    logger().error("Could not open the capture device: %s", message);
    return makeUnexpected(captureError(std::move(message)));
  }
  device_ = device;
  SDL_PauseAudioDevice(device_, 0);
  return {};
}

void SDLAudioInput::closeCaptureIfIdle() {
  if (device_ == 0) return;
  {
    std::lock_guard state(mutex_);
    if (recorder_ || tapRunning_) return;
  }
  SDL_CloseAudioDevice(device_);  // waits for SDL's audio thread; we hold nothing it takes
  device_ = 0;
  std::lock_guard pending(pendingMutex_);
  pending_.clear();
}

void SDLAudioInput::onCapture(void* self, std::uint8_t* stream, int length) {
  auto* input = static_cast<SDLAudioInput*>(self);
  const auto count = static_cast<std::size_t>(length) / sizeof(std::int16_t);
  {
    std::lock_guard pending(input->pendingMutex_);
    if (input->pending_.size() + count > kMaxPendingSamples) return;
    const std::size_t old = input->pending_.size();
    input->pending_.resize(old + count);
    std::memcpy(input->pending_.data() + old, stream, count * sizeof(std::int16_t));
  }
  input->wake_.notify_one();
}

void SDLAudioInput::consumePending() {
  std::vector<std::int16_t> samples;
  {
    std::lock_guard pending(pendingMutex_);
    samples.swap(pending_);
  }
  if (samples.empty()) return;
  feedRecorder(samples);
  feedTap(samples);
}

void SDLAudioInput::feedRecorder(const std::vector<std::int16_t>& samples) {
  if (!recorder_) return;
  for (std::int16_t s : samples) {
    const double x = toFloat(s);
    recorder_->windowSquares += x * x;
  }
  recorder_->windowFrames += static_cast<std::int64_t>(samples.size());
  if (recorder_->writeFailed) return;
  const auto count = static_cast<sf_count_t>(samples.size());
  const sf_count_t written = sf_write_short(recorder_->file, samples.data(), count);
  recorder_->frames += written;
  if (written != count) {
    recorder_->writeFailed = true;  // keep what is in the file, meter on
    logger().error("Could not write the recording: %s", sf_strerror(recorder_->file));
  }
}

void SDLAudioInput::feedTap(const std::vector<std::int16_t>& samples) {
  if (!tapRunning_) return;
  bool produced = false;
  for (std::int16_t s : samples) {
    tapBlock_.push_back(toFloat(s));
    if (tapBlock_.size() < kTapFrames) continue;
    if (readyBlocks_.size() == kMaxReadyBlocks) readyBlocks_.pop_front();
    readyBlocks_.push_back(std::move(tapBlock_));
    tapBlock_ = {};
    tapBlock_.reserve(kTapFrames);
    produced = true;
  }
  if (!produced) return;
  {
    std::lock_guard pending(pendingMutex_);
    blocksReady_ = true;
  }
  wake_.notify_one();
}

void SDLAudioInput::finishRecording() {
  if (!recorder_) return;
  if (sf_close(recorder_->file) != 0) logger().error("Could not close the recording");
  recorder_.reset();
}

void SDLAudioInput::runDelivery() {
  pthread_setname_np(pthread_self(), "AudioInput");
  for (;;) {
    {
      std::unique_lock pending(pendingMutex_);
      wake_.wait(pending, [this] { return quit_ || !pending_.empty() || blocksReady_; });
      if (quit_) return;
      blocksReady_ = false;
    }
    std::deque<std::vector<float>> blocks;
    TapHandler handler;
    std::uint64_t generation = 0;
    {
      std::lock_guard state(mutex_);
      consumePending();
      blocks.swap(readyBlocks_);
      handler = tapHandler_;
      generation = tapGeneration_;
      std::lock_guard pending(pendingMutex_);
      blocksReady_ = false;  // every ready block is in `blocks` now
    }
    for (const auto& block : blocks) {
      std::lock_guard delivering(deliveryMutex_);
      {
        std::lock_guard state(mutex_);
        if (generation != tapGeneration_) break;
      }
      try {
        handler(block);
      } catch (const std::exception& e) {
        logger().error("Level tap handler failed: %s", e.what());
      }
    }
  }
}

}  // namespace kestrom::audio
