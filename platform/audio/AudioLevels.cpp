#include "platform/audio/AudioLevels.h"

#include <algorithm>
#include <cmath>

namespace kestrom::audio {

float meanSquare(std::span<const float> samples) {
  if (samples.empty()) return 0.0f;
  double sum = 0.0;  // a double keeps a long window's sum exact enough
  for (float s : samples) sum += static_cast<double>(s) * s;
  return static_cast<float>(sum / static_cast<double>(samples.size()));
}

float averagePowerDecibels(float meanSquare) {
  if (!(meanSquare > 0.0f)) return kMeterFloorDecibels;
  return std::clamp(10.0f * std::log10(meanSquare), kMeterFloorDecibels, 0.0f);
}

double recorderLevel(float averagePowerDecibels) {
  return static_cast<double>(std::pow(10.0f, averagePowerDecibels / 20.0f));
}

double tapLevel(float meanSquare) {
  return static_cast<double>(meanSquare / 12.0f) * 850.0;
}

}  // namespace kestrom::audio
