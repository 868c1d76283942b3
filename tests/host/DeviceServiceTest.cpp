// The machine's model name from files laid out as the firmware's sysfs entry and the device tree
// show it: which source wins, what is trimmed, and every case that falls back to "Unknown Mac".

#include "KestromKit/host/DeviceService.h"

#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/TempFolder.h"

namespace kestrom {
namespace {

namespace fs = std::filesystem;

class DeviceServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(folder_.empty()); }

  fs::path write(const std::string& name, const std::string& bytes) {
    auto file = folder_ / name;
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }
  std::string model(const fs::path& productName, const fs::path& deviceTree) const {
    return DeviceService(productName, deviceTree).macModelName();
  }

  test::TempFolder temp_{"kestrom-device"};
  const fs::path& folder_ = temp_.path();
};

TEST_F(DeviceServiceTest, TheFirmwaresProductNameWinsWithItsNewlineTrimmed) {
  auto product = write("product_name", "ThinkPad X1 Carbon Gen 9\n");
  auto tree = write("model", std::string("Raspberry Pi 4 Model B Rev 1.4\0", 31));
  EXPECT_EQ(model(product, tree), "ThinkPad X1 Carbon Gen 9");
}

TEST_F(DeviceServiceTest, TheDeviceTreesModelServesWithoutAProductNameAndLosesItsNul) {
  auto tree = write("model", std::string("Raspberry Pi 4 Model B Rev 1.4\0", 31));
  EXPECT_EQ(model(folder_ / "absent", tree), "Raspberry Pi 4 Model B Rev 1.4");
  // An empty or blank product name counts as none.
  EXPECT_EQ(model(write("blank", "\n\t\n"), tree), "Raspberry Pi 4 Model B Rev 1.4");
}

TEST_F(DeviceServiceTest, EverythingElseIsUnknownMac) {
  const std::string unknown = "Unknown Mac";
  EXPECT_EQ(DeviceService::kUnknownModel, unknown);
  EXPECT_EQ(model(folder_ / "absent", folder_ / "absent too"), unknown);
  EXPECT_EQ(model(write("latin1", "Caf\xe9 PC\n"), folder_ / "absent"), unknown) << "not UTF-8";
  EXPECT_EQ(model(write("nul", std::string("\0\0", 2)), write("empty", "")), unknown);
  EXPECT_EQ(model(folder_, folder_ / "absent"), unknown) << "a folder is no model";
  EXPECT_EQ(model(write("inner", std::string(" Box\x01 1\n", 8)), folder_ / "absent"), " Box\x01 1")
      << "only the ends are trimmed of control characters";
}

TEST_F(DeviceServiceTest, ByDefaultItReadsTheFirmwaresSysfsEntryAndTheDeviceTree) {
  EXPECT_EQ(DeviceService().macModelName(),
            machineModelName("/sys/class/dmi/id/product_name", "/proc/device-tree/model"));
}

}  // namespace
}  // namespace kestrom
