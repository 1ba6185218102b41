// Start-up benchmark (scripts/bench start): the time from the process start to
// its first visible window, for the updater with the virtual mouse, the
// updater without a mouse (its first window is the "no device" box), a bare
// dialog of the same size and the updater's own window with nothing behind it,
// each started the same way, several runs each, interleaved so that a busy
// moment of the machine hits all alike.
//   start_bench --program P.exe [--runs N]
// Prints the medians and the ratios to the bare dialog.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "simmouse/SimMouse.h"
#include "tests/support/WinDriver.h"

using namespace windriver;

namespace {

struct Subject {
  const char* name;
  std::wstring exe;
  int mouse;  // 1 plugged in, 0 not, -1 either
  std::vector<double> ms;
};

// The process's first shown dialog (every subject's first window is one: the
// dialogs and the message box). Asked by class, the server names only the
// dialogs, none at all before the first exists: one request per look. Going
// through every window with two requests each, every millisecond, kept the
// server and a core so busy that it slowed the measured start itself.
HWND ShownDialog(DWORD pid) {
  for (HWND w = ::FindWindowExW(nullptr, nullptr, L"#32770", nullptr); w;
       w = ::FindWindowExW(nullptr, w, L"#32770", nullptr)) {
    DWORD owner = 0;
    ::GetWindowThreadProcessId(w, &owner);
    if (owner == pid && ::IsWindowVisible(w)) return w;
  }
  return nullptr;
}

// One start: milliseconds to the first visible window, or -1; then closes it.
double StartOnce(const Subject& s, simmouse::Store& store) {
  if (s.mouse >= 0 && MouseInterfaceShown() != (s.mouse == 1)) {
    if (s.mouse) simmouse::Plug(store);
    else simmouse::Unplug(store);
    if (!MouseHost::WaitShown(s.mouse == 1)) return -1;
  }
  double t0 = NowMs();
  Process p = Launch(s.exe, {});
  if (!p.handle) return -1;
  HWND first = nullptr;
  WaitUntil(
      [&] {
        first = ShownDialog(p.pid);
        return first != nullptr || !p.Running();
      },
      60000, 1);
  double ms = first ? NowMs() - t0 : -1;
  // A message box ends with its OK; a dialog with its close box.
  if (first) {
    Sleep(200);
    for (HWND w : TopWindows(p.pid)) {
      if (GetDlgItem(w, 0xFFFF)) Press(w, IDOK);
      else PostMessageW(w, WM_CLOSE, 0, 0);
    }
  }
  if (!p.WaitExit(15000)) p.Kill();
  p.Close();
  return ms;
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::wstring program;
  int runs = 15;  // the medians of fewer move by a tenth from one call to the next
  for (int i = 1; i + 1 < argc; i += 2) {
    std::wstring k = argv[i];
    if (k == L"--program") program = argv[i + 1];
    else if (k == L"--runs") runs = _wtoi(argv[i + 1]);
  }
  if (program.empty() || runs < 1) {
    std::fprintf(stderr, "usage: start_bench --program P.exe [--runs N]\n");
    return 2;
  }
  simmouse::Store store;  // ORVANE_SIMMOUSE
  MouseHost host;
  if (!host.Serving()) {
    std::fprintf(stderr, "start_bench: the mouse host did not show the mouse\n");
    return 1;
  }
  std::vector<Subject> subjects = {
      {"bare dialog", BesideMe(L"bare_dialog.exe"), -1, {}},
      {"bare updater window", BesideMe(L"bare_window.exe"), -1, {}},
      {"updater, virtual mouse", BesideMe(program), 1, {}},
      {"updater, no mouse", BesideMe(program), 0, {}},
  };
  // One start of each first, not counted: it warms Wine's caches for all alike.
  for (Subject& s : subjects) StartOnce(s, store);
  for (int r = 0; r < runs; ++r)
    for (Subject& s : subjects) {
      double ms = StartOnce(s, store);
      if (ms < 0) {
        std::fprintf(stderr, "start_bench: %s showed no window\n", s.name);
        return 1;
      }
      s.ms.push_back(ms);
    }
  double bare = Median(subjects[0].ms), window = Median(subjects[1].ms);
  std::printf("start-up to the first visible window, median of %d runs (min .. max):\n", runs);
  for (const Subject& s : subjects) {
    double m = Median(s.ms);
    std::printf("  %-26s %7.0f ms  (%.0f .. %.0f)  ratio %.2f", s.name, m,
                *std::min_element(s.ms.begin(), s.ms.end()), *std::max_element(s.ms.begin(), s.ms.end()),
                m / bare);
    // The program's own start behind its window, apart from what the window costs.
    if (&s >= &subjects[2]) std::printf(", %.2f of its window alone", m / window);
    std::printf("\n");
  }
  return 0;
}
