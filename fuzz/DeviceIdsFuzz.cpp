// Strings a USB device chooses: interface paths and hardware IDs as the scan
// reads them, and the names of arrivals and removals, through the logic that
// records the mouse and reads its revision.
#include <cstddef>
#include <cstdint>
#include <string>

#include "device/Version.h"
#include "fuzz/FuzzInput.h"
#include "tests/support/FakeHidBackend.h"
#include "tests/support/FakeMainView.h"
#include "ui/MainDialogLogic.h"
#include "update/Progress.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Three interfaces (path, hardware IDs), then a device-change name.
  const std::vector<std::wstring> t = FuzzTexts(data, size, 7);
  FakeMainView view;
  CDeviceSettings settings;
  settings.m_strVid = L"7C3E";
  settings.m_strPid = L"5D1A";
  settings.RebuildDevicePattern();
  FakeHidBackend hid;
  for (int i = 0; i < 3; ++i) {
    FakeHidBackend::Device d;
    d.path = t[2 * i];
    d.hardwareIds = t[2 * i + 1];
    d.featureLength = static_cast<USHORT>(i == 1 ? 64 : 65);
    hid.devices.push_back(d);
  }
  g_iUpdateState = 0;
  g_bScanning = false;
  CMainDialogLogic logic(view, settings, hid);
  logic.ScanDevices();
  logic.HandleDeviceChange(0x8004, 5, t[6].c_str());
  logic.HandleDeviceChange(0x8000, 5, t[6].c_str());
  for (int i = 0; i < 3; ++i) {
    const std::wstring revision = GetDeviceRevision(t[2 * i + 1].c_str());
    if (revision.size() > 4) __builtin_trap();
    RevisionToNumber(revision);
    VersionDisplayText(revision);
  }
  return 0;
}
