#include <gtest/gtest.h>

#include "resources/resource.h"
#include "tests/support/FakeHidBackend.h"
#include "tests/support/FakeMainView.h"
#include "ui/MainDialogLogic.h"
#include "update/Progress.h"

namespace {

const wchar_t kMousePath[] =
    L"\\\\?\\hid#vid_7c3e&pid_5d1a&mi_02#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
const wchar_t kMouseCol2Path[] =
    L"\\\\?\\hid#vid_7c3e&pid_5d1a&mi_02&col02#7&1a2b3c4d&0&0001#{4d1e55b2-f16f-11cf-88cb-001111000030}";
const wchar_t kMouseMi00Path[] =
    L"\\\\?\\hid#vid_7c3e&pid_5d1a&mi_00#7&aa&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";
const wchar_t kOtherPath[] = L"\\\\?\\hid#vid_046d&pid_c077#6&1&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}";

std::wstring Ids(const wchar_t* rev) {
  std::wstring first = std::wstring(L"HID\\VID_7C3E&PID_5D1A&REV_") + rev + L"&MI_02";
  return first + L'\0' + L"HID\\VID_7C3E&PID_5D1A&MI_02" + L'\0';
}

class DeviceLogicTest : public ::testing::Test {
 protected:
  DeviceLogicTest() {
    settings.m_strVid = L"7C3E";
    settings.m_strPid = L"5D1A";
    settings.RebuildDevicePattern();
  }
  void SetUp() override {
    g_iUpdateState = 0;
    g_bScanning = false;
  }
  void Add(const wchar_t* path, const std::wstring& ids, USHORT feature = 65, bool opens = true) {
    FakeHidBackend::Device d;
    d.path = path;
    d.hardwareIds = ids;
    d.featureLength = feature;
    d.opensForWrite = opens;
    hid.devices.push_back(d);
  }
  size_t ReadyLooks() {
    size_t n = 0;
    for (auto& l : view.looks) n += l.normal == IDB_PNG_READY && l.text == RGB(255, 255, 255);
    return n;
  }

  FakeMainView view;
  CDeviceSettings settings;
  FakeHidBackend hid;
  CMainDialogLogic logic{view, settings, hid};
};

TEST_F(DeviceLogicTest, RecordsTheFirstMatchingInterfaceThatOpensAndShowsItReady) {
  Add(kOtherPath, L"HID\\VID_046D&PID_C077&REV_0500");
  Add(kMouseMi00Path, L"HID\\VID_7C3E&PID_5D1A&REV_0101&MI_00");
  Add(kMousePath, Ids(L"0101"));
  logic.ScanDevices();
  EXPECT_EQ(logic.m_strDevicePath,
            L"\\\\?\\HID#VID_7C3E&PID_5D1A&MI_02#7&1A2B3C4D&0&0000#{4D1E55B2-F16F-11CF-88CB-001111000030}");
  EXPECT_EQ(hid.opened.back(), kMousePath);  // opened as enumerated, not upper-cased
  EXPECT_EQ(logic.m_strDeviceVersion, L"0101");
  EXPECT_EQ(logic.m_dwDeviceVersion, 101u);
  EXPECT_EQ(view.Text(IDC_DEVICE_VERSION), L"0.1.0.1");
  EXPECT_TRUE(view.updateEnabled);
  EXPECT_EQ(ReadyLooks(), 1u);
  EXPECT_EQ(hid.openHandles, 0);  // opened only to read the capabilities
  EXPECT_EQ(logic.m_DeviceList.m_hDevice, INVALID_HANDLE_VALUE);
}

TEST_F(DeviceLogicTest, AnInterfaceThatIsNotAcceptedStillSuppliesTheVersion) {
  Add(kMouseCol2Path, Ids(L"0101"), 8);          // feature length not accepted
  Add(kMousePath, Ids(L"0102"), 64, false);      // cannot be opened for writing
  logic.ScanDevices();
  EXPECT_TRUE(logic.m_strDevicePath.empty());
  EXPECT_EQ(logic.m_dwDeviceVersion, 102u);  // the last matching entry decides
  EXPECT_FALSE(view.updateEnabled);
  EXPECT_EQ(hid.openHandles, 0);
}

TEST_F(DeviceLogicTest, OnlyOneCollectionIsRecordedPerScanAndFeatureLengthZeroIsAccepted) {
  Add(kMouseCol2Path, Ids(L"0101"), 0);
  Add(kMousePath, Ids(L"0101"), 65);
  logic.ScanDevices();
  EXPECT_NE(logic.m_strDevicePath.find(L"COL02"), std::wstring::npos);
  EXPECT_EQ(ReadyLooks(), 1u);
}

TEST_F(DeviceLogicTest, LowerCaseConfiguredIdsNeverMatchTheUpperCasedPath) {
  settings.m_strVid = L"7c3e";
  settings.RebuildDevicePattern();
  Add(kMousePath, Ids(L"0101"));
  logic.m_dwDeviceVersion = 77;  // what the package query left
  logic.ScanDevices();
  EXPECT_EQ(logic.m_dwDeviceVersion, 77u);
  EXPECT_TRUE(logic.m_strDevicePath.empty());
}

TEST_F(DeviceLogicTest, NoRevisionMeansNoVersionAndAScanDuringAScanChecksNothing) {
  Add(kMousePath, L"HID\\VID_7C3E&PID_5D1A&MI_02");
  logic.ScanDevices();
  EXPECT_EQ(logic.m_dwDeviceVersion, 0u);
  EXPECT_EQ(logic.m_strDeviceVersion, L"");

  g_bScanning = true;
  int before = hid.enumerations;
  logic.ScanDevices();
  EXPECT_EQ(hid.enumerations, before);
  g_bScanning = false;
}

TEST_F(DeviceLogicTest, ListHoldsAtMost127EntriesAndSkipsPathsThatDoNotFit) {
  std::wstring longPath = std::wstring(L"\\\\?\\hid#vid_7c3e&pid_5d1a&mi_02#") + std::wstring(240, L'x');
  Add(longPath.c_str(), Ids(L"0909"));  // 272 characters: skipped, not cut
  for (int i = 0; i < 130; ++i) Add(kOtherPath, L"HID\\X");
  CHidDeviceList list(hid);
  list.EnumerateDevices(kHidInterfaceClass);
  EXPECT_EQ(list.m_nDevices, 127);
  EXPECT_STREQ(list.m_aDevices[0].szDevicePath, kOtherPath);
  EXPECT_TRUE(list.m_aDevices[0].guidInterfaceClass == kHidInterfaceClass);
}

TEST_F(DeviceLogicTest, UnplugAndReplugWhileIdleSwitchBetweenAbsentAndReady) {
  Add(kMousePath, Ids(L"0101"));
  logic.ScanDevices();
  logic.HandleDeviceChange(0x8004, 5, kMousePath);
  EXPECT_EQ(view.Text(IDC_DEVICE_VERSION), L"");
  EXPECT_FALSE(view.updateEnabled);
  EXPECT_EQ(view.looks.back().normal, (UINT)IDB_PNG_INACTIVE);
  EXPECT_EQ(view.looks.back().text, RGB(176, 176, 176));
  EXPECT_EQ(logic.m_dwDeviceVersion, 101u);  // a removal keeps the number

  hid.devices[0].hardwareIds = Ids(L"0102");
  logic.HandleDeviceChange(0x8000, 5, kMousePath);
  EXPECT_EQ(view.Text(IDC_DEVICE_VERSION), L"0.1.0.2");
  EXPECT_TRUE(view.updateEnabled);
}

TEST_F(DeviceLogicTest, OtherDevicesAndOtherBroadcastTypesCauseNoScan) {
  Add(kMousePath, Ids(L"0101"));
  int before = hid.enumerations;
  logic.HandleDeviceChange(0x8000, 5, kOtherPath);
  logic.HandleDeviceChange(0x8000, 2 /* volume */, kMousePath);
  logic.HandleDeviceChange(0x8000, 5, nullptr);
  logic.HandleDeviceChange(0x0007, 5, kMousePath);
  logic.HandleDeviceChange(0x8004, 3 /* port */, kMousePath);
  EXPECT_EQ(hid.enumerations, before);
  EXPECT_TRUE(view.looks.empty());
  // The boot loader's identity does not match the application pattern.
  logic.HandleDeviceChange(0x8000, 5, L"\\\\?\\HID#VID_7C3E&PID_5E1A&MI_02#1");
  EXPECT_EQ(hid.enumerations, before);
}

TEST_F(DeviceLogicTest, AMatchingArrivalWithoutAMatchingEntryStillShowsReady) {
  logic.m_strDeviceVersion = L"0101";
  logic.HandleDeviceChange(0x8000, 5, kMousePath);
  EXPECT_EQ(view.Text(IDC_DEVICE_VERSION), L"0.1.0.1");
  EXPECT_TRUE(view.updateEnabled);
}

TEST_F(DeviceLogicTest, DuringAnUpdateArrivalsScanButLeaveTheWindowAndRemovalsAreIgnored) {
  // Its interface does not open at start-up: first recorded during the update,
  // which must not offer Update.
  Add(kMousePath, Ids(L"0101"), 65, false);
  logic.ScanDevices();
  size_t looks = view.looks.size();
  g_iUpdateState = 7;
  hid.devices[0].hardwareIds = Ids(L"0102");
  hid.devices[0].opensForWrite = true;
  int before = hid.enumerations;
  logic.HandleDeviceChange(0x8000, 5, kMousePath);
  EXPECT_EQ(hid.enumerations, before + 1);
  EXPECT_EQ(logic.m_dwDeviceVersion, 102u);
  EXPECT_FALSE(logic.m_strDevicePath.empty());
  logic.HandleDeviceChange(0x8004, 5, kMousePath);
  EXPECT_EQ(view.looks.size(), looks);
  EXPECT_FALSE(view.updateEnabled);
  EXPECT_EQ(view.Text(IDC_DEVICE_VERSION), L"");
}

TEST_F(DeviceLogicTest, AfterTheUpdateIsOverDeviceChangesDoNothing) {
  Add(kMousePath, Ids(L"0101"));
  g_iUpdateState = 255;
  logic.HandleDeviceChange(0x8000, 5, kMousePath);
  logic.HandleDeviceChange(0x8004, 5, kMousePath);
  EXPECT_EQ(hid.enumerations, 0);
  EXPECT_TRUE(view.looks.empty());
  g_iUpdateState = 0;
}

TEST_F(DeviceLogicTest, TheSameDeviceReturningIsNotRecordedAgainButRefreshesTheVersion) {
  Add(kMousePath, Ids(L"0101"));
  logic.ScanDevices();
  hid.devices[0].path = kMouseCol2Path;  // back on another path
  hid.devices[0].hardwareIds = Ids(L"0103");
  size_t opened = hid.opened.size();
  logic.ScanDevices();
  EXPECT_EQ(hid.opened.size(), opened);
  EXPECT_EQ(logic.m_dwDeviceVersion, 103u);
  EXPECT_EQ(ReadyLooks(), 1u);
}

}  // namespace
