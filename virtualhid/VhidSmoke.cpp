// The rig's proof under Wine: the shipped updater, which knows nothing of any
// simulation, finds the mouse that the virtual HID bus shows, and follows its
// unplugging and plugging as Windows reports them.
//   vhid_smoke.exe --expect-version 0.1.0.1 [--cycles N | --drive N] [--timeout-s S] [--recovery] [--shot PNG]
// It opens the HID interface as the updater does (facts on standard output),
// starts OrvaneUpdater.exe from its own folder, waits until the window shows
// the version with Update enabled, prints READY, and then watches a window of
// its own registered for the HID interface class. With --cycles N someone else
// (scripts/mouse) unplugs and plugs the mouse N times; with --drive N this
// program does it through the state file itself and times each change. After
// each removal the updater must grey Update and empty the version, after each
// arrival show them again. With --recovery this program first puts the mouse
// in its boot loader, as an interrupted MCU write leaves it, and starts
// OrvaneUpdaterRecovery.exe, which looks for that. --shot saves the ready
// window as a PNG file.
// Exit status 0 when every check held.
#include <windows.h>
// clang-format off
#include <setupapi.h>
#include <dbt.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
// clang-format on

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <functional>
#include <string>
#include <vector>

#include "simmouse/SimMouse.h"
#include "tests/support/Programs.h"
#include "tests/support/WinDriver.h"

namespace {

using windriver::BesideMe;
using windriver::NowMs;

const wchar_t kMainCaption[] = L"Orvane Dravik Mouse\x2013 Firmware Updater";
// The interface the program looks for: the application's, or with --recovery the boot loader's.
const wchar_t* g_pattern = L"VID_7C3E&PID_5D1A&MI_02";
const GUID kHidClass = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const int kVersionControl = 1009;

int g_failures = 0;

void Check(bool ok, const char* what) {
  std::printf("%s %s\n", ok ? "ok  " : "FAIL", what);
  std::fflush(stdout);
  if (!ok) ++g_failures;
}

// Wall-clock milliseconds since 1970, comparable with `date +%s%3N` outside Wine.
double EpochMs() {
  FILETIME ft;
  GetSystemTimeAsFileTime(&ft);
  ULARGE_INTEGER t;
  t.LowPart = ft.dwLowDateTime;
  t.HighPart = ft.dwHighDateTime;
  return (t.QuadPart - 116444736000000000ULL) / 10000.0;
}

bool ContainsNoCase(const std::wstring& text, const wchar_t* part) {
  std::wstring a(text), b(part);
  for (auto& c : a) c = std::towupper(c);
  for (auto& c : b) c = std::towupper(c);
  return a.find(b) != std::wstring::npos;
}

// What the updater's device scan sees of the mouse, read the same way; false
// while no interface matches.
bool ShowInterfaceFacts(bool final) {
  HDEVINFO set = SetupDiGetClassDevsW(&kHidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  bool found = false;
  for (DWORD i = 0; set != INVALID_HANDLE_VALUE; ++i) {
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kHidClass, i, &data)) break;
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
    std::vector<BYTE> buffer(size + 2, 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA info = {};
    info.cbSize = sizeof info;
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, &info)) continue;
    std::wstring path = detail->DevicePath;
    if (!ContainsNoCase(path, g_pattern)) continue;
    found = true;
    wchar_t ids[260] = {}, location[260] = {};
    SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_HARDWAREID, nullptr, reinterpret_cast<BYTE*>(ids),
                                      sizeof ids - 4, nullptr);
    SetupDiGetDeviceRegistryPropertyW(set, &info, SPDRP_LOCATION_INFORMATION, nullptr,
                                      reinterpret_cast<BYTE*>(location), sizeof location - 4, nullptr);
    std::printf("interface %ls\n  first hardware ID %ls\n  location '%ls'\n", path.c_str(), ids, location);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    Check(h != INVALID_HANDLE_VALUE, "the interface opens for writing");
    if (h == INVALID_HANDLE_VALUE) continue;
    HIDD_ATTRIBUTES attributes = {};
    attributes.Size = sizeof attributes;
    if (HidD_GetAttributes(h, &attributes))
      std::printf("  attributes VID %04X PID %04X version %04X\n", attributes.VendorID, attributes.ProductID,
                  attributes.VersionNumber);
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    HIDP_CAPS caps = {};
    bool capsOk = HidD_GetPreparsedData(h, &preparsed) && HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
    if (preparsed) HidD_FreePreparsedData(preparsed);
    std::printf("  usage page %04X usage %04X, feature report %u bytes\n", caps.UsagePage, caps.Usage,
                caps.FeatureReportByteLength);
    Check(capsOk && caps.FeatureReportByteLength == 65, "HidP_GetCaps gives a 65-byte feature report");
    BYTE report[65] = {1};
    double t0 = NowMs();
    bool got = HidD_GetFeature(h, report, sizeof report);
    std::printf("  HidD_GetFeature: %s, report ID %u, %.2f ms\n", got ? "answered" : "failed", report[0], NowMs() - t0);
    CloseHandle(h);
  }
  if (set != INVALID_HANDLE_VALUE) SetupDiDestroyDeviceInfoList(set);
  std::string what = "an interface matches ";
  for (const wchar_t* p = g_pattern; *p; ++p) what.push_back(static_cast<char>(*p));
  if (found || final) Check(found, what.c_str());
  return found;
}

struct Event {
  WPARAM code;
  double epochMs, perfMs;
  std::wstring name;
};
std::vector<Event> g_events;

LRESULT CALLBACK WatchProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE && (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE)) {
    auto* header = reinterpret_cast<DEV_BROADCAST_HDR*>(lParam);
    if (header && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
      auto* b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
      g_events.push_back({wParam, EpochMs(), NowMs(), b->dbcc_name});
    }
    return TRUE;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// Handles messages (notifications are sent to this thread) until `done` holds
// or the time is up.
bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  double end = NowMs() + timeoutMs;
  for (;;) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    if (done()) return true;
    double left = end - NowMs();
    if (left <= 0) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min(left, 10.0)) + 1, QS_ALLINPUT);
  }
}

// The next event of the mouse's vendor interface after index `from`.
const Event* MouseEvent(size_t from, WPARAM code) {
  for (size_t i = from; i < g_events.size(); ++i)
    if (g_events[i].code == code && ContainsNoCase(g_events[i].name, g_pattern)) return &g_events[i];
  return nullptr;
}

struct Updater {
  HWND main = nullptr;
  std::wstring Version() const { return windriver::ControlText(main, kVersionControl); }
  bool UpdateEnabled() const { return windriver::IsControlEnabled(main, IDOK); }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring expectVersion = L"0.1.0.1";
  int cycles = 0, drive = 0;
  DWORD timeoutS = 120;
  const wchar_t* program = programs::kUpdater;
  std::wstring shot;
  for (int i = 1; i < argc; ++i) {
    if (!std::wcscmp(argv[i], L"--recovery")) {
      program = programs::kRecovery;
      g_pattern = L"VID_7C3E&PID_5E1A&MI_02";
    }
  }
  for (int i = 1; i + 1 < argc; ++i) {
    if (!std::wcscmp(argv[i], L"--expect-version")) expectVersion = argv[++i];
    else if (!std::wcscmp(argv[i], L"--cycles")) cycles = std::wcstol(argv[++i], nullptr, 10);
    else if (!std::wcscmp(argv[i], L"--drive")) drive = std::wcstol(argv[++i], nullptr, 10);
    else if (!std::wcscmp(argv[i], L"--timeout-s")) timeoutS = std::wcstoul(argv[++i], nullptr, 10);
    else if (!std::wcscmp(argv[i], L"--shot")) shot = argv[++i];
  }

  simmouse::Store store(simmouse::StatePathFromEnvironment());
  if (program == programs::kRecovery) {
    bool written = store.Update([](simmouse::MouseState& m) {
      m.state = simmouse::DeviceState::BootLoader;
      m.mcuValid = false;
    });
    Check(written, "the state file says the mouse waits in its boot loader");
  }

  // The host may still be plugging the mouse in.
  double factsUntil = NowMs() + 10000;
  for (;;) {
    bool last = NowMs() > factsUntil;
    if (ShowInterfaceFacts(last) || last) break;
    Sleep(100);
  }

  WNDCLASSW wc = {};
  wc.lpfnWndProc = WatchProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"VhidSmokeWatch";
  RegisterClassW(&wc);
  HWND watch = CreateWindowW(wc.lpszClassName, L"vhid smoke", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                             wc.hInstance, nullptr);
  DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  filter.dbcc_classguid = kHidClass;
  HDEVNOTIFY notify = RegisterDeviceNotificationW(watch, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  Check(notify != nullptr, "a window registers for the HID interface class");

  // The shipped program, which never reads ORVANE_SIMMOUSE.
  double launched = NowMs();
  windriver::Process app = windriver::Launch(BesideMe(program), {{L"ORVANE_SIMMOUSE", L""}});
  Updater updater;
  updater.main = windriver::WaitForWindow(app.pid, kMainCaption, 45000);
  std::string opens;
  for (const wchar_t* p = program; *p; ++p) opens.push_back(static_cast<char>(*p));
  opens += " opens its window";
  Check(updater.main != nullptr, opens.c_str());
  if (!updater.main) {
    app.Kill();
    return 1;
  }
  bool ready = PumpUntil([&] { return updater.Version() == expectVersion && updater.UpdateEnabled(); }, 10000);
  std::printf("updater: version '%ls', Update %s, %.0f ms after start\n", updater.Version().c_str(),
              updater.UpdateEnabled() ? "enabled" : "disabled", NowMs() - launched);
  Check(ready, "the updater shows the device version and enables Update");
  if (!shot.empty()) {
    // The texts are set; give the window a moment to paint them.
    PumpUntil([] { return false; }, 500);
    Check(windriver::SaveScreenshot(updater.main, shot), "the window is saved as a picture");
  }
  std::printf("READY\n");
  std::fflush(stdout);

  int rounds = drive ? drive : cycles;
  double deadline = NowMs() + timeoutS * 1000.0;
  std::vector<double> removalMs, arrivalMs;
  for (int round = 0; round < rounds && ready; ++round) {
    for (WPARAM code : {static_cast<WPARAM>(DBT_DEVICEREMOVECOMPLETE), static_cast<WPARAM>(DBT_DEVICEARRIVAL)}) {
      bool removal = code == DBT_DEVICEREMOVECOMPLETE;
      size_t from = g_events.size();
      double changed = NowMs();
      if (drive) {
        bool written = removal ? simmouse::Unplug(store) : simmouse::Plug(store);
        Check(written, removal ? "the state file says unplugged" : "the state file says plugged");
      }
      DWORD left = static_cast<DWORD>(std::max(0.0, deadline - NowMs()));
      bool seen = PumpUntil([&] { return MouseEvent(from, code) != nullptr; }, left);
      const Event* e = MouseEvent(from, code);
      char what[120];
      std::snprintf(what, sizeof what, "round %d: %s", round + 1,
                    removal ? "DBT_DEVICEREMOVECOMPLETE for the mouse" : "DBT_DEVICEARRIVAL for the mouse");
      Check(seen, what);
      if (!e) break;
      std::printf("event %s epoch_ms=%.1f name=%ls\n", removal ? "removal" : "arrival", e->epochMs, e->name.c_str());
      if (drive) {
        (removal ? removalMs : arrivalMs).push_back(e->perfMs - changed);
        std::printf("  %.1f ms after the state file changed\n", e->perfMs - changed);
      }
      bool followed = PumpUntil(
          [&] {
            return removal ? !updater.UpdateEnabled() && updater.Version().empty()
                           : updater.UpdateEnabled() && updater.Version() == expectVersion;
          },
          5000);
      std::printf("updater: version '%ls', Update %s\n", updater.Version().c_str(),
                  updater.UpdateEnabled() ? "enabled" : "disabled");
      Check(followed, removal ? "the updater greys Update" : "the updater restores the version and Update");
      std::fflush(stdout);
    }
  }
  auto summary = [](const char* what, std::vector<double> v) {
    if (v.empty()) return;
    std::sort(v.begin(), v.end());
    std::printf("%s: median %.1f ms, max %.1f ms over %zu\n", what, v[v.size() / 2], v.back(), v.size());
  };
  summary("state change to DBT_DEVICEREMOVECOMPLETE", removalMs);
  summary("state change to DBT_DEVICEARRIVAL", arrivalMs);

  PostMessageW(updater.main, WM_CLOSE, 0, 0);
  if (!app.WaitExit(10000)) {
    app.Kill();
    Check(false, "the updater closes");
  }
  app.Close();
  UnregisterDeviceNotification(notify);
  DestroyWindow(watch);
  std::printf("%s (%d failed)\n", g_failures ? "SMOKE FAILED" : "SMOKE PASSED", g_failures);
  return g_failures ? 1 : 0;
}
