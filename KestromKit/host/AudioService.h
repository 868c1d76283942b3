#pragma once
// Microphone recording and level reports for the page. Recording is permitted while the system
// offers a capture device (the latest "/audio/checkrecordingpermission" decides). A recording
// goes to a new WAV file in the host's temporary folder and reports its level every 0.05 s; the
// level tap reports one level per block of 1024 frames. Both feed from the one capture stream of
// the AudioInput layer. Answers and level notifications go through `interface`.
//
// Home queue: main (requests, the recording's level timer). Tap levels are sent from the audio
// layer's delivery thread; the interface may be used from any thread. Owner: the kit.

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KestromKit/rpc/RPCInterface.h"
#include "platform/audio/AudioInput.h"
#include "platform/dispatch/Queue.h"

namespace kestrom {

/// The recording's file as the page is told it: its file URL without "file:///" ("/tmp/a b.wav"
/// gives "tmp/a%20b.wav"); the page asks the HTTP server for "/" and this text.
std::string recordingFilePath(const std::filesystem::path& file);

class AudioService : public std::enable_shared_from_this<AudioService> {
 public:
  /// Hands out the microphone; called at the first request that needs it, so a host whose page
  /// never records never opens the audio system.
  using AudioInputSource = std::function<std::shared_ptr<audio::AudioInput>()>;

  /// Time on the main queue's clock; the level ticks are placed on it.
  using Clock = std::function<dispatch::Duration()>;

  /// Recordings are written into `temporaryFolder`. `clock` defaults to the steady clock.
  AudioService(std::shared_ptr<RPCInterface> interface, AudioInputSource input, std::filesystem::path temporaryFolder,
               Clock clock = {});
  ~AudioService();
  AudioService(const AudioService&) = delete;
  AudioService& operator=(const AudioService&) = delete;

  void checkRecordingPermission(const std::string& requestID);
  void startRecording(const std::string& requestID);
  void stopRecording(const std::string& requestID);
  void startReportingLevels(const std::string& requestID);
  /// Stops the level tap (the recording, if any, goes on) and answers.
  void stopReportingLevels(const std::string& requestID);

  bool allowedToRecord() const { return allowedToRecord_; }
  /// The file of the latest recording.
  const std::optional<std::filesystem::path>& lastSoundUrl() const { return lastSoundUrl_; }

  /// How often a recording reports its level.
  static constexpr std::chrono::milliseconds kLevelInterval{50};

 private:
  audio::AudioInput& input();
  void scheduleLevel();
  void emitLevel();

  std::shared_ptr<RPCInterface> interface_;
  AudioInputSource inputSource_;
  std::shared_ptr<audio::AudioInput> input_;  // made on first use
  std::filesystem::path temporaryFolder_;
  Clock clock_;
  bool allowedToRecord_ = false;
  std::optional<std::filesystem::path> lastSoundUrl_;
  dispatch::WorkItem timer_;  // the next level tick of the running recording
  dispatch::Duration nextLevel_{};  // when it is due: ticks keep to a grid, so lateness never adds up
};

}  // namespace kestrom
