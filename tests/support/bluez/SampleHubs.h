#pragma once
// The hubs the Bluetooth tests put on the fake BlueZ: the hub service and characteristic, a
// battery service without it, an LE hub as it advertises and a classic (BR/EDR) hub as an
// inquiry finds it.

#include "tests/support/bluez/FakeBluez.h"

namespace kestrom::testing {

inline constexpr const char* kHubService = "00001623-1212-efde-1623-785feabcd123";
inline constexpr const char* kHubCharacteristic = "00001624-1212-efde-1623-785feabcd123";
inline constexpr const char* kBatteryService = "0000180f-0000-1000-8000-00805f9b34fb";
inline constexpr const char* kBatteryLevel = "00002a19-0000-1000-8000-00805f9b34fb";
inline constexpr const char* kLeHubAddress = "90:84:2B:01:02:03";
inline constexpr const char* kClassicHubAddress = "00:16:53:AA:BB:CC";

/// An LE hub with its manufacturer data, name and signal; the hub characteristic sits on its
/// second service, behind one without it.
inline FakeDevice sampleLeHub() {
  FakeDevice d;
  d.address = kLeHubAddress;
  d.name = "Technic Hub";
  d.rssi = -48;
  d.manufacturerData = {{0x0397, {0x00, 0x80, 0x06, 0x00, 0x61, 0x00}}};
  d.uuids = {kHubService};
  d.services = {{kBatteryService, {{kBatteryLevel, {"read", "notify"}}}},
                {kHubService, {{kHubCharacteristic, {"write", "notify"}}}}};
  return d;
}

/// A classic hub: a BR/EDR device with its name and class of device (a toy).
inline FakeDevice sampleClassicHub() {
  FakeDevice d;
  d.address = kClassicHubAddress;
  d.name = "NXT";
  d.lowEnergy = false;
  d.deviceClass = 0x000804;
  return d;
}

}  // namespace kestrom::testing
