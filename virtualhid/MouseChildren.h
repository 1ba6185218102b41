#pragma once
// What the virtual HID bus should show for the simulated mouse, and the steps
// that take the bus from what it shows now to that. Portable: the host program
// applies the steps under Windows; the tests check them natively.
#include <cstdint>
#include <string>
#include <vector>

#include "simmouse/SimMouse.h"

namespace vhid {

// What makes one child of the bus itself (the bus's VHID_IDENTITY).
struct Identity {
  static constexpr uint8_t kNoInterface = 0xFF;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  uint16_t revision = 0;
  uint8_t interfaceNumber = kNoInterface;

  bool operator==(const Identity& o) const {
    return vendorId == o.vendorId && productId == o.productId && revision == o.revision &&
           interfaceNumber == o.interfaceNumber;
  }
  bool operator!=(const Identity& o) const { return !(*this == o); }
};

// One report on its way to or from a child: the report ID first, then its
// bytes (the bus's VHID_REPORT).
struct Report {
  Identity identity;
  std::vector<uint8_t> data;
};

struct Child {
  Identity identity;
  std::vector<uint8_t> reportDescriptor;
  std::wstring location;
};

// Report ID of the vendor interface's reports.
constexpr uint8_t kVendorReportId = 1;

// A vendor-defined collection with an input, an output and a feature report
// under one report ID, each of `reportLength` bytes counting the ID (so the
// HID class driver gives that as the Input-, Output- and
// FeatureReportByteLength).
std::vector<uint8_t> VendorReportDescriptor(uint16_t reportLength);

// Vendor, product, revision and interface from a hardware ID such as
// HID\VID_7C3E&PID_5D1A&REV_0101&MI_02 (only its first string is read);
// false when vendor, product or revision is missing.
bool ParseHardwareId(const std::wstring& hardwareIds, Identity* identity);

// The children that show the mouse as it shows itself: its programming
// channel (the interface that opens for writing with the vendor feature
// length) under its current identity; none while it is unplugged.
std::vector<Child> ChildrenFor(const simmouse::MouseState& state);

// From the children present to the children wanted: every present child that
// is not wanted is unplugged, then every wanted child that is not present is
// plugged; a child in both stays.
struct Plan {
  std::vector<Identity> unplug;
  std::vector<Child> plug;
  bool empty() const { return unplug.empty() && plug.empty(); }
};
Plan PlanChanges(const std::vector<Identity>& present, const std::vector<Child>& wanted);

// "7C3E/5D1A rev 0101 MI_02", for the host's log.
std::string Describe(const Identity& identity);

}  // namespace vhid
