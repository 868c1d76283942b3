#pragma once
// The two level scales the page receives. The recorder's meter works in decibels and is turned
// back into an amplitude: level = 10^(dB / 20), so it reads as the RMS of the window (silence
// gives the -160 dB floor, 1e-8). The tap scales the plain mean of squares of a block:
// level = (meanSquare / 12) * 850. A sine of amplitude 0.488 reads about 0.345 on the first and
// 8.44 on the second; silence reads 0 on the tap.

#include <span>

namespace kestrom::audio {

inline constexpr float kMeterFloorDecibels = -160.0f;

/// Mean of the squares of `samples`; 0 for none.
float meanSquare(std::span<const float> samples);
/// 10 * log10(meanSquare), held between kMeterFloorDecibels and 0.
float averagePowerDecibels(float meanSquare);
/// The recorder's level: 10^(dB / 20) in single precision, widened.
double recorderLevel(float averagePowerDecibels);
/// The tap's level: (meanSquare / 12) in single precision, widened, times 850.
double tapLevel(float meanSquare);

}  // namespace kestrom::audio
