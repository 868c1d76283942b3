#include "platform/bluetooth/BluetoothTypes.h"

#include <cctype>

#include "platform/AsciiCase.h"

namespace kestrom::bluetooth {

const char* adapterStateName(AdapterState state) {
  switch (state) {
    case AdapterState::poweredOn:
      return "powered on";
    case AdapterState::poweredOff:
      return "powered off";
    case AdapterState::missing:
      return "missing";
  }
  return "unknown";
}

namespace {

bool allHex(std::string_view text) {
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return !text.empty();
}

}  // namespace

std::optional<std::string> normalizeUuid(std::string_view text) {
  constexpr std::string_view kBaseTail = "-0000-1000-8000-00805f9b34fb";
  if (text.size() == 4 && allHex(text)) {
    return "0000" + asciiLowercased(text) + std::string(kBaseTail);
  }
  if (text.size() == 8 && allHex(text)) {
    return asciiLowercased(text) + std::string(kBaseTail);
  }
  if (text.size() != 36) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? text[i] != '-' : !std::isxdigit(static_cast<unsigned char>(text[i]))) {
      return std::nullopt;
    }
  }
  return asciiLowercased(text);
}

}  // namespace kestrom::bluetooth
