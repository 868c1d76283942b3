#pragma once
// Raw capture files for SDL's "disk" audio driver, which reads signed 16-bit samples in the
// device's format (here mono, 44100 Hz) and paces each 1024-frame buffer by SDL_DISKAUDIODELAY
// milliseconds; past the end of the file it captures silence.

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <vector>

namespace kestrom::audio::testing {

inline constexpr double kSineAmplitude = 16000.0;  // of 32768: 0.488 of full scale

inline void writeRaw(const std::filesystem::path& path, const std::vector<std::int16_t>& samples) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(samples.data()),
            static_cast<std::streamsize>(samples.size() * sizeof(std::int16_t)));
}

inline std::vector<std::int16_t> sine(double hertz, double seconds) {
  std::vector<std::int16_t> samples(static_cast<std::size_t>(seconds * 44100));
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const double t = static_cast<double>(i) / 44100.0;
    samples[i] = static_cast<std::int16_t>(std::lround(kSineAmplitude * std::sin(2 * std::numbers::pi * hertz * t)));
  }
  return samples;
}

}  // namespace kestrom::audio::testing
