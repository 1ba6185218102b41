#include "tests/support/WinDriver.h"

#include <commctrl.h>
// GDI+ needs the COM property types that the lean Windows headers leave out.
#include <objidl.h>
#include <gdiplus.h>
#include <setupapi.h>

#include <cwctype>
#include <memory>

#include "simmouse/SimMouse.h"

namespace windriver {

bool Process::Running() const { return handle && WaitForSingleObject(handle, 0) == WAIT_TIMEOUT; }

bool Process::WaitExit(DWORD timeoutMs, DWORD* exitCode) const {
  if (!handle) return true;
  if (WaitForSingleObject(handle, timeoutMs) != WAIT_OBJECT_0) return false;
  if (exitCode) GetExitCodeProcess(handle, exitCode);
  return true;
}

void Process::Kill() const {
  if (Running()) {
    TerminateProcess(handle, 99);
    WaitForSingleObject(handle, 5000);
  }
}

void Process::Close() {
  if (handle) CloseHandle(handle);
  handle = nullptr;
}

Process Launch(const std::wstring& exe, const std::map<std::wstring, std::wstring>& env, const std::wstring& args) {
  // The current environment with the overrides, as a sorted double-terminated block.
  std::map<std::wstring, std::wstring> vars;
  if (wchar_t* block = GetEnvironmentStringsW()) {
    for (wchar_t* p = block; *p; p += wcslen(p) + 1) {
      std::wstring entry = p;
      size_t eq = entry.find(L'=', 1);
      if (eq != std::wstring::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    FreeEnvironmentStringsW(block);
  }
  for (const auto& kv : env) {
    // Names ignore case on Windows: drop any spelling of the same name first.
    for (auto it = vars.begin(); it != vars.end();) {
      if (_wcsicmp(it->first.c_str(), kv.first.c_str()) == 0)
        it = vars.erase(it);
      else
        ++it;
    }
    if (!kv.second.empty()) vars[kv.first] = kv.second;
  }
  std::wstring block;
  for (const auto& kv : vars) block += kv.first + L"=" + kv.second + L'\0';
  block += L'\0';

  std::wstring commandLine = L"\"" + exe + L"\"" + (args.empty() ? L"" : L" " + args);
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  Process p;
  if (CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, &block[0],
                     nullptr, &si, &pi)) {
    CloseHandle(pi.hThread);
    p.handle = pi.hProcess;
    p.pid = pi.dwProcessId;
  }
  return p;
}

bool WaitUntil(const std::function<bool()>& predicate, DWORD timeoutMs, DWORD stepMs) {
  DWORD start = GetTickCount();
  for (;;) {
    if (predicate()) return true;
    if (GetTickCount() - start >= timeoutMs) return false;
    Sleep(stepMs);
  }
}

std::wstring WindowText(HWND window) {
  wchar_t buffer[2048] = {0};
  DWORD_PTR got = 0;
  if (!SendMessageTimeoutW(window, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 2000, &got))
    return std::wstring();
  return buffer;
}

namespace {
struct FindContext {
  DWORD pid;
  bool shownOnly;
  std::wstring caption;
  std::vector<HWND> found;
};
BOOL CALLBACK CollectWindow(HWND window, LPARAM param) {
  auto* ctx = reinterpret_cast<FindContext*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  if (pid == ctx->pid && (!ctx->shownOnly || IsWindowVisible(window)) &&
      (ctx->caption.empty() || WindowText(window) == ctx->caption))
    ctx->found.push_back(window);
  return TRUE;
}
std::vector<HWND> CollectTopWindows(DWORD pid, bool shownOnly, const std::wstring& caption) {
  FindContext ctx{pid, shownOnly, caption, {}};
  EnumWindows(&CollectWindow, reinterpret_cast<LPARAM>(&ctx));
  return ctx.found;
}
}  // namespace

std::vector<HWND> TopWindows(DWORD pid, const std::wstring& caption) { return CollectTopWindows(pid, true, caption); }
std::vector<HWND> AllTopWindows(DWORD pid) { return CollectTopWindows(pid, false, L""); }

HWND WaitForWindow(DWORD pid, const std::wstring& caption, DWORD timeoutMs) {
  HWND found = nullptr;
  WaitUntil(
      [&] {
        std::vector<HWND> w = TopWindows(pid, caption);
        found = w.empty() ? nullptr : w.front();
        return found != nullptr;
      },
      timeoutMs);
  return found;
}

std::wstring ControlText(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  return control ? WindowText(control) : std::wstring();
}

std::wstring MessageBoxText(HWND box) { return ControlText(box, 0xFFFF); }

void Press(HWND dialog, int buttonId) {
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, buttonId)));
}

bool IsControlEnabled(HWND dialog, int id) {
  HWND control = GetDlgItem(dialog, id);
  return control && IsWindowEnabled(control);
}

int ProgressPos(HWND dialog, int id) {
  DWORD_PTR pos = 0;
  SendMessageTimeoutW(GetDlgItem(dialog, id), PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &pos);
  return static_cast<int>(pos);
}

namespace {
bool PngEncoder(CLSID* clsid) {
  UINT count = 0, size = 0;
  Gdiplus::GetImageEncodersSize(&count, &size);
  if (size == 0) return false;
  std::unique_ptr<BYTE[]> buffer(new BYTE[size]);
  auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.get());
  Gdiplus::GetImageEncoders(count, size, codecs);
  for (UINT i = 0; i < count; ++i) {
    if (wcscmp(codecs[i].MimeType, L"image/png") == 0) {
      *clsid = codecs[i].Clsid;
      return true;
    }
  }
  return false;
}
}  // namespace

bool SaveScreenshot(HWND window, const std::wstring& pngPath) {
  ULONG_PTR token = 0;
  Gdiplus::GdiplusStartupInput input;
  if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return false;
  bool ok = false;
  RECT r;
  GetWindowRect(window, &r);
  int w = r.right - r.left, h = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  HBITMAP bmp = CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
  SelectObject(mem, old);
  {
    Gdiplus::Bitmap image(bmp, nullptr);
    CLSID png;
    if (PngEncoder(&png)) ok = image.Save(pngPath.c_str(), &png, nullptr) == Gdiplus::Ok;
  }
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  Gdiplus::GdiplusShutdown(token);
  return ok;
}

void SeeWindowsInPhysicalPixels() {
  // Windows 10 and later; looked up so that the programs start everywhere.
  typedef DPI_AWARENESS_CONTEXT(WINAPI * SetContextFn)(DPI_AWARENESS_CONTEXT);
  auto set = reinterpret_cast<SetContextFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "SetThreadDpiAwarenessContext")));
  if (set) set(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE);
}

bool MouseInterfaceShown() {
  // The HID interface class.
  static const GUID kHid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
  HDEVINFO set = SetupDiGetClassDevsW(&kHid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (set == INVALID_HANDLE_VALUE) return false;
  bool shown = false;
  SP_DEVICE_INTERFACE_DATA data = {};
  data.cbSize = sizeof data;
  for (DWORD i = 0; !shown && SetupDiEnumDeviceInterfaces(set, nullptr, &kHid, i, &data); ++i) {
    DWORD size = 0;
    SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
    std::vector<BYTE> buffer(size + sizeof(wchar_t), 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, nullptr)) continue;
    std::wstring path = detail->DevicePath;
    for (wchar_t& c : path) c = static_cast<wchar_t>(std::towlower(c));
    shown = path.find(L"vid_7c3e&pid_5d1a&mi_02") != std::wstring::npos ||
            path.find(L"vid_7c3e&pid_5e1a&mi_02") != std::wstring::npos;
  }
  SetupDiDestroyDeviceInfoList(set);
  return shown;
}

bool MouseHost::WaitShown(bool shown, DWORD timeoutMs) {
  return WaitUntil([shown] { return MouseInterfaceShown() == shown; }, timeoutMs);
}

void MouseHost::StopAny() {
  Process stop = Launch(BesideMe(L"mouse_host.exe"), {}, L"--stop");
  stop.WaitExit(15000);
  stop.Close();
}

MouseHost::MouseHost(const std::wstring& statePath, const std::wstring& timeScale) {
  // One host per Wine session: one left by an earlier run would serve its own file.
  StopAny();
  std::map<std::wstring, std::wstring> env = {{L"ORVANE_SIMMOUSE", statePath}};
  if (!timeScale.empty()) env[L"ORVANE_SIMMOUSE_TIMESCALE"] = timeScale;
  m_host = Launch(BesideMe(L"mouse_host.exe"), env);
  std::string narrow(statePath.begin(), statePath.end());
  bool plugged = !simmouse::PresentInterfaces(simmouse::Store(narrow).Load()).empty();
  m_serving = m_host.Running() && WaitShown(plugged, 20000);
}

MouseHost::MouseHost() : MouseHost([] {
  std::string path = simmouse::StatePathFromEnvironment();
  return std::wstring(path.begin(), path.end());
}()) {}

MouseHost::~MouseHost() {
  StopAny();
  if (!m_host.WaitExit(5000)) m_host.Kill();
  m_host.Close();
}

}  // namespace windriver
