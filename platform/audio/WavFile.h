#pragma once
// The recording's file, for the recorder and its fake alike: a new 16-bit PCM WAV file
// (44100 Hz, mono) opened for writing with libsndfile. Any thread.

#include <sndfile.h>

#include <filesystem>

#include "platform/Expected.h"
#include "platform/audio/AudioInput.h"

namespace kestrom::audio {

/// Creates (or empties) the WAV file at `path`; the caller closes it with sf_close.
Expected<SNDFILE*, AudioInputError> createWavFile(const std::filesystem::path& path);

}  // namespace kestrom::audio
