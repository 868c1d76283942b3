#include "platform/audio/WavFile.h"

namespace kestrom::audio {

Expected<SNDFILE*, AudioInputError> createWavFile(const std::filesystem::path& path) {
  SF_INFO info{};
  info.samplerate = kSampleRate;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (file == nullptr) return makeUnexpected(AudioInputError{AudioInputError::Kind::fileNotCreated, sf_strerror(nullptr)});
  return file;
}

}  // namespace kestrom::audio
