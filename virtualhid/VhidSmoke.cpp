// The rig's proof under Wine: the shipped updater, which knows nothing of any
// simulation, finds the mouse that the virtual HID bus shows, and follows its
// unplugging and plugging as Windows reports them.
//   vhid_smoke.exe --expect-version 0.1.0.1 [--cycles N | --drive N] [--timeout-s S] [--recovery] [--shot PNG]
//   vhid_smoke.exe --echo N
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
// With --echo N it checks the report path instead (the mouse host answers
// every output report with the same bytes): it writes N output reports and
// reads each answer back, times them one at a time and sixteen at a time,
// then prints PENDING READ with a read waiting; someone else (scripts/mouse)
// unplugs the mouse, and the waiting read, a write and a read on the old
// handle must fail at once; it prints UNPLUG CHECKED, and after the mouse is
// plugged in again an answer must come through a new handle.
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
#include <cstring>
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

// Calls `visit` with each present HID interface whose path matches the
// pattern, until it returns true.
template <typename Visit>
void EachMatchingInterface(Visit visit) {
  HDEVINFO set = SetupDiGetClassDevsW(&kHidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return;
  for (DWORD i = 0;; ++i) {
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
    if (ContainsNoCase(detail->DevicePath, g_pattern) && visit(set, info, std::wstring(detail->DevicePath))) break;
  }
  SetupDiDestroyDeviceInfoList(set);
}

// What the updater's device scan sees of the mouse, read the same way; false
// while no interface matches.
bool ShowInterfaceFacts(bool final) {
  bool found = false;
  EachMatchingInterface([&](HDEVINFO set, SP_DEVINFO_DATA& info, const std::wstring& path) {
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
    if (h == INVALID_HANDLE_VALUE) return false;
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
    return false;
  });
  std::string what = "an interface matches ";
  for (const wchar_t* p = g_pattern; *p; ++p) what.push_back(static_cast<char>(*p));
  if (found || final) Check(found, what.c_str());
  return found;
}

// Path of the first interface that matches the pattern; empty for none.
std::wstring FindInterface() {
  std::wstring found;
  EachMatchingInterface([&](HDEVINFO, SP_DEVINFO_DATA&, const std::wstring& path) {
    found = path;
    return true;
  });
  return found;
}

// The mouse's interface opened as the vendor libraries open it.
HANDLE OpenForReports(DWORD waitMs) {
  std::wstring path;
  windriver::WaitUntil([&] { return !(path = FindInterface()).empty(); }, waitMs, 50);
  if (path.empty()) return INVALID_HANDLE_VALUE;
  return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

// One overlapped ReadFile or WriteFile of a 65-byte report.
struct Transfer {
  HANDLE handle;
  bool write;
  BYTE data[65] = {};
  OVERLAPPED overlapped = {};
  DWORD error = 0, bytes = 0;

  Transfer(HANDLE h, bool isWrite) : handle(h), write(isWrite) {
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~Transfer() { CloseHandle(overlapped.hEvent); }
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // False when it failed at once (error set).
  bool Start(DWORD size = 65) {
    ResetEvent(overlapped.hEvent);
    error = bytes = 0;
    BOOL done = write ? WriteFile(handle, data, size, nullptr, &overlapped)
                      : ReadFile(handle, data, size, nullptr, &overlapped);
    if (!done && GetLastError() != ERROR_IO_PENDING) error = GetLastError();
    return error == 0;
  }
  // Waits up to `timeoutMs`, then cancels; true when it succeeded.
  bool Finish(DWORD timeoutMs) {
    if (error) return false;
    if (WaitForSingleObject(overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) CancelIo(handle);
    if (!GetOverlappedResult(handle, &overlapped, &bytes, TRUE)) error = GetLastError();
    return error == 0;
  }
};

// Report `n`: the report ID, the round's number, then a pattern of its own.
void FillReport(BYTE* report, int n) {
  report[0] = 1;
  report[1] = static_cast<BYTE>(n);
  for (int k = 2; k < 65; ++k) report[k] = static_cast<BYTE>(n * 31 + k * 7);
}

void Percentiles(const char* what, std::vector<double> v) {
  if (v.empty()) return;
  std::sort(v.begin(), v.end());
  std::printf("%s: median %.3f ms, p90 %.3f ms, max %.3f ms over %zu\n", what, v[v.size() / 2],
              v[v.size() * 9 / 10], v.back(), v.size());
}

int EchoMode(int rounds) {
  HANDLE h = OpenForReports(10000);
  Check(h != INVALID_HANDLE_VALUE, "the mouse's interface opens for reading and writing, overlapped");
  if (h == INVALID_HANDLE_VALUE) return 1;
  PHIDP_PREPARSED_DATA preparsed = nullptr;
  HIDP_CAPS caps = {};
  bool capsOk = HidD_GetPreparsedData(h, &preparsed) && HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
  if (preparsed) HidD_FreePreparsedData(preparsed);
  std::printf("report lengths: input %u, output %u, feature %u bytes\n", caps.InputReportByteLength,
              caps.OutputReportByteLength, caps.FeatureReportByteLength);
  Check(capsOk && caps.InputReportByteLength == 65 && caps.OutputReportByteLength == 65 &&
            caps.FeatureReportByteLength == 65,
        "HidP_GetCaps gives 65-byte input, output and feature reports");

  // One at a time: the round trip of a report.
  Transfer out(h, true), in(h, false);
  std::vector<double> trips;
  int wrong = 0;
  for (int i = 0; i < rounds; ++i) {
    FillReport(out.data, i);
    double t0 = NowMs();
    bool wrote = out.Start() && out.Finish(1000);
    bool read = wrote && in.Start() && in.Finish(1000);
    double t1 = NowMs();
    if (!read || in.bytes != 65 || std::memcmp(in.data, out.data, 65) != 0) {
      if (++wrong <= 3)
        std::printf("round %d: write %s (error %lu, %lu bytes), read %s (error %lu, %lu bytes)\n", i,
                    wrote ? "done" : "failed", out.error, out.bytes, read ? "done" : "failed", in.error, in.bytes);
      continue;
    }
    trips.push_back(t1 - t0);
  }
  std::printf("write %d reports, read each answer: %d right\n", rounds, rounds - wrong);
  Check(rounds > 0 && wrong == 0, "every answer comes back with the bytes written");
  Percentiles("round trip (WriteFile to ReadFile's answer)", trips);

  // Sixteen written before sixteen read: what the path carries.
  const int kBurst = 16;
  std::vector<double> rates;
  int burstsWrong = 0;
  for (int b = 0; b < std::max(1, rounds / kBurst); ++b) {
    double t0 = NowMs();
    bool ok = true;
    for (int i = 0; i < kBurst && ok; ++i) {
      FillReport(out.data, b * kBurst + i);
      ok = out.Start() && out.Finish(1000);
    }
    for (int i = 0; i < kBurst && ok; ++i) {
      BYTE expected[65];
      FillReport(expected, b * kBurst + i);
      ok = in.Start() && in.Finish(1000) && in.bytes == 65 && std::memcmp(in.data, expected, 65) == 0;
    }
    double elapsed = NowMs() - t0;
    if (!ok) {
      ++burstsWrong;
      continue;
    }
    rates.push_back(kBurst * 1000.0 / elapsed);
  }
  if (!rates.empty()) {
    std::sort(rates.begin(), rates.end());
    std::printf("16 written, then 16 read: median %.0f reports/s (%.1f KB/s of output and %.1f KB/s of input), "
                "slowest %.0f, fastest %.0f over %zu bursts\n",
                rates[rates.size() / 2], rates[rates.size() / 2] * 64 / 1000, rates[rates.size() / 2] * 64 / 1000,
                rates.front(), rates.back(), rates.size());
  }
  Check(burstsWrong == 0, "sixteen answers come back in order after sixteen writes");

  // What the class driver does around the reports: every handle reads every
  // input report; a report under another ID or of another length is refused.
  HANDLE second = OpenForReports(0);
  Transfer in2(second, false);
  FillReport(out.data, 200);
  bool both = out.Start() && out.Finish(1000) && in.Start() && in.Finish(1000) && in2.Start() && in2.Finish(1000) &&
              std::memcmp(in2.data, out.data, 65) == 0;
  Check(both, "a second handle reads the same answer as the first");
  CloseHandle(second);
  FillReport(out.data, 204);
  bool set = HidD_SetOutputReport(h, out.data, 65) && in.Start() && in.Finish(1000) &&
             std::memcmp(in.data, out.data, 65) == 0;
  Check(set, "a report given with HidD_SetOutputReport comes back too");
  out.data[0] = 0;
  if (out.Start()) out.Finish(1000);
  std::printf("WriteFile under report ID 0: error %lu\n", out.error);
  FillReport(out.data, 201);
  if (out.Start(64)) out.Finish(1000);
  std::printf("WriteFile of 64 bytes: error %lu\n", out.error);
  if (in.Start(64)) in.Finish(1000);
  std::printf("ReadFile into 64 bytes: error %lu\n", in.error);

  // Unplugged under a waiting read: it ends, and so does whatever follows.
  bool pending = in.Start();
  Check(pending && WaitForSingleObject(in.overlapped.hEvent, 0) == WAIT_TIMEOUT, "a read waits for an answer");
  std::printf("PENDING READ\n");
  std::fflush(stdout);
  double t0 = NowMs();
  bool readOk = in.Finish(15000);
  std::printf("after the unplug: the waiting read %s with error %lu, %.0f ms after PENDING READ\n",
              readOk ? "succeeded" : "failed", in.error, NowMs() - t0);
  Check(!readOk && in.error != ERROR_OPERATION_ABORTED, "the waiting read fails when the mouse is unplugged");
  FillReport(out.data, 202);
  t0 = NowMs();
  bool writeOk = out.Start() && out.Finish(5000);
  std::printf("then WriteFile on the old handle: %s, error %lu, %.1f ms\n", writeOk ? "succeeded" : "failed",
              out.error, NowMs() - t0);
  t0 = NowMs();
  bool reread = in.Start() && in.Finish(5000);
  std::printf("then ReadFile on the old handle: %s, error %lu, %.1f ms\n", reread ? "succeeded" : "failed", in.error,
              NowMs() - t0);
  Check(!writeOk && out.error != ERROR_OPERATION_ABORTED && !reread && in.error != ERROR_OPERATION_ABORTED,
        "a write and a read on the old handle fail at once");
  t0 = NowMs();
  CloseHandle(h);
  std::printf("the old handle closed in %.1f ms\n", NowMs() - t0);
  std::printf("UNPLUG CHECKED\n");
  std::fflush(stdout);

  // Plugged in again: the host serves the new device.
  h = OpenForReports(15000);
  Check(h != INVALID_HANDLE_VALUE, "the mouse's interface opens again once it is plugged in");
  if (h != INVALID_HANDLE_VALUE) {
    Transfer out3(h, true), in3(h, false);
    FillReport(out3.data, 203);
    bool again = out3.Start() && out3.Finish(1000) && in3.Start() && in3.Finish(2000) &&
                 std::memcmp(in3.data, out3.data, 65) == 0;
    Check(again, "an answer comes back after the mouse is plugged in again");
    CloseHandle(h);
  }
  std::printf("%s (%d failed)\n", g_failures ? "SMOKE FAILED" : "SMOKE PASSED", g_failures);
  return g_failures ? 1 : 0;
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
  int cycles = 0, drive = 0, echo = 0;
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
    else if (!std::wcscmp(argv[i], L"--echo")) echo = std::wcstol(argv[++i], nullptr, 10);
    else if (!std::wcscmp(argv[i], L"--timeout-s")) timeoutS = std::wcstoul(argv[++i], nullptr, 10);
    else if (!std::wcscmp(argv[i], L"--shot")) shot = argv[++i];
  }

  if (echo) return EchoMode(echo);

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
