#pragma once
// Drives a running updater from another process, as a user would: starts it,
// finds its windows, reads control texts, presses buttons, takes screenshots.
// Windows only (runs under Wine in this tree).
#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace windriver {

struct Process {
  HANDLE handle = nullptr;
  DWORD pid = 0;
  bool Running() const;
  // Waits for the exit; false on time-out. exitCode may be null.
  bool WaitExit(DWORD timeoutMs, DWORD* exitCode = nullptr) const;
  void Kill() const;
  void Close();
};

// Starts a program with extra environment variables (name -> value; an empty
// value removes the variable).
Process Launch(const std::wstring& exe, const std::map<std::wstring, std::wstring>& env,
               const std::wstring& args = L"");

// A file beside the running program (the build's bin folder).
inline std::wstring BesideMe(const std::wstring& name) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring dir = self;
  return dir.substr(0, dir.find_last_of(L"\\/") + 1) + name;
}

// A shipped program: beside the running program, or in the folder that
// ORVANE_PROGRAMS names (an unpacked release package, scripts/release).
inline std::wstring ShippedProgram(const std::wstring& name) {
  wchar_t dir[MAX_PATH];
  const DWORD n = GetEnvironmentVariableW(L"ORVANE_PROGRAMS", dir, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::wstring(dir, n) + L"\\" + name : BesideMe(name);
}

// Milliseconds on the performance counter, for timing another process.
inline double NowMs() {
  LARGE_INTEGER f, c;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&c);
  return 1000.0 * static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

// Polls until the predicate holds; false on time-out.
bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs, DWORD stepMs = 20);

// Visible top-level windows of the process with the given caption (empty: any caption).
std::vector<HWND> TopWindows(DWORD pid, const std::wstring& caption = L"");
// Every top-level window of the process, shown or not.
std::vector<HWND> AllTopWindows(DWORD pid);
HWND WaitForWindow(DWORD pid, const std::wstring& caption, DWORD timeoutMs);

std::wstring WindowText(HWND window);
std::wstring ControlText(HWND dialog, int id);
// A message box's text (its static control 0xFFFF).
std::wstring MessageBoxText(HWND box);
// Presses a dialog button by posting its click.
void Press(HWND dialog, int buttonId);
bool IsControlEnabled(HWND dialog, int id);
int ProgressPos(HWND dialog, int id);

// Saves the window's screen area (with frame) as a PNG file.
bool SaveScreenshot(HWND window, const std::wstring& pngPath);
// Makes this thread see other processes' windows in their own pixels: a
// thread of a process that started at another system DPI is otherwise shown
// their rectangles scaled to its own.
void SeeWindowsInPhysicalPixels();

// Whether Windows shows an interface of the mouse (application or boot
// loader), found through SetupAPI as the updater finds it.
bool MouseInterfaceShown();

// The simulated mouse on the virtual HID bus for as long as this object
// lives: the mouse host (beside this program) serves the state file; the
// host's end unplugs the mouse. Starting stops a host left running and waits
// until Windows shows the mouse as the file says. The mouse runs at
// `timeScale` (ORVANE_SIMMOUSE_TIMESCALE), or at this program's when empty.
class MouseHost {
 public:
  explicit MouseHost(const std::wstring& statePath, const std::wstring& timeScale = std::wstring());
  // The mouse named by ORVANE_SIMMOUSE.
  MouseHost();
  ~MouseHost();
  MouseHost(const MouseHost&) = delete;
  MouseHost& operator=(const MouseHost&) = delete;
  bool Serving() const { return m_serving; }
  // Waits until Windows shows the mouse (or none), as after a change of the file.
  static bool WaitShown(bool shown, DWORD timeoutMs = 10000);
  static void StopAny();

 private:
  Process m_host;
  bool m_serving = false;
};

}  // namespace windriver
