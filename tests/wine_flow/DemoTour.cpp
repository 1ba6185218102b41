// The scripted tour of the demo on a virtual display: opens the updater against
// the simulated mouse, walks through unplug, replug and a whole update, and
// writes a screenshot of each step. Not a test: it reports and goes on.
#include <windows.h>

#include <cstdio>
#include <string>

#include "resources/resource.h"
#include "simmouse/SimMouse.h"
#include "tests/support/WinDriver.h"

using namespace windriver;

namespace {

const wchar_t kMainCaption[] = L"Orvane Dravik Mouse\x2013 Firmware Updater";
const wchar_t kBoxCaption[] = L"Orvane Firmware Updater";

std::wstring g_shots;
int g_step = 0;

void Shot(HWND window, const wchar_t* name) {
  wchar_t file[64];
  swprintf(file, 64, L"%02d-%ls.png", ++g_step, name);
  std::wstring path = g_shots + file;
  bool ok = window && SaveScreenshot(window, path);
  std::printf("tour: %-28ls %ls\n", name, ok ? path.c_str() : L"(no screenshot)");
  std::fflush(stdout);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: demo_tour <updater.exe> <screenshot folder>\n");
    return 2;
  }
  g_shots = std::wstring(argv[2]) + L"\\";
  SeeWindowsInPhysicalPixels();  // the tour may run at any display scaling
  simmouse::Store store;  // ORVANE_SIMMOUSE
  MouseHost host;
  Process app = Launch(argv[1], {});
  HWND main = WaitForWindow(app.pid, kMainCaption, 30000);
  if (!main) {
    std::fprintf(stderr, "tour: the updater window did not open\n");
    app.Kill();
    return 1;
  }
  Sleep(500);
  Shot(main, L"ready");

  simmouse::Unplug(store);
  WaitUntil([&] { return !IsControlEnabled(main, IDOK); }, 5000);
  Sleep(300);
  Shot(main, L"unplugged");
  simmouse::Plug(store);
  WaitUntil([&] { return IsControlEnabled(main, IDOK); }, 5000);
  Sleep(300);
  Shot(main, L"plugged-in-again");

  Press(main, IDOK);
  HWND prompt = WaitForWindow(app.pid, kBoxCaption, 10000);
  Sleep(300);
  Shot(prompt, L"prompt");
  if (prompt) Press(prompt, IDYES);

  bool tookKestrel = false, tookTamber = false;
  HWND result = nullptr;
  WaitUntil(
      [&] {
        int pos = ProgressPos(main, IDC_PROGRESS);
        if (!tookKestrel && pos >= 20 && pos < 50) {
          Shot(main, L"kestrel-stage");
          tookKestrel = true;
        }
        if (!tookTamber && pos >= 70 && pos < 100) {
          Shot(main, L"tamber-stage");
          tookTamber = true;
        }
        auto boxes = TopWindows(app.pid, kBoxCaption);
        result = boxes.empty() ? nullptr : boxes.front();
        return result != nullptr;
      },
      120000, 20);
  Sleep(300);
  Shot(main, L"finished");
  Shot(result, L"result-box");
  std::printf("tour: result: %ls\n", result ? MessageBoxText(result).c_str() : L"(none)");
  if (result) Press(result, IDOK);
  Sleep(300);
  PostMessageW(main, WM_CLOSE, 0, 0);
  if (!app.WaitExit(10000)) app.Kill();
  simmouse::MouseState s = store.Load();
  std::printf("tour: the mouse now has MCU %04X and Kestrel %s\n", s.mcuVersion, s.kestrelVersion.c_str());
  return result ? 0 : 1;
}
