#pragma once
// The microphone: one capture stream (44100 Hz, mono, 16-bit) shared by a WAV recorder with a
// level meter and by a level tap that hands out blocks of 1024 frames. The Linux backend is
// SDLAudioInput (SDL2 capture, libsndfile); FakeAudioInput plays prepared samples for tests.
//
// Threads: every operation may be called from any thread. Tap blocks arrive on the backend's own
// delivery thread ("AudioInput"), one at a time, in capture order; once stopTap() has returned
// the handler is not called again (when stopTap() runs inside the handler, the block in hand is
// the last one).

#include <cstddef>
#include <filesystem>
#include <functional>
#include <span>
#include <string>

#include "platform/Expected.h"

namespace kestrom::audio {

inline constexpr int kSampleRate = 44100;
inline constexpr std::size_t kTapFrames = 1024;

struct AudioInputError {
  enum class Kind {
    fileNotCreated,     // the recording's file could not be created
    captureNotStarted,  // no capture device, or it could not be opened
  };
  Kind kind;
  std::string message;  // what the system said, for the log
};

/// One block of the level tap: kTapFrames mono samples in [-1, 1).
using TapHandler = std::function<void(std::span<const float> frames)>;

class AudioInput {
 public:
  virtual ~AudioInput() = default;

  /// True when the system offers a capture device; recording counts as permitted exactly then.
  virtual bool hasCaptureDevice() = 0;

  /// Records into a new 16-bit PCM WAV file (44100 Hz, mono) at `path`. A recording already
  /// running is finished first, its file closed and complete. When the new file cannot be created
  /// the running recording carries on untouched; when capture cannot start, nothing is left
  /// behind at `path`.
  [[nodiscard]] virtual Expected<void, AudioInputError> startRecording(
      const std::filesystem::path& path) = 0;
  virtual bool isRecording() const = 0;
  /// Closes the meter's window: averagePower() becomes the power of the samples recorded since
  /// the previous update (it keeps its value when none arrived).
  virtual void updateMeters() = 0;
  /// Average power of the last meter window in dBFS, from kMeterFloorDecibels (silence, or no
  /// window yet) to 0 (full scale).
  virtual float averagePower() const = 0;
  /// Seconds of audio in the running recording; 0 when none runs.
  virtual double currentTime() const = 0;
  /// Finishes the running recording and closes its file; false when none was running.
  virtual bool stopRecording() = 0;

  /// Starts (or, when running, re-aims) the level tap. Fails when capture cannot start.
  [[nodiscard]] virtual Expected<void, AudioInputError> startTap(TapHandler handler) = 0;
  virtual bool isTapRunning() const = 0;
  virtual void stopTap() = 0;
};

}  // namespace kestrom::audio
