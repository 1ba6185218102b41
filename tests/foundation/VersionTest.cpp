#include <gtest/gtest.h>

#include "device/Version.h"
#include "tests/support/FakeMainView.h"

namespace {

struct RevisionCase {
  const wchar_t* hardwareIds;
  size_t length;  // including embedded terminators
  const wchar_t* revision;
};

TEST(DeviceRevision, TakesUpToFourCharactersAfterRevInTheFirstHardwareIdOnly) {
  static const wchar_t kMulti[] = L"HID\\VID_7C3E&PID_5D1A&MI_02\0HID\\VID_7C3E&PID_5D1A&REV_0102&MI_02\0";
  const RevisionCase cases[] = {
      {L"HID\\VID_7C3E&PID_5D1A&REV_0102&MI_02", 0, L"0102"},
      {L"HID\\VID_7C3E&PID_5D1A&REV_12", 0, L"12"},
      {L"HID\\VID_7C3E&PID_5D1A&Rev_0102&MI_02", 0, L"0102"},
      {L"HID\\VID_7C3E&PID_5D1A&REV_0102&MI_02&COL01", 0, L"0102"},
      {L"HID\\VID_7C3E&PID_5D1A&MI_02", 0, L""},
      {kMulti, sizeof kMulti / sizeof(wchar_t), L""},  // the revision sits in the second string
      {L"", 0, L""},
  };
  for (const auto& c : cases) EXPECT_EQ(GetDeviceRevision(c.hardwareIds), c.revision) << c.hardwareIds;
  EXPECT_EQ(GetDeviceRevision(nullptr), L"");
}

TEST(DeviceRevision, ReadsTheDecimalDigitsAndKeepsSixteenBits) {
  EXPECT_EQ(RevisionToNumber(L"0102"), 102u);
  EXPECT_EQ(RevisionToNumber(L"0100"), 100u);
  EXPECT_EQ(RevisionToNumber(L"01A0"), 1u);
  EXPECT_EQ(RevisionToNumber(L""), 0u);
  EXPECT_EQ(RevisionToNumber(L" 12"), 12u);
  EXPECT_EQ(RevisionToNumber(L"-1"), 0xFFFFu);
  EXPECT_EQ(RevisionToNumber(L"70000"), 70000u & 0xFFFFu);
}

TEST(VersionFormat, ShowsOneHexNibblePerPlace) {
  EXPECT_EQ(FormatDeviceVersion(0x0102), L"0.1.0.2");
  EXPECT_EQ(FormatDeviceVersion(0xABCD1234), L"1.2.3.4");
  EXPECT_EQ(FormatFileVersion(0x00010002), L"0.1.0.2");
  EXPECT_EQ(FormatFileVersion(0x01020304), L"1.2.3.4");
  EXPECT_EQ(FormatFileVersion(0x12345678), L"2.4.6.8");
  EXPECT_EQ(FormatFileVersion(0x000A0B0C), L"0.A.B.C");
}

TEST(VersionCompare, ReadsThePackageDigitsAsOneDecimalNumber) {
  EXPECT_EQ(FileVersionToNumber(0x00010002), 102);
  EXPECT_EQ(FileVersionToNumber(0x000A0001), 0);
  EXPECT_EQ(FileVersionToNumber(0x01000204), 1024);
  EXPECT_EQ(FileVersionToNumber(0x11101214), 1024);  // only the low nibbles count
  EXPECT_EQ(FileVersionToNumber(0x01000A03), 10);
  EXPECT_EQ(FileVersionToNumber(0), 0);

  EXPECT_TRUE(IsPackageNewer(101, 0x00010002));
  EXPECT_FALSE(IsPackageNewer(102, 0x00010002));
  EXPECT_FALSE(IsPackageNewer(103, 0x00010002));
  EXPECT_TRUE(IsPackageNewer(1023, 0x01000204));
  EXPECT_FALSE(IsPackageNewer(1024, 0x01000204));
  EXPECT_FALSE(IsPackageNewer(1023, 0x01000A03));
  EXPECT_FALSE(IsPackageNewer(0, 0));
}

TEST(VersionText, DotsFourCharacterTextsAndShowsOthersUnchanged) {
  FakeMainView view;
  const std::pair<const wchar_t*, const wchar_t*> cases[] = {
      {L"0102", L"0.1.0.2"}, {L"01A0", L"0.1.A.0"}, {L"12", L"12"},
      {L"", L""},            {L"1.2.3.4", L"1.2.3.4"}, {L"12345", L"12345"},
  };
  for (const auto& c : cases) {
    SetVersionText(view, 1009, c.first);
    EXPECT_EQ(view.Text(1009), c.second) << c.first;
  }
}

}  // namespace
