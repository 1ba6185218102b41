// The soak of scripts/soak: the window stays open through 1,000 unplug and
// plug cycles of the simulated mouse (every tenth with the Update prompt open,
// the last ones with the result box open) and 1,000 hover changes of the
// Update button on top of the 2,000 appearance changes the cycles make. The
// program's resources are sampled from here at the start, every 100 cycles
// and at the end; the run fails when one grows past its margin or when the
// window's final state does not match the mouse.
//   soak --program P.exe [--cycles N]
// The mouse is the one named by ORVANE_SIMMOUSE. The report goes to standard
// error, since the updater's trace lines share standard output.
#include <windows.h>
#include <psapi.h>

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
// Cycles run with the result box open, at the end.
const int kCyclesUnderResult = 20;

struct Sample {
  long gdi = -1, user = -1, handles = -1;  // -1: the system does not tell
  double privateKb = 0;
  const char* userSource = "";
  const char* handleSource = "";
};

BOOL CALLBACK CountChild(HWND, LPARAM count) {
  ++*reinterpret_cast<long*>(count);
  return TRUE;
}
// The windows of the process, top-level and children, shown or not.
long CountWindows(DWORD pid) {
  long count = 0;
  for (HWND w : AllTopWindows(pid)) {
    ++count;
    EnumChildWindows(w, &CountChild, reinterpret_cast<LPARAM>(&count));
  }
  return count;
}

// What the system tells about another process. Wine answers GetGuiResources
// with ERROR_CALL_NOT_IMPLEMENTED and GetProcessHandleCount with 0, and leaves
// PrivateUsage at 0; where it does, the windows of the process stand in for
// its USER objects, the handle values it accepts for its handle count, and
// its committed private pages for its private bytes.
Sample Measure(const Process& p) {
  Sample s;
  SetLastError(0);
  DWORD gdi = GetGuiResources(p.handle, GR_GDIOBJECTS);
  if (gdi || GetLastError() == 0) s.gdi = static_cast<long>(gdi);
  SetLastError(0);
  DWORD user = GetGuiResources(p.handle, GR_USEROBJECTS);
  if (user || GetLastError() == 0) {
    s.user = static_cast<long>(user);
    s.userSource = "USER objects";
  } else {
    s.user = CountWindows(p.pid);
    s.userSource = "windows";
  }
  DWORD handles = 0;
  if (GetProcessHandleCount(p.handle, &handles) && handles) {
    s.handles = static_cast<long>(handles);
    s.handleSource = "handle count";
  } else {
    long n = 0;
    for (ULONG_PTR v = 4; v < 0x10000; v += 4) {
      HANDLE dup = nullptr;
      if (DuplicateHandle(p.handle, reinterpret_cast<HANDLE>(v), GetCurrentProcess(), &dup, 0, FALSE,
                          DUPLICATE_SAME_ACCESS)) {
        ++n;
        CloseHandle(dup);
      }
    }
    s.handles = n;
    s.handleSource = "open handle values";
  }
  PROCESS_MEMORY_COUNTERS_EX pmc = {};
  pmc.cb = sizeof pmc;
  if (GetProcessMemoryInfo(p.handle, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof pmc) &&
      pmc.PrivateUsage) {
    s.privateKb = pmc.PrivateUsage / 1024.0;
  } else {
    MEMORY_BASIC_INFORMATION mbi;
    for (char* a = nullptr; VirtualQueryEx(p.handle, a, &mbi, sizeof mbi) == sizeof mbi;) {
      if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE) s.privateKb += mbi.RegionSize / 1024.0;
      char* next = static_cast<char*>(mbi.BaseAddress) + mbi.RegionSize;
      if (next <= a) break;
      a = next;
    }
  }
  return s;
}

void Print(const char* when, const Sample& s) {
  std::fprintf(stderr, "%-14s GDI %5s  USER %5ld (%s)  handles %5ld (%s)  private %8.0f KiB\n", when,
              s.gdi < 0 ? "n/a" : std::to_string(s.gdi).c_str(), s.user, s.userSource, s.handles,
              s.handleSource, s.privateKb);
  std::fflush(stderr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring program;
  int cycles = 1000;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::wstring k = argv[i];
    if (k == L"--program") program = argv[i + 1];
    else if (k == L"--cycles") cycles = _wtoi(argv[i + 1]);
  }
  simmouse::Store store;  // ORVANE_SIMMOUSE
  MouseHost host;
  if (program.empty() || cycles < kCyclesUnderResult || store.inMemory()) {
    std::fprintf(stderr, "usage: soak --program P.exe [--cycles N] (with ORVANE_SIMMOUSE set)\n");
    return 2;
  }
  simmouse::Reset(store, 0x0101, "1.1.0");
  Process app = Launch(BesideMe(program), {});
  HWND main = WaitForWindow(app.pid, kMainCaption, 45000);
  if (!main) {
    std::fprintf(stderr, "soak: the window did not open\n");
    app.Kill();
    return 1;
  }
  HWND button = GetDlgItem(main, IDOK);
  std::vector<std::string> problems;
  auto expect = [&](bool ok, int cycle, const char* what) {
    if (!ok && problems.size() < 20) problems.push_back("cycle " + std::to_string(cycle) + ": " + what);
    return ok;
  };
  auto shows = [&](bool ready, const wchar_t* version) {
    return WaitUntil(
        [&] { return IsControlEnabled(main, IDOK) == ready && ControlText(main, IDC_DEVICE_VERSION) == version; },
        5000, 5);
  };

  Sleep(500);
  Sample first = Measure(app);
  Print("start", first);
  std::vector<Sample> samples{first};
  const int plainCycles = cycles - kCyclesUnderResult;
  for (int i = 1; i <= plainCycles && app.Running(); ++i) {
    HWND prompt = nullptr;
    if (i % 10 == 0) {
      Press(main, IDOK);
      prompt = WaitForWindow(app.pid, kBoxCaption, 5000);
      expect(prompt != nullptr, i, "no prompt");
    }
    simmouse::Unplug(store);
    expect(shows(false, L""), i, "unplugged, yet Update or the version stays");
    // The hover look comes and goes on the button: one more appearance change each way.
    PostMessageW(button, WM_MOUSEHOVER, 0, 0);
    PostMessageW(button, WM_MOUSELEAVE, 0, 0);
    simmouse::Plug(store);
    expect(shows(true, L"0.1.0.1"), i, "plugged in, yet no Update or version");
    if (prompt) {
      Press(prompt, IDNO);
      expect(WaitUntil([&] { return !IsWindow(prompt); }, 5000), i, "the prompt stays");
    }
    if (i % 100 == 0) {
      samples.push_back(Measure(app));
      Print(("cycle " + std::to_string(i)).c_str(), samples.back());
    }
  }

  // An update, then cycles with its result box open: arrivals are ignored now.
  bool resultSeen = false;
  if (app.Running() && WaitUntil([&] { return IsControlEnabled(main, IDOK); }, 5000)) {
    Press(main, IDOK);
    HWND prompt = WaitForWindow(app.pid, kBoxCaption, 5000);
    if (prompt) Press(prompt, IDYES);
    HWND result = nullptr;
    WaitUntil(
        [&] {
          for (HWND b : TopWindows(app.pid, kBoxCaption))
            if (b != prompt) result = b;
          return result != nullptr;
        },
        120000, 50);
    resultSeen = result && MessageBoxText(result) == L"Update is completed.";
    Sleep(500);
    samples.push_back(Measure(app));
    Print("result box", samples.back());
    for (int i = plainCycles + 1; result && i <= cycles; ++i) {
      simmouse::Unplug(store);
      Sleep(120);
      simmouse::Plug(store);
      Sleep(120);
      expect(!IsControlEnabled(main, IDOK) && ControlText(main, IDC_DEVICE_VERSION) == L"0.1.0.2", i,
             "after the update an arrival changed the window");
    }
    if (result) Press(result, IDOK);
    WaitUntil([&] { return TopWindows(app.pid, kBoxCaption).empty(); }, 5000);
  }
  expect(resultSeen, cycles, "the update did not complete");
  Sleep(500);
  Sample last = Measure(app);
  Print("end", last);
  simmouse::MouseState mouse = store.Load();
  std::wstring version = ControlText(main, IDC_DEVICE_VERSION);
  bool finalRight = mouse.state == simmouse::DeviceState::Application && mouse.mcuVersion == 0x0102 &&
                    version == L"0.1.0.2" && !IsControlEnabled(main, IDOK);
  expect(finalRight, cycles, "final state: 1009 or Update does not match the mouse");

  // Margins: a handful of objects and handles, 512 KiB of private memory (a
  // record of 240 bytes kept per notification would pass 1.5 MiB). The
  // cycles are measured from the sample after the first 100 (the first ones
  // settle caches) to the last before the update; the update loads the Kestrel
  // library and runs a thread, so the cycles under its result box are measured
  // from the moment it showed to the end.
  auto grew = [&](const char* phase, const Sample& from, const Sample& to) {
    auto check = [&](const char* what, double a, double b, double margin) {
      if (a >= 0 && b - a > margin) {
        char line[200];
        std::snprintf(line, sizeof line, "%s: %s grew from %.0f to %.0f (margin %.0f)", phase, what, a, b, margin);
        problems.push_back(line);
      }
    };
    check("GDI objects", from.gdi, to.gdi, 10);
    check("USER objects", from.user, to.user, 5);
    check("handles", from.handles, to.handles, 10);
    check("private KiB", from.privateKb, to.privateKb, 512);
  };
  if (samples.size() >= 4) grew("cycles", samples[1], samples[samples.size() - 2]);
  if (resultSeen) grew("under the result box", samples.back(), last);

  PostMessageW(main, WM_CLOSE, 0, 0);
  if (!app.WaitExit(15000)) {
    problems.push_back("the window did not close");
    app.Kill();
  }
  app.Close();
  for (const std::string& p : problems) std::fprintf(stderr, "soak: FAIL %s\n", p.c_str());
  std::fprintf(stderr, "soak: %d cycles, %s\n", cycles, problems.empty() ? "passed" : "FAILED");
  return problems.empty() ? 0 : 1;
}
