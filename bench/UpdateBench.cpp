// Whole-update benchmark (scripts/bench update): the time from Yes to the
// result box of a full two-stage update at the mouse's real speed, against its
// floor: both files at 64 bytes per millisecond plus the waits the flow must
// make (its two one-second pauses before the Kestrel transfer, the whole
// seconds of its success wait, its 100 ms before closing the SDK). Also the
// program's CPU time over the update.
//   update_bench --program P.exe --kestrel-bytes N --mcu-bytes N [--runs N]
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "resources/resource.h"
#include "simmouse/SimMouse.h"
#include "tests/support/WinDriver.h"

using namespace windriver;

namespace {

const wchar_t kMainCaption[] = L"Orvane Dravik Mouse\x2013 Firmware Updater";
const wchar_t kBoxCaption[] = L"Orvane Firmware Updater";

std::wstring BesideMe(const std::wstring& name) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dir = self;
  return dir.substr(0, dir.find_last_of(L"\\/") + 1) + name;
}

double NowMs() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return 1000.0 * static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

double CpuMs(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return -1;
  auto ticks = [](const FILETIME& f) {
    return (static_cast<unsigned long long>(f.dwHighDateTime) << 32) | f.dwLowDateTime;
  };
  return static_cast<double>(ticks(kernel) + ticks(user)) / 1e4;
}

struct Result {
  double ms = -1, cpuMs = -1;
  std::wstring box;
};

Result UpdateOnce(const std::wstring& exe, simmouse::Store& store) {
  Result r;
  simmouse::Reset(store, 0x0101, "1.1.0");
  Process app = Launch(exe, {{L"ORVANE_SIMMOUSE_TIMESCALE", L"1"}});
  HWND main = WaitForWindow(app.pid, kMainCaption, 45000);
  if (main) {
    Press(main, IDOK);
    HWND prompt = WaitForWindow(app.pid, kBoxCaption, 20000);
    if (prompt) {
      double cpu0 = CpuMs(app.handle);
      double t0 = NowMs();
      Press(prompt, IDYES);
      HWND result = nullptr;
      WaitUntil(
          [&] {
            for (HWND b : TopWindows(app.pid, kBoxCaption))
              if (b != prompt) result = b;
            return result != nullptr || !app.Running();
          },
          180000, 2);
      if (result) {
        r.ms = NowMs() - t0;
        r.cpuMs = CpuMs(app.handle) - cpu0;
        r.box = MessageBoxText(result);
        Press(result, IDOK);
        WaitUntil([&] { return !IsWindow(result); }, 5000);
      }
    }
    PostMessageW(main, WM_CLOSE, 0, 0);
  }
  if (!app.WaitExit(15000)) app.Kill();
  app.Close();
  return r;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring program;
  double kestrelBytes = 0, mcuBytes = 0;
  int runs = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::wstring k = argv[i];
    if (k == L"--program") program = argv[i + 1];
    else if (k == L"--kestrel-bytes") kestrelBytes = _wtof(argv[i + 1]);
    else if (k == L"--mcu-bytes") mcuBytes = _wtof(argv[i + 1]);
    else if (k == L"--runs") runs = _wtoi(argv[i + 1]);
  }
  simmouse::Store store;  // ORVANE_SIMMOUSE
  if (program.empty() || kestrelBytes <= 0 || mcuBytes <= 0 || runs < 1 || store.inMemory()) {
    std::fprintf(stderr, "usage: update_bench --program P.exe --kestrel-bytes N --mcu-bytes N [--runs N]"
                         " (with ORVANE_SIMMOUSE set)\n");
    return 2;
  }
  // 64 bytes per millisecond; the Kestrel transfer ends in the success wait,
  // which looks once a second, so it counts in whole seconds.
  double kestrelMs = kestrelBytes / simmouse::kReportBytes, mcuMs = mcuBytes / simmouse::kReportBytes;
  double floorMs = 1000 + 1000 + std::ceil(kestrelMs / 1000) * 1000 + 100 + mcuMs;
  std::printf("floor: Kestrel %.0f bytes = %.0f ms (waited in whole seconds), MCU %.0f bytes = %.0f ms,"
              " pauses 2100 ms: %.0f ms\n",
              kestrelBytes, kestrelMs, mcuBytes, mcuMs, floorMs);
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    Result r = UpdateOnce(BesideMe(program), store);
    if (r.ms < 0 || r.box != L"Update is completed.") {
      std::fprintf(stderr, "update_bench: run %d did not complete\n", i + 1);
      return 1;
    }
    times.push_back(r.ms);
    std::printf("run %d: %.0f ms from Yes to the result box, ratio %.3f; program CPU %.0f ms = %.2f %% of one core\n",
                i + 1, r.ms, r.ms / floorMs, r.cpuMs, 100.0 * r.cpuMs / r.ms);
  }
  std::sort(times.begin(), times.end());
  std::printf("median %.0f ms, ratio to the floor %.3f (goal at most 1.05)\n", times[times.size() / 2],
              times[times.size() / 2] / floorMs);
  return 0;
}
