#include "platform/audio/AudioLevels.h"

#include <gtest/gtest.h>

#include <vector>

#include "AudioTestSupport.h"

namespace kestrom::audio {
namespace {

TEST(AudioLevelsTest, SineAndSilenceReadOnBothScales) {
  const auto raw = testing::sine(440, 1.0);
  std::vector<float> samples;
  for (auto s : raw) samples.push_back(static_cast<float>(s) / 32768.0f);
  const float ms = meanSquare(samples);
  EXPECT_NEAR(ms, 0.1192, 0.0005);  // A^2 / 2
  EXPECT_NEAR(recorderLevel(averagePowerDecibels(ms)), 0.3453, 0.001);
  EXPECT_NEAR(tapLevel(ms), 8.444, 0.03);

  const std::vector<float> silence(1024, 0.0f);
  EXPECT_EQ(meanSquare(silence), 0.0f);
  EXPECT_EQ(averagePowerDecibels(meanSquare(silence)), kMeterFloorDecibels);
  EXPECT_NEAR(recorderLevel(kMeterFloorDecibels), 1e-8, 1e-12);
  EXPECT_EQ(tapLevel(0.0f), 0.0);
  EXPECT_EQ(meanSquare({}), 0.0f);

  EXPECT_EQ(averagePowerDecibels(1.0f), 0.0f);
  EXPECT_EQ(averagePowerDecibels(4.0f), 0.0f);  // above full scale is held at 0 dB
  EXPECT_FLOAT_EQ(averagePowerDecibels(0.01f), -20.0f);
  EXPECT_FLOAT_EQ(static_cast<float>(recorderLevel(-20.0f)), 0.1f);
  EXPECT_DOUBLE_EQ(tapLevel(1.2f), static_cast<double>(1.2f / 12.0f) * 850.0);
}

}  // namespace
}  // namespace kestrom::audio
