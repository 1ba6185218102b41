// Installs the virtual HID bus: a root device with the bus's hardware ID,
// driven by the drivers of the INF in the given folder. Does nothing when the
// device is there with these very drivers. Waits until the bus answers.
//   vhid_install.exe <folder with orvane_vhid.inf and the .sys files> [--wait-ms N]
// The folder may be given as a Unix path.
#include <windows.h>
// clang-format off
#include <setupapi.h>
#include <newdev.h>
#include <winioctl.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "virtualhid/VirtualHidBus.h"
#include "virtualhid/VirtualHidControl.h"

namespace {

const wchar_t* const kDrivers[] = {L"orvane_vhid_bus.sys", L"orvane_vhid_hid.sys"};
const wchar_t kBusService[] = L"orvane_vhid_bus";
// Device setup class "System", as in the INF.
const GUID kSystemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

double Seconds(DWORD since) { return (GetTickCount() - since) / 1000.0; }

bool ReadFileBytes(const std::wstring& path, std::vector<char>* out) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER size = {};
  bool ok = GetFileSizeEx(file, &size) && size.QuadPart < (64 << 20);
  if (ok) {
    out->resize(static_cast<size_t>(size.QuadPart));
    DWORD got = 0;
    ok = out->empty() || (ReadFile(file, out->data(), static_cast<DWORD>(out->size()), &got, nullptr) && got == out->size());
  }
  CloseHandle(file);
  return ok;
}

bool SameBytes(const std::wstring& a, const std::wstring& b) {
  std::vector<char> x, y;
  return ReadFileBytes(a, &x) && ReadFileBytes(b, &y) && x == y;
}

// The drivers in the system's driver folder are the ones in `folder`.
bool DriversInstalled(const std::wstring& folder) {
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  for (const wchar_t* name : kDrivers)
    if (!SameBytes(folder + L"\\" + name, std::wstring(system) + L"\\drivers\\" + name)) return false;
  return true;
}

// The INF the plug-and-play manager installs the children from is this one.
bool InfInstalled(const std::wstring& folder) {
  wchar_t windows[MAX_PATH];
  GetWindowsDirectoryW(windows, MAX_PATH);
  return SameBytes(folder + L"\\orvane_vhid.inf", std::wstring(windows) + L"\\inf\\orvane_vhid.inf");
}

// The bus's root device exists and names the bus's service.
bool BusDeviceRegistered(bool* serviceSet) {
  *serviceSet = false;
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  bool exists = SetupDiOpenDeviceInfoW(set, VHID_BUS_INSTANCE_ID, nullptr, 0, &device);
  if (exists) {
    wchar_t service[64] = {};
    if (SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_SERVICE, nullptr, reinterpret_cast<BYTE*>(service),
                                          sizeof service - sizeof(wchar_t), nullptr))
      *serviceSet = _wcsicmp(service, kBusService) == 0;
  }
  SetupDiDestroyDeviceInfoList(set);
  return exists;
}

bool RegisterBusDevice() {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return false;
  SP_DEVINFO_DATA device = {};
  device.cbSize = sizeof device;
  static const wchar_t kHardwareIds[] = VHID_BUS_HARDWARE_ID L"\0";
  bool ok = SetupDiCreateDeviceInfoW(set, VHID_BUS_INSTANCE_ID, &kSystemClass, nullptr, nullptr, 0, &device) &&
            SetupDiSetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(kHardwareIds),
                                              sizeof kHardwareIds) &&
            SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device);
  if (!ok) std::fprintf(stderr, "vhid_install: cannot register the bus device (error %lu)\n", GetLastError());
  SetupDiDestroyDeviceInfoList(set);
  return ok;
}

// Starts the bus's driver, which installing normally does. Under Wine 8 the
// service manager of a prefix's very first session (the one wineboot made it
// in) cannot open a service created during that session, so the installation
// goes on without starting it; a later session has it.
void StartBusService() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (!manager) return;
  SC_HANDLE service = OpenServiceW(manager, kBusService, SERVICE_START);
  if (!service || !StartServiceW(service, 0, nullptr)) {
    DWORD error = GetLastError();
    if (error != ERROR_SERVICE_ALREADY_RUNNING)
      std::fprintf(stderr,
                   "vhid_install: cannot start the bus's driver (error %lu); if the prefix was made in this Wine "
                   "session, end it (wineserver -k) and run again\n",
                   error);
  } else {
    std::printf("vhid_install: started the bus's driver\n");
  }
  if (service) CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: vhid_install <folder with orvane_vhid.inf> [--wait-ms N]\n");
    return 2;
  }
  DWORD waitMs = 15000;
  for (int i = 2; i + 1 < argc; ++i)
    if (std::wcscmp(argv[i], L"--wait-ms") == 0) waitMs = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));

  // Scripts hand over the folder as the build knows it; Wine shows the Unix
  // root as drive Z:.
  std::wstring given = argv[1];
  if (!given.empty() && given[0] == L'/') given = L"Z:" + given;
  wchar_t full[MAX_PATH];
  if (!GetFullPathNameW(given.c_str(), MAX_PATH, full, nullptr)) return 2;
  std::wstring folder = full;
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  std::wstring inf = folder + L"\\orvane_vhid.inf";
  if (GetFileAttributesW(inf.c_str()) == INVALID_FILE_ATTRIBUTES) {
    std::fprintf(stderr, "vhid_install: %ls not found\n", inf.c_str());
    return 2;
  }

  DWORD start = GetTickCount();
  bool serviceSet = false;
  bool registered = BusDeviceRegistered(&serviceSet);
  if (registered && serviceSet && DriversInstalled(folder) && InfInstalled(folder)) {
    std::printf("vhid_install: already installed (%.2f s)\n", Seconds(start));
  } else {
    if (!registered && !RegisterBusDevice()) return 1;
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, VHID_BUS_HARDWARE_ID, inf.c_str(), INSTALLFLAG_FORCE, &reboot)) {
      std::fprintf(stderr, "vhid_install: installing the drivers failed (error %lu)\n", GetLastError());
      return 1;
    }
    if (!DriversInstalled(folder)) {
      // The device host maps the drivers it has loaded, and it loads the bus's
      // at the start of every Wine session: no program inside the session can
      // replace them.
      std::fprintf(stderr,
                   "vhid_install: older drivers are loaded and cannot be replaced from inside Wine; end the session "
                   "(wineserver -k), copy the .sys files into the prefix's windows/system32/drivers and run again "
                   "(virtualhid/rig up does all of it)\n");
      return 3;
    }
    std::printf("vhid_install: installed (%.2f s)\n", Seconds(start));
  }

  vhid::BusControl bus;
  if (!bus.Open(std::min<DWORD>(waitMs, 1000))) {
    StartBusService();
    bus.Open(waitMs);
  }
  if (!bus.IsOpen()) {
    std::fprintf(stderr, "vhid_install: the bus did not come up within %lu ms (error %lu)\n", waitMs, bus.LastError());
    return 1;
  }
  std::printf("vhid_install: bus up (%.2f s)\n", Seconds(start));
  std::fflush(stdout);
  return 0;
}
