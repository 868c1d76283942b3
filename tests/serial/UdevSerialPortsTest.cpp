// Runs under umockdev's preload library (see CMakeLists.txt): udev, /sys and /dev are the
// testbed's, and each emulated tty is a pseudo-terminal whose master end the testbed hands us.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <umockdev.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/serial/SerialStream.h"
#include "platform/serial/UdevSerialPorts.h"
#include "tests/serial/StreamRecorder.h"

namespace kestrom::serial {
namespace {

using namespace testing;
using namespace std::chrono_literals;

class UdevSerialPortsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testbed_ = umockdev_testbed_new();  // the check below answers true only once a testbed exists
    ASSERT_TRUE(umockdev_in_mock_environment())
        << "run through CTest, or with LD_PRELOAD=libumockdev-preload.so.0";
  }
  void TearDown() override {
    if (testbed_ != nullptr) g_object_unref(testbed_);
  }

  // A USB device `usbName` with the given sysfs attributes (name, value, ..., nullptr), and its
  // serial port `tty` below an interface of it. Returns the port's syspath.
  template <class... Attributes>
  std::string addUsbPort(const std::string& usbName, const std::string& tty, Attributes... attributes) {
    gchar* usb = umockdev_testbed_add_device(testbed_, "usb", usbName.c_str(), nullptr, attributes..., nullptr,
                                             "DEVTYPE", "usb_device", nullptr);
    EXPECT_NE(usb, nullptr);
    const std::string usbPath = usb == nullptr ? "" : usb;
    g_free(usb);
    const std::string ttyPath = usbPath + "/" + usbName + ":1.0/tty/" + tty;
    addFromString("P: " + ttyPath.substr(std::string("/sys").size()) + "\nN: " + tty +
                  "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + tty + "\n");
    return ttyPath;
  }
  void addFromString(const std::string& description) {
    GError* error = nullptr;
    EXPECT_TRUE(umockdev_testbed_add_from_string(testbed_, description.c_str(), &error))
        << (error != nullptr ? error->message : "");
    if (error != nullptr) g_error_free(error);
  }
  std::vector<SerialPort> portsByPath() {
    auto ports = UdevSerialPorts().ports();
    EXPECT_TRUE(ports) << ports.error();
    std::vector<SerialPort> sorted = ports.value_or(std::vector<SerialPort>{});
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
    return sorted;
  }

  UMockdevTestbed* testbed_ = nullptr;
};

TEST_F(UdevSerialPortsTest, ListsTtysOfUsbDevicesWithTheUsbDevicesOwnAttributes) {
  EXPECT_TRUE(portsByPath().empty());  // nothing plugged in is no ports, not an error

  addUsbPort("1-1", "ttyACM0", "idVendor", "0abc", "idProduct", "12EF", "serial", "00A1B2C3D4",
             "manufacturer", "Kestrom Test Devices", "product", "Test Hub");
  // No serial number, no names, an id that is not hex: still a port, with those left out.
  addUsbPort("1-2", "ttyACM1", "idVendor", "0001", "idProduct", "zz");
  // A serial port on the mainboard has no USB device above it.
  addFromString("P: /devices/platform/serial8250/tty/ttyS0\nN: ttyS0\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyS0\n");

  const std::vector<SerialPort> expected{
      {.path = "/dev/ttyACM0", .product = "Test Hub", .manufacturer = "Kestrom Test Devices",
       .serialNumber = "00A1B2C3D4", .vendorId = 0x0abc, .productId = 0x12ef},
      {.path = "/dev/ttyACM1", .product = std::nullopt, .manufacturer = std::nullopt, .serialNumber = "",
       .vendorId = 1, .productId = std::nullopt},
  };
  EXPECT_EQ(portsByPath(), expected);
}

TEST_F(UdevSerialPortsTest, AStreamOnTheEmulatedPortExchangesBytesAndEndsOnceWhenUnplugged) {
  const std::string syspath = addUsbPort("1-1", "ttyACM0", "idVendor", "0abc", "idProduct", "0001", "serial", "S1");
  const std::vector<SerialPort> ports = portsByPath();
  ASSERT_EQ(ports.size(), 1u);
  const int master = umockdev_testbed_get_dev_fd(testbed_, "/dev/ttyACM0");
  ASSERT_GE(master, 0);

  StreamRecorder recorder;
  auto opened = SerialStream::open(ports[0].path, SerialStream::kDefaultBaudRate, recorder.handlers());
  ASSERT_TRUE(opened) << opened.error();
  std::shared_ptr<SerialStream> stream = *opened;

  const std::string toHost("\x0D\x0A\x03\x7F\x00\xFF", 6);
  ASSERT_TRUE(writeAll(master, toHost));
  ASSERT_TRUE(recorder.waitForData(toHost.size()));
  EXPECT_EQ(recorder.data(), toHost);
  const std::string toDevice("\xFF\x00\x7F\x03\x0A\x0D", 6);
  stream->write(toDevice, recorder.completion("out"));
  EXPECT_EQ(readCount(master, toDevice.size()), toDevice);

  // Unplugging: the device leaves udev, and its end of the line goes away. The testbed keeps
  // the master descriptor until it is freed, so /dev/null takes the master's place under the same
  // number; that closes the pseudo-terminal's master and leaves the testbed a valid fd to close.
  umockdev_testbed_uevent(testbed_, syspath.c_str(), "remove");
  umockdev_testbed_remove_device(testbed_, syspath.c_str());
  const int nullFd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  ASSERT_GE(nullFd, 0);
  ASSERT_EQ(::dup2(nullFd, master), master);
  ::close(nullFd);
  ASSERT_TRUE(recorder.waitUntil([](const StreamRecorder& r) { return r.closedCountLocked() == 1; }));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(recorder.closedReasons().size(), 1u);
  EXPECT_EQ(recorder.completions(), (std::vector<std::string>{"out: ok"}));
  stream->close();
  EXPECT_TRUE(portsByPath().empty());
}

}  // namespace
}  // namespace kestrom::serial
