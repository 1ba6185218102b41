#include "virtualhid/MouseChildren.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>

namespace vhid {

namespace {

// Hexadecimal digits after `tag` (e.g. L"VID_") in the text, at most `digits`.
bool HexAfter(const std::wstring& text, const wchar_t* tag, int digits, uint32_t* value) {
  std::wstring upper(text);
  std::transform(upper.begin(), upper.end(), upper.begin(), [](wchar_t c) { return std::towupper(c); });
  size_t at = upper.find(tag);
  if (at == std::wstring::npos) return false;
  at += std::char_traits<wchar_t>::length(tag);
  uint32_t v = 0;
  int n = 0;
  for (; n < digits && at + n < upper.size() && std::iswxdigit(upper[at + n]); ++n) {
    wchar_t c = upper[at + n];
    v = v * 16 + static_cast<uint32_t>(c <= L'9' ? c - L'0' : c - L'A' + 10);
  }
  if (n != digits) return false;
  *value = v;
  return true;
}

}  // namespace

std::vector<uint8_t> VendorReportDescriptor(uint16_t reportLength) {
  uint16_t count = reportLength > 1 ? static_cast<uint16_t>(reportLength - 1) : 1;
  std::vector<uint8_t> d = {
      0x06, 0x00, 0xFF,        // Usage Page (vendor-defined 0xFF00)
      0x09, 0x01,              // Usage (1)
      0xA1, 0x01,              // Collection (Application)
      0x85, kVendorReportId,   //   Report ID
      0x15, 0x00,              //   Logical Minimum (0)
      0x26, 0xFF, 0x00,        //   Logical Maximum (255)
      0x75, 0x08,              //   Report Size (8 bits)
  };
  if (count <= 0xFF) {
    d.insert(d.end(), {0x95, static_cast<uint8_t>(count)});  // Report Count
  } else {
    d.insert(d.end(), {0x96, static_cast<uint8_t>(count & 0xFF), static_cast<uint8_t>(count >> 8)});
  }
  // A usage lasts for one main item, so each report names its own.
  d.insert(d.end(), {
                        0x09, 0x01, 0x81, 0x02,  //   Usage (1), Input (Data, Variable, Absolute)
                        0x09, 0x01, 0x91, 0x02,  //   Usage (1), Output (Data, Variable, Absolute)
                        0x09, 0x01, 0xB1, 0x02,  //   Usage (1), Feature (Data, Variable, Absolute)
                        0xC0,                    // End Collection
                    });
  return d;
}

bool ParseHardwareId(const std::wstring& hardwareIds, Identity* identity) {
  std::wstring first(hardwareIds.c_str());  // up to the first terminator
  uint32_t vid, pid, rev, mi;
  if (!HexAfter(first, L"VID_", 4, &vid) || !HexAfter(first, L"PID_", 4, &pid) || !HexAfter(first, L"REV_", 4, &rev))
    return false;
  identity->vendorId = static_cast<uint16_t>(vid);
  identity->productId = static_cast<uint16_t>(pid);
  identity->revision = static_cast<uint16_t>(rev);
  identity->interfaceNumber = HexAfter(first, L"MI_", 2, &mi) ? static_cast<uint8_t>(mi) : Identity::kNoInterface;
  return true;
}

std::vector<Child> ChildrenFor(const simmouse::MouseState& state) {
  std::vector<Child> children;
  for (const simmouse::HidInterface& hi : simmouse::PresentInterfaces(state)) {
    if (!hi.writable || hi.featureReportLength != simmouse::kVendorFeatureLength) continue;
    Child child;
    if (!ParseHardwareId(hi.hardwareIds, &child.identity)) continue;
    child.reportDescriptor = VendorReportDescriptor(hi.featureReportLength);
    child.location = hi.locationInfo;
    children.push_back(child);
  }
  return children;
}

Plan PlanChanges(const std::vector<Identity>& present, const std::vector<Child>& wanted) {
  Plan plan;
  for (const Identity& p : present) {
    bool keep = std::any_of(wanted.begin(), wanted.end(), [&](const Child& w) { return w.identity == p; });
    if (!keep) plan.unplug.push_back(p);
  }
  for (const Child& w : wanted) {
    bool there = std::find(present.begin(), present.end(), w.identity) != present.end();
    bool queued = std::any_of(plan.plug.begin(), plan.plug.end(), [&](const Child& c) { return c.identity == w.identity; });
    if (!there && !queued) plan.plug.push_back(w);
  }
  return plan;
}

std::string Describe(const Identity& identity) {
  char text[48];
  if (identity.interfaceNumber == Identity::kNoInterface)
    std::snprintf(text, sizeof text, "%04X/%04X rev %04X", identity.vendorId, identity.productId, identity.revision);
  else
    std::snprintf(text, sizeof text, "%04X/%04X rev %04X MI_%02X", identity.vendorId, identity.productId,
                  identity.revision, identity.interfaceNumber);
  return text;
}

}  // namespace vhid
