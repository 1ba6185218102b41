// The four settings of WIN.INI's [Config], which the user's programs can
// write: read through the profile function's truncating contract, the device
// pattern built from them, the IDs read as numbers, and the pattern matched
// against an interface path and a device-change name.
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string>

#include "app/Settings.h"
#include "fuzz/FuzzInput.h"
#include "tests/support/FakeHidBackend.h"
#include "tests/support/FakeMainView.h"
#include "ui/MainDialogLogic.h"
#include "update/Progress.h"

namespace {

std::vector<std::wstring> g_values;  // VID, PID, BLVID, BLPID; then a path and a name

// GetPrivateProfileStringW's contract: at most size - 1 units and a
// terminator; a value that does not fit returns size - 1.
DWORD WINAPI Profile(const wchar_t*, const wchar_t* key, const wchar_t* def, wchar_t* buffer, DWORD size,
                     const wchar_t*) {
  static const wchar_t* const kKeys[] = {L"VID", L"PID", L"BLVID", L"BLPID"};
  std::wstring value = def;
  for (int i = 0; i < 4; ++i)
    if (std::wcscmp(key, kKeys[i]) == 0 && !g_values[i].empty()) value = g_values[i];
  value = value.substr(0, value.find(L'\0'));
  if (size == 0) return 0;
  const size_t n = value.size() < size - 1 ? value.size() : size - 1;
  std::wmemcpy(buffer, value.data(), n);
  buffer[n] = L'\0';
  return static_cast<DWORD>(n);
}

int VENDOR_CALL SetBootloaderId(unsigned short, unsigned short) { return 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_values = FuzzTexts(data, size, 6);
  CIni ini;
  ini.m_pfnGetProfileString = &Profile;
  CDeviceSettings settings;
  settings.LoadSettings(ini);
  FakeMainView view;
  FakeHidBackend hid;
  FakeHidBackend::Device d;
  d.path = g_values[4];
  d.hardwareIds = L"HID\\VID_7C3E&PID_5D1A&REV_0102&MI_02";
  hid.devices.push_back(d);
  g_iUpdateState = 0;
  g_bScanning = false;
  CMainDialogLogic logic(view, settings, hid);
  logic.m_api.fnSet_Bootloader_ID = &SetBootloaderId;
  logic.QueryPackage();
  logic.ScanDevices();
  logic.HandleDeviceChange(0x8000, 5, g_values[5].c_str());
  logic.HandleDeviceChange(0x8004, 5, g_values[5].c_str());
  if (settings.m_strDevicePattern != L"VID_" + settings.m_strVid + L"&PID_" + settings.m_strPid + L"&MI_02")
    __builtin_trap();
  return 0;
}
