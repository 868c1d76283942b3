#include "platform/serial/UdevSerialPorts.h"

#include <libudev.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>

namespace kestrom::serial {

namespace {

struct UdevDeleter {
  void operator()(udev* u) const { udev_unref(u); }
  void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
  void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <class T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

std::optional<std::string> attribute(udev_device* device, const char* name) {
  const char* value = udev_device_get_sysattr_value(device, name);
  if (value == nullptr) return std::nullopt;
  std::string text(value);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// USB ids are four hex digits in sysfs ("0694" is 1684); anything else counts as absent.
std::optional<int> hexId(const std::optional<std::string>& text) {
  if (!text || text->empty() || text->size() > 4) return std::nullopt;
  int value = 0;
  const char* end = text->data() + text->size();
  auto [stop, error] = std::from_chars(text->data(), end, value, 16);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

std::string errorText(const char* what) {
  return std::string(what) + (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
}

}  // namespace

Expected<std::vector<SerialPort>, std::string> UdevSerialPorts::ports() {
  errno = 0;
  UdevPtr<udev> context(udev_new());
  if (!context) return makeUnexpected(errorText("cannot open udev"));
  UdevPtr<udev_enumerate> enumerate(udev_enumerate_new(context.get()));
  if (!enumerate) return makeUnexpected(errorText("cannot enumerate udev devices"));
  if (int rc = udev_enumerate_add_match_subsystem(enumerate.get(), "tty"); rc < 0) {
    return makeUnexpected(std::string("cannot match tty devices: ") + std::strerror(-rc));
  }
  if (int rc = udev_enumerate_scan_devices(enumerate.get()); rc < 0) {
    return makeUnexpected(std::string("cannot scan tty devices: ") + std::strerror(-rc));
  }

  std::vector<SerialPort> found;
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(enumerate.get())) {
    UdevPtr<udev_device> tty(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
    if (!tty) continue;  // gone since the scan
    const char* node = udev_device_get_devnode(tty.get());
    if (node == nullptr) continue;
    // Borrowed: the parent lives as long as its child.
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb", "usb_device");
    if (usb == nullptr) continue;
    SerialPort port;
    port.path = node;
    port.product = attribute(usb, "product");
    port.manufacturer = attribute(usb, "manufacturer");
    port.serialNumber = attribute(usb, "serial").value_or("");
    port.vendorId = hexId(attribute(usb, "idVendor"));
    port.productId = hexId(attribute(usb, "idProduct"));
    found.push_back(std::move(port));
  }
  return found;
}

}  // namespace kestrom::serial
