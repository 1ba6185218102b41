// What the virtual HID bus shows for each state of the simulated mouse, and the
// unplug and plug steps that take it there.
#include <gtest/gtest.h>

#include "virtualhid/MouseChildren.h"

namespace {

using simmouse::DeviceState;
using simmouse::MouseState;
using simmouse::Stage;
using vhid::Child;
using vhid::Identity;

Identity Id(uint16_t pid, uint16_t rev) {
  Identity id;
  id.vendorId = 0x7C3E;
  id.productId = pid;
  id.revision = rev;
  id.interfaceNumber = 2;
  return id;
}

// A multi-string literal with its inner terminators.
template <size_t N>
std::wstring Multi(const wchar_t (&text)[N]) {
  return std::wstring(text, N - 1);
}

MouseState State(DeviceState device, Stage stage = Stage::None) {
  MouseState s;
  s.state = device;
  s.stage = stage;
  s.mcuVersion = 0x0102;
  s.bootLoaderRevision = 0x0007;
  return s;
}

// Bytes of the input, output and feature reports of one report ID, as the
// HID class driver counts them: the ID byte and each main item's size times
// count.
struct ReportBytes {
  size_t input = 0, output = 0, feature = 0;
};
ReportBytes CountReportBytes(const std::vector<uint8_t>& d, uint8_t* reportId) {
  size_t bits[3] = {}, size = 0, count = 0;
  for (size_t i = 0; i < d.size();) {
    uint8_t prefix = d[i];
    size_t n = (prefix & 3) == 3 ? 4 : (prefix & 3);
    uint32_t value = 0;
    for (size_t k = 0; k < n; ++k) value |= static_cast<uint32_t>(d[i + 1 + k]) << (8 * k);
    switch (prefix & 0xFC) {
      case 0x74: size = value; break;           // Report Size
      case 0x94: count = value; break;          // Report Count
      case 0x84: *reportId = static_cast<uint8_t>(value); break;
      case 0x80: bits[0] += size * count; break;  // Input
      case 0x90: bits[1] += size * count; break;  // Output
      case 0xB0: bits[2] += size * count; break;  // Feature
    }
    i += 1 + n;
  }
  return {bits[0] / 8 + 1, bits[1] / 8 + 1, bits[2] / 8 + 1};
}

TEST(MouseChildren, EachStateShowsTheMouseAsItShowsItself) {
  struct Case {
    MouseState state;
    bool present;
    uint16_t pid, rev;
  } cases[] = {
      {State(DeviceState::Application), true, 0x5D1A, 0x0102},
      {State(DeviceState::BootLoader), true, 0x5E1A, 0x0007},
      {State(DeviceState::Writing, Stage::Mcu), true, 0x5E1A, 0x0007},
      {State(DeviceState::Verifying, Stage::Kestrel), true, 0x5D1A, 0x0102},
      {State(DeviceState::Unplugged), false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(simmouse::StateName(c.state.state));
    std::vector<Child> children = vhid::ChildrenFor(c.state);
    if (!c.present) {
      EXPECT_TRUE(children.empty());
      continue;
    }
    // Only the programming channel: one child, the 65-byte vendor interface.
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(children[0].identity, Id(c.pid, c.rev)) << vhid::Describe(children[0].identity);
    EXPECT_EQ(children[0].reportDescriptor, vhid::VendorReportDescriptor(65));
  }
}

TEST(MouseChildren, DescriptorGivesEachReportLengthWithItsReportId) {
  for (uint16_t length : {65, 9, 300}) {
    SCOPED_TRACE(length);
    uint8_t id = 0;
    std::vector<uint8_t> d = vhid::VendorReportDescriptor(length);
    ReportBytes bytes = CountReportBytes(d, &id);
    EXPECT_EQ(bytes.input, length);
    EXPECT_EQ(bytes.output, length);
    EXPECT_EQ(bytes.feature, length);
    EXPECT_EQ(id, vhid::kVendorReportId);
    EXPECT_EQ(std::vector<uint8_t>(d.begin(), d.begin() + 3), (std::vector<uint8_t>{0x06, 0x00, 0xFF}));
  }
}

TEST(MouseChildren, HardwareIdGivesIdentityFromItsFirstStringOnly) {
  Identity id;
  ASSERT_TRUE(vhid::ParseHardwareId(Multi(L"HID\\VID_7C3E&PID_5D1A&REV_0101&MI_02\0HID\\VID_1&PID_2\0"), &id));
  EXPECT_EQ(id, Id(0x5D1A, 0x0101));
  ASSERT_TRUE(vhid::ParseHardwareId(L"hid\\vid_7c3e&pid_5e1a&rev_00a1", &id));
  EXPECT_EQ(id.revision, 0x00A1);
  EXPECT_EQ(id.interfaceNumber, Identity::kNoInterface);
  EXPECT_FALSE(vhid::ParseHardwareId(Multi(L"HID\\VID_7C3E&PID_5D1A&MI_02\0HID\\REV_0101\0"), &id));
  EXPECT_FALSE(vhid::ParseHardwareId(L"HID\\VID_7C3E&PID_5D&REV_0101", &id));
}

TEST(MouseChildren, PlanUnplugsWhatIsNotWantedBeforePluggingWhatIsMissing) {
  Child app{Id(0x5D1A, 0x0101), vhid::VendorReportDescriptor(65), L""};
  Child newer{Id(0x5D1A, 0x0102), vhid::VendorReportDescriptor(65), L""};

  vhid::Plan arrive = vhid::PlanChanges({}, {app});
  EXPECT_TRUE(arrive.unplug.empty());
  ASSERT_EQ(arrive.plug.size(), 1u);
  EXPECT_EQ(arrive.plug[0].identity, app.identity);

  EXPECT_TRUE(vhid::PlanChanges({app.identity}, {app}).empty());

  vhid::Plan leave = vhid::PlanChanges({app.identity, Id(0x5E1A, 1)}, {});
  EXPECT_EQ(leave.unplug, (std::vector<Identity>{app.identity, Id(0x5E1A, 1)}));
  EXPECT_TRUE(leave.plug.empty());

  // A new revision is a new device: the old one goes, the new one comes.
  vhid::Plan update = vhid::PlanChanges({app.identity}, {newer, newer});
  EXPECT_EQ(update.unplug, std::vector<Identity>{app.identity});
  ASSERT_EQ(update.plug.size(), 1u);
  EXPECT_EQ(update.plug[0].identity, newer.identity);
}

}  // namespace
