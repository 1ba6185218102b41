// The updater (its simulation build) started from here under Wine, with its own temporary
// folder and a simulated mouse: the start-up paths (no mouse, a second copy, a
// leftover folder, a library that cannot be written), the payloads on disk,
// and the window's layout, colours, button, keys and close box. Each state is
// saved as a PNG under <build>/tests/wine/screenshots.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/Programs.h"
#include "tests/support/WinFiles.h"
#include "resources/resource.h"
#include "simmouse/SimMouse.h"
#include "tests/support/TempDir.h"
#include "tests/support/WinDriver.h"

using namespace windriver;

namespace {

using namespace winfiles;

const wchar_t kMainCaption[] = L"Orvane Dravik Mouse\x2013 Firmware Updater";
const wchar_t kTessikCaption[] = L"Orvane Tessik - Firmware Updater";
const wchar_t kBoxCaption[] = L"Orvane Firmware Updater";
const wchar_t kNoDevice[] = L"No device found.\r\nPlease connect your device to get started.";
const wchar_t* const kPayloadNames[] = {L"Mouse_TMB.sfw", L"MouseFW.bin", L"FWUpdater.dll", L"Tmb.dll"};

std::wstring ShotPath(const wchar_t* name) {
  std::wstring dir = ORVANE_SCREENSHOT_DIR;
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir + L"\\" + name + L".png";
}

// The bytes of one resource of an executable file, read as data.
std::string ResourceBytes(const std::wstring& exe, WORD id, const wchar_t* type) {
  HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!module) return "<no module>";
  std::string bytes = "<no resource>";
  if (HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(id), type)) {
    const void* data = LockResource(LoadResource(module, found));
    if (data) bytes.assign(static_cast<const char*>(data), SizeofResource(module, found));
  }
  FreeLibrary(module);
  return bytes;
}

// The main window of a process, shown or not: the dialog that holds the progress bar.
HWND FindMainDialog(DWORD pid, bool visibleOnly) {
  for (HWND w : visibleOnly ? TopWindows(pid) : AllTopWindows(pid))
    if (GetDlgItem(w, IDC_PROGRESS)) return w;
  return nullptr;
}

std::vector<HWND> MessageBoxes(DWORD pid) {
  std::vector<HWND> boxes;
  for (HWND w : TopWindows(pid))
    if (GetDlgItem(w, 0xFFFF)) boxes.push_back(w);
  return boxes;
}

// The client area as it is on the screen, one COLORREF per pixel.
struct Capture {
  int width = 0, height = 0;
  std::vector<COLORREF> pixels;
  COLORREF At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
  // Pixels of a rectangle that satisfy the test.
  template <class Test>
  int Count(const RECT& r, Test test) const {
    int n = 0;
    for (int y = r.top; y < r.bottom && y < height; ++y)
      for (int x = r.left; x < r.right && x < width; ++x) n += test(At(x, y)) ? 1 : 0;
    return n;
  }
};

Capture CaptureClient(HWND window) {
  Capture c;
  RECT rc;
  GetClientRect(window, &rc);
  POINT origin = {0, 0};
  ClientToScreen(window, &origin);
  c.width = rc.right;
  c.height = rc.bottom;
  HDC screen = GetDC(nullptr);
  HDC mem = CreateCompatibleDC(screen);
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = c.width;
  bi.bmiHeader.biHeight = -c.height;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  void* bits = nullptr;
  HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(mem, bmp);
  BitBlt(mem, 0, 0, c.width, c.height, screen, origin.x, origin.y, SRCCOPY);
  GdiFlush();
  c.pixels.resize(static_cast<size_t>(c.width) * c.height);
  const DWORD* p = static_cast<const DWORD*>(bits);
  for (size_t i = 0; i < c.pixels.size(); ++i) c.pixels[i] = RGB((p[i] >> 16) & 0xFF, (p[i] >> 8) & 0xFF, p[i] & 0xFF);
  SelectObject(mem, old);
  DeleteObject(bmp);
  DeleteDC(mem);
  ReleaseDC(nullptr, screen);
  return c;
}

bool Near(COLORREF c, COLORREF want, int tolerance = 12) {
  return std::abs(GetRValue(c) - GetRValue(want)) <= tolerance && std::abs(GetGValue(c) - GetGValue(want)) <= tolerance &&
         std::abs(GetBValue(c) - GetBValue(want)) <= tolerance;
}
bool IsWhite(COLORREF c) { return GetRValue(c) > 220 && GetGValue(c) > 220 && GetBValue(c) > 220; }
bool IsReddish(COLORREF c) { return GetRValue(c) > 120 && GetGValue(c) < 100 && GetBValue(c) < 100; }
bool IsNeutral(COLORREF c) {
  return std::abs(GetRValue(c) - GetGValue(c)) < 30 && std::abs(GetRValue(c) - GetBValue(c)) < 30;
}
std::string Hex(COLORREF c) {
  char text[16];
  snprintf(text, sizeof text, "#%02X%02X%02X", GetRValue(c), GetGValue(c), GetBValue(c));
  return text;
}

// A control's rectangle in the dialog's client coordinates.
RECT ControlRect(HWND dialog, int id) {
  RECT r = {};
  HWND control = GetDlgItem(dialog, id);
  GetWindowRect(control, &r);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// A control's place and size in the client area; -1 skips a measure.
void ExpectPlaced(HWND dialog, int id, int x, int y, int w, int h) {
  const RECT r = ControlRect(dialog, id);
  EXPECT_EQ(r.left, x) << "control " << id;
  EXPECT_EQ(r.top, y) << "control " << id;
  if (w >= 0) {
    EXPECT_EQ(r.right - r.left, w) << "control " << id;
  }
  if (h >= 0) {
    EXPECT_EQ(r.bottom - r.top, h) << "control " << id;
  }
}

// The font of a control, as drawn: the height in pixels of capital letters
// shown in it (its text is swapped for "HHHH" meanwhile). Fonts cannot be
// asked for across processes here.
int CapHeight(HWND dialog, int id, const std::function<Capture(HWND)>& capture) {
  HWND control = GetDlgItem(dialog, id);
  const std::wstring old = WindowText(control);
  SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"HHHH"));
  Sleep(250);
  const Capture c = capture(dialog);
  SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(old.c_str()));
  const RECT r = ControlRect(dialog, id);
  const int margin = id == IDOK ? 4 : 0;  // past the button plate's frame
  int rows = 0;
  for (int y = r.top + margin; y < r.bottom - margin && y < c.height; ++y) {
    bool ink = false;
    for (int x = r.left + 3; x < r.right - 3 && x < c.width && !ink; ++x) {
      const COLORREF p = c.At(x, y);
      ink = std::max({GetRValue(p), GetGValue(p), GetBValue(p)}) > 140;
    }
    rows += ink ? 1 : 0;
  }
  return rows;
}

// A file held open without delete sharing, as a process of the user might.
class Pin {
 public:
  explicit Pin(const std::wstring& path) {
    m_h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  }
  ~Pin() { Release(); }
  void Release() {
    if (m_h != INVALID_HANDLE_VALUE) CloseHandle(m_h);
    m_h = INVALID_HANDLE_VALUE;
  }
  bool ok() const { return m_h != INVALID_HANDLE_VALUE; }

 private:
  HANDLE m_h;
};

class UpdaterWindowTest : public ::testing::Test {
 protected:
  UpdaterWindowTest()
      : temp(dir.WidePath() + L"\\temp"),
        work(temp + L"\\OrvaneTessik_mouse"),
        statePath(dir.NativePath("mouse.state")),
        store(statePath) {
    CreateDirectoryW(temp.c_str(), nullptr);
  }
  void SetUp() override {
    ASSERT_TRUE(simmouse::Reset(store, 0x0101, "1.1.0"));
    host.reset(new MouseHost(std::wstring(statePath.begin(), statePath.end())));
    ASSERT_TRUE(host->Serving()) << "the mouse host did not show the mouse";
  }
  void TearDown() override {
    for (Process* p : {&app, &second}) {
      if (p->Running()) {
        p->Kill();
        p->WaitExit(5000);
        ADD_FAILURE() << "an updater was still running";
      }
      p->Close();
    }
  }

  Process StartUpdater() {
    Process p = Launch(BesideMe(programs::kUpdater),
                       {{L"TEMP", temp},
                        {L"TMP", temp},
                        {L"ORVANE_SIMMOUSE", std::wstring(statePath.begin(), statePath.end())}});
    EXPECT_NE(p.handle, nullptr) << "the updater did not start";
    return p;
  }
  // Starts the updater and waits for its main window; null on time-out.
  HWND StartToWindow(const wchar_t* caption = kMainCaption) {
    app = StartUpdater();
    HWND window = WaitForWindow(app.pid, caption, 30000);
    if (window) Sleep(300);  // the first paint
    return window;
  }
  void CloseBox(HWND window) {
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    ASSERT_TRUE(app.WaitExit(15000)) << "the window did not close";
  }

  TempDir dir;
  std::wstring temp, work;
  std::string statePath;
  simmouse::Store store;
  std::unique_ptr<MouseHost> host;
  Process app, second;
};

}  // namespace

TEST_F(UpdaterWindowTest, WithoutAMouseOneNoDeviceBoxEndsTheRunAndTheWorkFolderGoes) {
  ASSERT_TRUE(simmouse::Unplug(store));
  app = StartUpdater();
  bool mainShown = false;
  HWND box = nullptr;
  ASSERT_TRUE(WaitUntil(
      [&] {
        mainShown = mainShown || FindMainDialog(app.pid, true) != nullptr;
        std::vector<HWND> boxes = MessageBoxes(app.pid);
        if (!boxes.empty()) box = boxes.front();
        return box != nullptr;
      },
      30000, 10))
      << "no message box";
  Sleep(300);
  SaveScreenshot(box, ShotPath(L"no-device-box"));
  EXPECT_EQ(MessageBoxText(box), kNoDevice);
  EXPECT_EQ(WindowText(box), kBoxCaption);
  EXPECT_EQ(MessageBoxes(app.pid).size(), 1u);
  // Owned by the dialog, which exists but was never shown.
  HWND owner = GetWindow(box, GW_OWNER);
  EXPECT_NE(owner, nullptr);
  EXPECT_EQ(owner, FindMainDialog(app.pid, false));
  EXPECT_FALSE(IsWindowVisible(owner));
  EXPECT_TRUE(Exists(work + L"\\Mouse_TMB.sfw")) << "the payloads are written before the scan";

  Press(box, IDOK);
  int laterBoxes = 0;
  EXPECT_TRUE(WaitUntil(
      [&] {
        mainShown = mainShown || FindMainDialog(app.pid, true) != nullptr;
        for (HWND b : MessageBoxes(app.pid)) laterBoxes += b != box ? 1 : 0;
        return !app.Running();
      },
      15000, 10))
      << "the process did not end after OK";
  EXPECT_EQ(laterBoxes, 0);
  EXPECT_FALSE(mainShown) << "the main window showed";
  EXPECT_FALSE(Exists(work)) << "the work folder stayed";
}

TEST_F(UpdaterWindowTest, ASecondStartShowsNothingAndLeavesTheRunningCopysFilesAlone) {
  HWND main = StartToWindow();
  ASSERT_NE(main, nullptr);
  std::map<std::wstring, std::string> before;
  std::map<std::wstring, FILETIME> stamps;
  for (const wchar_t* name : kPayloadNames) {
    before[name] = ReadAll(work + L"\\" + name);
    WIN32_FILE_ATTRIBUTE_DATA data;
    GetFileAttributesExW((work + L"\\" + name).c_str(), GetFileExInfoStandard, &data);
    stamps[name] = data.ftLastWriteTime;
  }

  second = StartUpdater();
  bool secondShowed = false;
  EXPECT_TRUE(WaitUntil(
      [&] {
        secondShowed = secondShowed || !TopWindows(second.pid).empty();
        return !second.Running();
      },
      20000, 10))
      << "the second copy did not end";
  EXPECT_FALSE(secondShowed) << "the second copy showed a window";

  for (const wchar_t* name : kPayloadNames) {
    SCOPED_TRACE(std::string(name, name + wcslen(name)));
    EXPECT_EQ(ReadAll(work + L"\\" + name), before[name]);
    WIN32_FILE_ATTRIBUTE_DATA data;
    GetFileAttributesExW((work + L"\\" + name).c_str(), GetFileExInfoStandard, &data);
    EXPECT_EQ(CompareFileTime(&data.ftLastWriteTime, &stamps[name]), 0) << "rewritten";
  }
  EXPECT_TRUE(IsWindowVisible(main));
  CloseBox(main);
}

TEST_F(UpdaterWindowTest, ALeftoverFolderGoesBeforeThePayloadsWhichAreTheEmbeddedBytesAndCannotBeSwapped) {
  // What a crashed run leaves: files, a sub-folder of files, a stale payload.
  CreateDirectoryW(work.c_str(), nullptr);
  CreateDirectoryW((work + L"\\sub").c_str(), nullptr);
  CreateDirectoryW((work + L"\\sub\\deeper").c_str(), nullptr);
  WriteText(work + L"\\stale.txt", "stale");
  WriteText(work + L"\\sub\\a.bin", "a");
  WriteText(work + L"\\sub\\deeper\\b.bin", "b");
  WriteText(work + L"\\FWUpdater.dll", "not a library");

  HWND main = StartToWindow();
  ASSERT_NE(main, nullptr) << "the main window did not open (a stale library would not load)";
  EXPECT_FALSE(Exists(work + L"\\stale.txt"));
  EXPECT_FALSE(Exists(work + L"\\sub"));

  const std::wstring exe = BesideMe(programs::kUpdater);
  struct Payload {
    const wchar_t* name;
    WORD id;
    const wchar_t* type;
    std::wstring buildOutput;
  } payloads[] = {
      {L"Mouse_TMB.sfw", IDR_FIRMWARE_SFW, L"FIRMWARE", std::wstring(ORVANE_BUILD_DIR) + L"\\firmware\\Mouse_TMB.sfw"},
      {L"MouseFW.bin", IDR_FIRMWARE_BIN, L"FIRMWARE", std::wstring(ORVANE_BUILD_DIR) + L"\\firmware\\MouseFW.bin"},
      {L"FWUpdater.dll", IDR_DLL_FWUPDATER, L"DLL", BesideMe(L"FWUpdater.dll")},
      {L"Tmb.dll", IDR_DLL_TMB, L"DLL", BesideMe(L"Tmb.dll")},
  };
  for (const Payload& p : payloads) {
    SCOPED_TRACE(std::string(p.name, p.name + wcslen(p.name)));
    const std::string embedded = ResourceBytes(exe, p.id, p.type);
    ASSERT_GT(embedded.size(), 1000u);
    const std::wstring path = work + L"\\" + p.name;
    EXPECT_TRUE(ReadAll(path) == embedded) << "differs from the embedded resource";
    EXPECT_TRUE(ReadAll(p.buildOutput) == embedded) << "the resource is not the build's own output";

    // Another process of the user may read the payload but not change, swap or delete it.
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(writer, INVALID_HANDLE_VALUE) << "opened for writing";
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    EXPECT_FALSE(DeleteFileW(path.c_str())) << "deleted";
    EXPECT_FALSE(MoveFileExW(path.c_str(), (work + L"\\swapped").c_str(), MOVEFILE_REPLACE_EXISTING)) << "renamed";
    EXPECT_NE(ReadAll(path), "<unreadable>");
  }
  CloseBox(main);
}

TEST_F(UpdaterWindowTest, AWorkFolderThatCannotBeMadeGivesTheCantLoadBoxButALeftoverDoesNot) {
  // A leftover work folder pinned by a file that the start-up removal cannot
  // delete gives way to a new folder beside it: the window opens as usual.
  CreateDirectoryW(work.c_str(), nullptr);
  CreateDirectoryW((work + L"\\FWUpdater.dll").c_str(), nullptr);
  Pin pin(work + L"\\FWUpdater.dll\\pin");
  ASSERT_TRUE(pin.ok());
  // Folders of runs killed before their end go; one in which another process
  // still holds a file stays.
  const std::wstring stale = work + L".0badf00d", held = work + L".0000beef";
  for (const std::wstring& d : {stale, held}) CreateDirectoryW(d.c_str(), nullptr);
  WriteText(stale + L"\\MouseFW.bin", "left by a killed run");
  Pin heldFile(held + L"\\Tmb.dll");
  ASSERT_TRUE(heldFile.ok());
  HWND main = StartToWindow();
  ASSERT_NE(main, nullptr) << "the leftover kept the payloads out";
  EXPECT_TRUE(MessageBoxes(app.pid).empty());
  EXPECT_FALSE(Exists(stale));
  EXPECT_TRUE(Exists(held + L"\\Tmb.dll"));
  CloseBox(main);
  pin.Release();
  heldFile.Release();
  DeleteFileW((held + L"\\Tmb.dll").c_str());
  RemoveDirectoryW(held.c_str());

  // A temporary folder too long for a work folder: no payload is written.
  const std::wstring saved = temp;
  temp = L"C:\\" + std::wstring(MAX_PATH, L'x');
  app = StartUpdater();
  temp = saved;
  HWND box = nullptr;
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::vector<HWND> boxes = MessageBoxes(app.pid);
        if (!boxes.empty()) box = boxes.front();
        return box != nullptr;
      },
      30000))
      << "no message box";
  Sleep(300);
  SaveScreenshot(box, ShotPath(L"cant-load-dll-box"));
  EXPECT_EQ(MessageBoxText(box), L"Can't load DLL");
  EXPECT_EQ(WindowText(box), L"Error") << "the platform's default caption";
  EXPECT_EQ(GetWindow(box, GW_OWNER), FindMainDialog(app.pid, false));
  Press(box, IDOK);

  // The mouse is there, so the window opens, with the caption of no package.
  main = WaitForWindow(app.pid, kTessikCaption, 20000);
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(ControlText(main, IDC_FILE_VERSION), L"");
  EXPECT_EQ(ControlText(main, IDC_DEVICE_VERSION), L"0.1.0.1");
  CloseBox(main);
}

TEST_F(UpdaterWindowTest, WithAMouseTheWindowIsLaidOutPaintedAndIgnoresEnterAndEscape) {
  HWND main = StartToWindow();
  ASSERT_NE(main, nullptr);
  SaveScreenshot(main, ShotPath(L"ready"));

  RECT client;
  GetClientRect(main, &client);
  EXPECT_EQ(client.right, 565);
  EXPECT_EQ(client.bottom, 242);

  // Position, size, text and font of every control after the layout.
  enum Font { kNormal, kLarge, kDialog, kButton };
  struct Placed {
    int id, x, y, w, h;
    const wchar_t* text;
    bool visible, enabled;
    Font font;
  } placed[] = {
      {IDC_EXTRA_TEXT, 20, 64, 165, 20, L"", true, true, kDialog},
      {IDC_CURRENT_LABEL, 20, 84, 165, 20, L"Current device version :", true, true, kNormal},
      {IDC_DEVICE_VERSION, 185, 84, 80, 20, L"0.1.0.1", true, true, kNormal},
      {IDC_NEW_LABEL, 20, 104, 165, 20, L"New FW version :", true, true, kNormal},
      {IDC_FILE_VERSION, 185, 104, 80, 20, L"0.1.0.2", true, true, kNormal},
      {IDC_NOTICE, 120, 137, 565 - 270, 23, L"", true, true, kLarge},
      {IDC_LEGAL_LINE, 240, 211, 360, 20, L"Copyright (C) 2026 Orvane. All rights reserved.", true, true, kNormal},
      {IDC_PROGRESS_TEXT, 20, 157, -1, 19, L"", true, true, kNormal},  // width: below
      {IDC_PROGRESS, 20, 176, 498, 25, nullptr, true, true, kDialog},
      {IDC_LAYOUT_LABEL, 240, 84, 205, 19, L"Please select your keyboard layout", false, true, kNormal},
      {IDC_LAYOUT_LIST, 240, 108, 205, -1, nullptr, false, false, kNormal},
      {IDOK, 451, 104, 74, 31, L"Update", true, true, kButton},
      {IDCANCEL, -1, -1, -1, -1, L"Cancel", false, true, kDialog},
  };
  for (const Placed& p : placed) {
    SCOPED_TRACE("control " + std::to_string(p.id));
    HWND control = GetDlgItem(main, p.id);
    ASSERT_NE(control, nullptr);
    const RECT r = ControlRect(main, p.id);
    if (p.x >= 0) ExpectPlaced(main, p.id, p.x, p.y, p.w, p.h);
    if (p.text) {
      EXPECT_EQ(ControlText(main, p.id), p.text);
    }
    EXPECT_EQ(IsWindowVisible(control) != FALSE, p.visible);
    EXPECT_EQ(IsWindowEnabled(control) != FALSE, p.enabled);
    if (p.visible && p.id != IDC_PROGRESS) {
      // Arial of height 16 (normal, and the button's own) has capitals of
      // about 10 pixels, of height 22 about 14, the template's 8 points about 8.
      const int cap = CapHeight(main, p.id, CaptureClient);
      const int want = p.font == kLarge ? 14 : p.font == kDialog ? 8 : 10;
      EXPECT_NEAR(cap, want, 1) << "capital height";
    }
  }

  // The progress text holds its longest texts on one line, in each language
  // (the Chinese ones are narrower in the same font).
  {
    HFONT arial = CreateFontW(16, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, 0, 0, 0, 0, FF_SWISS, L"Arial");
    HDC dc = GetDC(main);
    HGDIOBJ old = SelectObject(dc, arial);
    const RECT r = ControlRect(main, IDC_PROGRESS_TEXT);
    for (const wchar_t* text : {L"Completed  100%", L"Update finished."}) {
      SIZE size{};
      GetTextExtentPoint32W(dc, text, static_cast<int>(wcslen(text)), &size);
      EXPECT_GE(r.right - r.left, size.cx) << "cut: " << std::string(text, text + wcslen(text));
    }
    EXPECT_LE(r.right, 20 + 498);  // not past the bar
    SelectObject(dc, old);
    ReleaseDC(main, dc);
    DeleteObject(arial);
  }

  // Colours: white statics and the red logo on black, the grey progress bar,
  // the Update button's red-framed plate.
  Capture ready = CaptureClient(main);
  EXPECT_TRUE(Near(ready.At(5, 5), RGB(0, 0, 0))) << Hex(ready.At(5, 5));
  EXPECT_TRUE(IsReddish(ready.At(282, 28))) << "logo ring " << Hex(ready.At(282, 28));
  for (int id : {IDC_CURRENT_LABEL, IDC_NEW_LABEL, IDC_DEVICE_VERSION, IDC_FILE_VERSION, IDC_LEGAL_LINE}) {
    SCOPED_TRACE("static " + std::to_string(id));
    RECT r = ControlRect(main, id);
    EXPECT_GT(ready.Count(r, IsWhite), 20) << "white text";
    EXPECT_EQ(ready.Count(r, [](COLORREF c) { return !IsNeutral(c); }), 0) << "only white, grey and black";
    EXPECT_TRUE(Near(ready.At(r.right - 2 < 565 ? r.right - 2 : 563, r.bottom - 2), RGB(0, 0, 0)))
        << "on black";
  }
  EXPECT_TRUE(Near(ready.At(270, 188), RGB(176, 176, 176), 6)) << "progress background " << Hex(ready.At(270, 188));
  EXPECT_TRUE(IsReddish(ready.At(451 + 1, 104 + 15))) << "button frame " << Hex(ready.At(452, 119));
  EXPECT_TRUE(Near(ready.At(451 + 37, 104 + 6), RGB(0x1C, 0x1C, 0x1C), 10)) << "button plate";

  // The notice line in red; the bar in red on grey.
  SendMessageW(GetDlgItem(main, IDC_NOTICE), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"Please DO NOT unplug Device"));
  SendMessageW(GetDlgItem(main, IDC_PROGRESS), PBM_SETPOS, 40, 0);
  Sleep(300);
  SaveScreenshot(main, ShotPath(L"notice-and-progress"));
  Capture painted = CaptureClient(main);
  const RECT notice = ControlRect(main, IDC_NOTICE);
  EXPECT_GT(painted.Count(notice, [](COLORREF c) { return Near(c, RGB(216, 38, 39), 20); }), 30) << "red notice";
  EXPECT_EQ(painted.Count(notice, IsWhite), 0);
  EXPECT_TRUE(Near(painted.At(40, 188), RGB(216, 38, 39), 6)) << "bar " << Hex(painted.At(40, 188));
  EXPECT_TRUE(Near(painted.At(500, 188), RGB(176, 176, 176), 6)) << "background " << Hex(painted.At(500, 188));

  // Pressed: the grey-framed plate; released away from it: no click.
  HWND update = GetDlgItem(main, IDOK);
  PostMessageW(update, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(30, 15));
  Sleep(400);
  SaveScreenshot(main, ShotPath(L"button-pressed"));
  Capture pressed = CaptureClient(main);
  EXPECT_TRUE(IsNeutral(pressed.At(452, 119)) && GetRValue(pressed.At(452, 119)) > 100)
      << "pressed frame " << Hex(pressed.At(452, 119));
  PostMessageW(update, WM_LBUTTONUP, 0, MAKELPARAM(-60, -60));
  PostMessageW(update, WM_MOUSEHOVER, 0, 0);
  Sleep(400);
  SaveScreenshot(main, ShotPath(L"button-hover"));
  Capture hover = CaptureClient(main);
  EXPECT_TRUE(IsReddish(hover.At(452, 119))) << "hover frame " << Hex(hover.At(452, 119));
  PostMessageW(update, WM_MOUSELEAVE, 0, 0);

  // Enter would press Update (a prompt) and Escape would close: both are dropped.
  for (HWND target : {update, main}) {
    PostMessageW(target, WM_KEYDOWN, VK_RETURN, 0);
    PostMessageW(target, WM_KEYUP, VK_RETURN, 0);
    PostMessageW(target, WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageW(target, WM_KEYUP, VK_ESCAPE, 0);
  }
  Sleep(1000);
  EXPECT_TRUE(MessageBoxes(app.pid).empty()) << "a key pressed Update";
  EXPECT_TRUE(IsWindow(main) && IsWindowVisible(main)) << "a key closed the window";
  EXPECT_TRUE(app.Running());

  // The close box: the payload files go (a pinned file keeps the folder, so
  // the files' removal is the window's own doing, not the folder's).
  Pin pin(work + L"\\pinned-by-test");
  ASSERT_TRUE(pin.ok());
  CloseBox(main);
  for (const wchar_t* name : kPayloadNames) EXPECT_FALSE(Exists(work + L"\\" + name)) << "left behind";
  EXPECT_TRUE(Exists(work + L"\\pinned-by-test"));
  pin.Release();
}

// The display at another scaling for the programs started meanwhile, as a
// user's setting is (each process reads it at its start); the prefix's own
// value comes back at the end, so that other tests see 96.
class SystemDpi {
 public:
  explicit SystemDpi(DWORD dpi) {
    RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                    nullptr, &m_key, nullptr);
    DWORD size = sizeof m_old;
    m_hadValue = RegQueryValueExW(m_key, L"LogPixels", nullptr, nullptr, reinterpret_cast<BYTE*>(&m_old), &size) ==
                 ERROR_SUCCESS;
    m_set = RegSetValueExW(m_key, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&dpi), sizeof dpi) ==
            ERROR_SUCCESS;
  }
  ~SystemDpi() {
    if (m_hadValue)
      RegSetValueExW(m_key, L"LogPixels", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&m_old), sizeof m_old);
    else
      RegDeleteValueW(m_key, L"LogPixels");
    RegCloseKey(m_key);
  }
  bool set() const { return m_set; }

 private:
  HKEY m_key = nullptr;
  DWORD m_old = 0;
  bool m_hadValue = false, m_set = false;
};

// At 150 % (144 DPI) the window is the layout at its physical size: each
// edge scaled by 1.5 as MulDiv rounds, texts that fit, a button whose plate
// fills what it answers to.
TEST_F(UpdaterWindowTest, At144DpiTheWindowIsTheLayoutScaledWithItsTextsWholeAndItsButtonFilled) {
  SystemDpi dpi(144);
  ASSERT_TRUE(dpi.set());
  SeeWindowsInPhysicalPixels();  // this process started at 96
  HWND main = StartToWindow();
  ASSERT_NE(main, nullptr);
  SaveScreenshot(main, ShotPath(L"ready-144dpi"));
  RECT client;
  GetClientRect(main, &client);
  EXPECT_EQ(client.right, 848);
  EXPECT_EQ(client.bottom, 363);

  // Worked values: the layout's x, y, x + w and y + h times 1.5, halves away
  // from zero; the notice ends 150 * 1.5 before the client's right edge.
  struct {
    int id, x, y, w, h;
  } scaled[] = {
      {IDC_EXTRA_TEXT, 30, 96, 248, 30},    {IDC_CURRENT_LABEL, 30, 126, 248, 30}, {IDC_DEVICE_VERSION, 278, 126, 120, 30},
      {IDC_NEW_LABEL, 30, 156, 248, 30},    {IDC_FILE_VERSION, 278, 156, 120, 30}, {IDC_NOTICE, 180, 206, 443, 34},
      {IDC_LEGAL_LINE, 360, 317, 540, 30},  {IDC_PROGRESS_TEXT, 30, 236, -1, 28},  {IDC_PROGRESS, 30, 264, 747, 38},
      {IDC_LAYOUT_LABEL, 360, 126, 308, 29}, {IDC_LAYOUT_LIST, 360, 162, 308, -1}, {IDOK, 677, 156, 111, 47},
  };
  for (const auto& c : scaled) ExpectPlaced(main, c.id, c.x, c.y, c.w, c.h);

  // Every text in its font at this size (Arial 24, the notice 33, the
  // button's 24 of weight 500) fits its control; the legal line fits what
  // the client shows of it.
  SendMessageW(GetDlgItem(main, IDC_NOTICE), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"Please DO NOT unplug Device."));
  struct {
    int id;
    const wchar_t* text;
    int height, weight;
  } texts[] = {
      {IDC_CURRENT_LABEL, nullptr, 24, FW_NORMAL}, {IDC_NEW_LABEL, nullptr, 24, FW_NORMAL},
      {IDC_DEVICE_VERSION, nullptr, 24, FW_NORMAL}, {IDC_FILE_VERSION, nullptr, 24, FW_NORMAL},
      {IDC_LEGAL_LINE, nullptr, 24, FW_NORMAL},     {IDC_NOTICE, nullptr, 33, FW_NORMAL},
      {IDC_PROGRESS_TEXT, L"Completed  100%", 24, FW_NORMAL}, {IDC_PROGRESS_TEXT, L"Update finished.", 24, FW_NORMAL},
      {IDOK, nullptr, 24, 500},
  };
  HDC dc = GetDC(main);
  for (const auto& t : texts) {
    const std::wstring text = t.text ? t.text : ControlText(main, t.id);
    HFONT font = CreateFontW(t.height, 0, 0, 0, t.weight, FALSE, FALSE, FALSE, 0, 0, 0, 0, FF_SWISS, L"Arial");
    HGDIOBJ old = SelectObject(dc, font);
    SIZE size{};
    GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
    SelectObject(dc, old);
    DeleteObject(font);
    const RECT r = ControlRect(main, t.id);
    const std::string name(text.begin(), text.end());
    EXPECT_FALSE(text.empty()) << "control " << t.id;
    EXPECT_LE(size.cx, std::min<LONG>(r.right, client.right) - r.left) << "cut: " << name;
    EXPECT_LE(size.cy, r.bottom - r.top) << "cut: " << name;
  }
  ReleaseDC(main, dc);

  // The button answers exactly where its plate is drawn: the plate's red frame
  // just inside each edge of what it answers to, black just outside.
  Sleep(300);
  const Capture ready = CaptureClient(main);
  const RECT b = ControlRect(main, IDOK);
  const int midX = (b.left + b.right) / 2, midY = (b.top + b.bottom) / 2;
  const POINT inside[] = {{b.left + 1, midY}, {b.right - 2, midY}, {midX, b.top + 1}, {midX, b.bottom - 2}};
  const POINT outside[] = {{b.left - 2, midY}, {b.right + 1, midY}, {midX, b.top - 2}, {midX, b.bottom + 1}};
  for (const POINT& p : inside) {
    EXPECT_EQ(ChildWindowFromPointEx(main, p, CWP_SKIPINVISIBLE), GetDlgItem(main, IDOK)) << p.x << "," << p.y;
    EXPECT_TRUE(IsReddish(ready.At(p.x, p.y))) << "frame at " << p.x << "," << p.y << " " << Hex(ready.At(p.x, p.y));
  }
  for (const POINT& p : outside) {
    EXPECT_NE(ChildWindowFromPointEx(main, p, CWP_SKIPINVISIBLE), GetDlgItem(main, IDOK)) << p.x << "," << p.y;
    EXPECT_TRUE(Near(ready.At(p.x, p.y), RGB(0, 0, 0))) << "around " << p.x << "," << p.y;
  }
  CloseBox(main);
}

TEST_F(UpdaterWindowTest, TheCloseBoxIsRefusedWhileAnUpdateRunsAndClosesOnceItHasEnded) {
  HWND main = StartToWindow();
  ASSERT_NE(main, nullptr);
  // Update, Yes; the close box is pressed from the first moment on, before
  // the worker reports anything.
  Press(main, IDOK);
  HWND prompt = WaitForWindow(app.pid, kBoxCaption, 10000);
  ASSERT_NE(prompt, nullptr);
  EXPECT_EQ(MessageBoxText(prompt), L"New version available, update?");
  Press(prompt, IDYES);
  ASSERT_TRUE(WaitUntil([&] { return !IsWindow(prompt); }, 5000));
  PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
  HWND result = nullptr;
  int closeRequests = 1;
  bool sawProgress = false;
  EXPECT_TRUE(WaitUntil(
      [&] {
        sawProgress = sawProgress || ProgressPos(main, IDC_PROGRESS) > 0;
        for (HWND box : MessageBoxes(app.pid))
          if (WindowText(box) == kBoxCaption) result = box;
        if (!result) {
          PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
          ++closeRequests;
        }
        return result != nullptr || !app.Running();
      },
      120000, 25))
      << "no result box";
  ASSERT_TRUE(app.Running()) << "the window closed during the update";
  ASSERT_NE(result, nullptr);
  EXPECT_GT(closeRequests, 10);
  EXPECT_TRUE(sawProgress);
  SaveScreenshot(main, ShotPath(L"update-finished"));
  EXPECT_EQ(MessageBoxText(result), L"Update is completed.");
  Press(result, IDOK);
  ASSERT_TRUE(WaitUntil([&] { return !IsWindow(result); }, 10000));
  // Unplugging and plugging in after the update changes nothing, and the
  // window still closes.
  ASSERT_TRUE(simmouse::Unplug(store));
  ASSERT_TRUE(simmouse::Plug(store));
  Sleep(500);
  EXPECT_FALSE(IsWindowEnabled(GetDlgItem(main, IDOK)));

  CloseBox(main);
  EXPECT_FALSE(Exists(work)) << "the work folder stayed";
}

// ---------------------------------------------------------------- attacks of another process of the user

namespace {

// A Unix path for a Windows one (Wine's own call): the tests make directory
// links with the system's ln, as Wine's CreateSymbolicLinkW makes none.
std::string UnixPath(const std::wstring& path) {
  typedef char*(CDECL * ToUnix)(LPCWSTR);
  auto toUnix = reinterpret_cast<ToUnix>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* unix = toUnix ? toUnix(path.c_str()) : nullptr;
  std::string out = unix ? unix : "";
  if (unix) HeapFree(GetProcessHeap(), 0, unix);
  return out;
}
bool RunUnix(const std::string& commandLine) {
  std::wstring cmd(commandLine.begin(), commandLine.end());
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
  WaitForSingleObject(pi.hProcess, 10000);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return true;
}

// Where the process loaded a module from; empty when it has not.
std::wstring ModulePath(DWORD pid, const wchar_t* name) {
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid);
  std::wstring path;
  MODULEENTRY32W entry = {};
  entry.dwSize = sizeof entry;
  for (BOOL more = Module32FirstW(snap, &entry); more && path.empty(); more = Module32NextW(snap, &entry))
    if (_wcsicmp(entry.szModule, name) == 0) path = entry.szExePath;
  CloseHandle(snap);
  return path;
}

const wchar_t kCantLoad[] = L"Can't load DLL";
// Beside the program: system libraries it loads after start-up, delay-loaded.
const wchar_t* const kBesideNames[] = {L"setupapi.dll", L"gdiplus.dll", L"hid.dll"};
// Into the work folder while the program starts.
const wchar_t* const kWorkFolderNames[] = {L"version.dll", L"setupapi.dll"};
const wchar_t* const kAllPlanted[] = {L"version", L"setupapi", L"gdiplus", L"hid"};
// The vendor files the program loads from its own folder, the SDK first.
const wchar_t* const kVendorNames[] = {L"KestrelHidCoreLib.dll", L"KestrelRuntime.dll"};

// Wine prefers its own system libraries; this makes it load a native file of
// such a name for the named program when its search finds one, as Windows
// would. (WINEDLLOVERRIDES does not reach a child started from here.)
void PreferPlantedLibraries(const wchar_t* program, bool prefer) {
  const std::wstring key = std::wstring(L"Software\\Wine\\AppDefaults\\") + program + L"\\DllOverrides";
  HKEY h = nullptr;
  if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &h, nullptr)) return;
  for (const wchar_t* name : kAllPlanted)
    prefer ? RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(L"native,builtin"), 30)
           : RegDeleteValueW(h, name);
  RegCloseKey(h);
}

}  // namespace

// Each attack is made by this process, another program of the same user,
// before or during the start of the shipped program, with no mouse present.
// Planted copies of a marker library lie beside the program (a copy of it with
// the Kestrel SDK and its runtime library), and Wine is told to prefer such files.
TEST_F(UpdaterWindowTest, AnotherProgramOfTheUserCannotTurnTheShippedProgramAgainstIt) {
  const std::wstring appDir = dir.WidePath() + L"\\app", outside = dir.WidePath() + L"\\outside",
                     marks = dir.WidePath() + L"\\marks";
  for (const std::wstring& d : {appDir, outside, outside + L"\\sub", marks}) CreateDirectoryW(d.c_str(), nullptr);
  // No mouse on the bus; the state file still says one is plugged in.
  host.reset();
  ASSERT_TRUE(MouseHost::WaitShown(false));
  const std::wstring exe = appDir + L"\\" + programs::kUpdater;
  ASSERT_TRUE(CopyFileW(BesideMe(programs::kUpdater).c_str(), exe.c_str(), FALSE));
  for (const wchar_t* name : kVendorNames)
    ASSERT_TRUE(CopyFileW(BesideMe(name).c_str(), (appDir + L"\\" + name).c_str(), FALSE));
  const std::wstring sdkBeside = appDir + L"\\KestrelHidCoreLib.dll";
  const std::string genuineSdk = ReadAll(sdkBeside);
  for (const wchar_t* name : kBesideNames)
    ASSERT_TRUE(CopyFileW(BesideMe(L"planted_library.dll").c_str(), (appDir + L"\\" + name).c_str(), FALSE));
  // Files of the user's elsewhere: what a link or hard link would point at.
  std::map<std::wstring, std::string> victims;
  for (const wchar_t* name : {L"a.txt", L"sub\\b.txt", L"v0", L"v1", L"v2", L"v3"}) {
    victims[outside + L"\\" + name] = "victim " + std::string(name, name + wcslen(name));
    WriteText(outside + L"\\" + name, victims[outside + L"\\" + name]);
  }
  const std::string state = ReadAll(std::wstring(statePath.begin(), statePath.end()));
  PreferPlantedLibraries(programs::kUpdater, true);

  // Hard links named like the four payloads to files elsewhere, and planted
  // libraries, into the work folder (made first when asked).
  auto plant = [&](bool makeFolder) {
    if (makeFolder) CreateDirectoryW(work.c_str(), nullptr);
    for (int i = 0; i < 4; ++i)
      CreateHardLinkW((work + L"\\" + kPayloadNames[i]).c_str(), (outside + L"\\v" + std::to_wstring(i)).c_str(),
                      nullptr);
    for (const wchar_t* name : kWorkFolderNames)
      CopyFileW(BesideMe(L"planted_library.dll").c_str(), (work + L"\\" + name).c_str(), TRUE);
  };
  struct Attack {
    const char* name;
    std::function<void()> before, during;
  } attacks[] = {
      {"the work folder is a link to a folder of the user's",
       [&] { ASSERT_TRUE(RunUnix("/bin/ln -s " + UnixPath(outside) + " " + UnixPath(work))); }, nullptr},
      {"the work folder is made again and again with hard links and libraries", nullptr, [&] { plant(true); }},
      {"hard links and libraries go into the program's own folder once it is there", nullptr, [&] { plant(false); }},
      // Between the check and the load: written over in place, then renamed over.
      {"the SDK beside the program is replaced again and again", nullptr,
       [&] {
         CopyFileW(BesideMe(L"planted_library.dll").c_str(), sdkBeside.c_str(), FALSE);
         CopyFileW(BesideMe(L"planted_library.dll").c_str(), (appDir + L"\\swap").c_str(), FALSE);
         MoveFileExW((appDir + L"\\swap").c_str(), sdkBeside.c_str(), MOVEFILE_REPLACE_EXISTING);
         CopyFileW(BesideMe(L"KestrelHidCoreLib.dll").c_str(), sdkBeside.c_str(), FALSE);
       }},
  };
  for (const Attack& attack : attacks) {
    for (int run = 0; run < 3; ++run) {
      SCOPED_TRACE(std::string(attack.name) + ", run " + std::to_string(run + 1));
      if (attack.before) attack.before();
      // ORVANE_SIMMOUSE names the state file of a plugged-in mouse: the
      // stand-in libraries would read it, the program itself never does.
      app = Launch(exe, {{L"TEMP", temp},
                          {L"TMP", temp},
                          {L"ORVANE_SIMMOUSE", std::wstring(statePath.begin(), statePath.end())},
                          {L"ORVANE_PLANTED_MARKS", marks}});
      ASSERT_NE(app.handle, nullptr);
      std::atomic<bool> racing{attack.during != nullptr};
      std::thread racer([&] {
        while (racing) attack.during();
      });
      // A work folder that could not be its own gives way to a new one beside
      // it; where none can be made the library's box comes first. Then the box
      // of no mouse, and a clean end.
      std::vector<std::wstring> texts;
      std::wstring setupapi, gdiplus, hid, sdk;
      std::string sdkBytes;
      bool ended = WaitUntil(
          [&] {
            for (HWND box : MessageBoxes(app.pid)) {
              texts.push_back(MessageBoxText(box));
              if (texts.back() == kNoDevice) {
                setupapi = ModulePath(app.pid, L"setupapi.dll");
                gdiplus = ModulePath(app.pid, L"gdiplus.dll");
                hid = ModulePath(app.pid, L"hid.dll");  // the SDK imports it
                sdk = ModulePath(app.pid, L"KestrelHidCoreLib.dll");
                sdkBytes = ReadAll(sdk);  // still held by the program
              }
              Press(box, IDOK);
              Sleep(200);
            }
            return !app.Running();
          },
          60000, 50);
      racing = false;
      racer.join();
      CopyFileW(BesideMe(L"KestrelHidCoreLib.dll").c_str(), sdkBeside.c_str(), FALSE);
      DWORD code = 1;
      EXPECT_TRUE(ended && app.WaitExit(1000, &code)) << "the program did not end";
      app.Close();
      EXPECT_EQ(code, 0u);
      ASSERT_FALSE(texts.empty());
      EXPECT_EQ(texts.back(), kNoDevice);
      for (size_t i = 0; i + 1 < texts.size(); ++i) EXPECT_EQ(texts[i], kCantLoad);
      for (const std::wstring& loaded : {setupapi, gdiplus, hid})
        EXPECT_NE(loaded.find(L"system32"), std::wstring::npos) << std::string(loaded.begin(), loaded.end());
      // The SDK is the checked copy in the program's private work folder, or
      // (without one, or when what lay beside the program was not the SDK) none.
      if (sdk.empty()) {
        EXPECT_NE(std::find(texts.begin(), texts.end(), kCantLoad), texts.end()) << "no SDK, yet no box";
      } else {
        EXPECT_EQ(_wcsnicmp(sdk.c_str(), work.c_str(), work.size()), 0) << std::string(sdk.begin(), sdk.end());
        EXPECT_TRUE(sdkBytes == genuineSdk) << "the loaded SDK is not the checked one";
      }
      for (const auto& v : victims) EXPECT_EQ(ReadAll(v.first), v.second) << "changed through a link";
      for (const wchar_t* name :
           {L"version.dll", L"setupapi.dll", L"gdiplus.dll", L"hid.dll", L"KestrelHidCoreLib.dll", L"swap"})
        EXPECT_FALSE(Exists(marks + L"\\" + name + L".loaded")) << "a planted library was loaded";
      EXPECT_EQ(ReadAll(std::wstring(statePath.begin(), statePath.end())), state);
      RunUnix("/bin/rm -rf " + UnixPath(work));  // the link itself, or what the racer left
    }
  }
  // The control: a program that loads by name without a narrowed search picks
  // up the planted file beside it, so the marks above would have shown a load.
  const std::wstring probe = appDir + L"\\planted_probe.exe";
  ASSERT_TRUE(CopyFileW(BesideMe(L"planted_probe.exe").c_str(), probe.c_str(), FALSE));
  PreferPlantedLibraries(L"planted_probe.exe", true);
  Process control = Launch(probe, {{L"ORVANE_PLANTED_MARKS", marks}}, L"setupapi.dll");
  DWORD loaded = 1;
  ASSERT_TRUE(control.WaitExit(30000, &loaded));
  control.Close();
  EXPECT_EQ(loaded, 0u);
  EXPECT_TRUE(Exists(marks + L"\\setupapi.dll.loaded")) << "the control load did not pick up the planted file";
  PreferPlantedLibraries(L"planted_probe.exe", false);
  PreferPlantedLibraries(programs::kUpdater, false);
}

// A vendor file beside a copy of the program that is not the one the build
// recorded never loads, whatever lies beside it: the library's box comes at
// start, and Update writes nothing to the mouse. The genuine files update it.
TEST_F(UpdaterWindowTest, AVendorFileThatIsNotTheRecordedOneLoadsNothingAndTheMouseIsNotWritten) {
  const std::wstring appDir = dir.WidePath() + L"\\app", marks = dir.WidePath() + L"\\marks";
  for (const std::wstring& d : {appDir, marks}) CreateDirectoryW(d.c_str(), nullptr);
  const std::wstring exe = appDir + L"\\" + programs::kUpdater;
  ASSERT_TRUE(CopyFileW(BesideMe(programs::kUpdater).c_str(), exe.c_str(), FALSE));
  const std::string marker = ReadAll(BesideMe(L"planted_library.dll")), sdk = ReadAll(BesideMe(L"KestrelHidCoreLib.dll"));
  // The SDK importing "HID", which the loader completes to HID.dll.
  std::string hidSdk = sdk;
  std::string lower = sdk;
  std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return static_cast<char>(tolower(c)); });
  const size_t hid = lower.find(std::string("hid.dll\0", 8));  // HID.DLL in the 64-bit build
  ASSERT_NE(hid, std::string::npos);
  hidSdk.replace(hid, 8, std::string("HID\0\0\0\0\0", 8));
  struct Case {
    const char* what;
    std::map<std::wstring, std::string> planted;  // beside the program, over the genuine files
  } cases[] = {
      {"a marker library as the SDK", {{L"KestrelHidCoreLib.dll", marker}}},
      {"a marker library as the SDK's runtime library", {{L"KestrelRuntime.dll", marker}}},
      {"a truncated SDK", {{L"KestrelHidCoreLib.dll", sdk.substr(0, sdk.size() / 2)}}},
      {"an SDK importing HID, a marker hid.dll beside it", {{L"KestrelHidCoreLib.dll", hidSdk}, {L"hid.dll", marker}}},
      {"the genuine files", {}},
  };
  PreferPlantedLibraries(programs::kUpdater, true);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (const wchar_t* name : kVendorNames)
      ASSERT_TRUE(CopyFileW(BesideMe(name).c_str(), (appDir + L"\\" + name).c_str(), FALSE));
    DeleteFileW((appDir + L"\\hid.dll").c_str());
    for (const auto& p : c.planted) WriteText(appDir + L"\\" + p.first, p.second);
    const bool genuine = c.planted.empty();
    ASSERT_TRUE(simmouse::Reset(store, 0x0101, "1.1.0"));
    app = Launch(exe, {{L"TEMP", temp}, {L"TMP", temp}, {L"ORVANE_PLANTED_MARKS", marks}});
    ASSERT_NE(app.handle, nullptr);
    if (!genuine) {
      HWND box = nullptr;
      ASSERT_TRUE(WaitUntil([&] { return (box = MessageBoxes(app.pid).empty() ? nullptr : MessageBoxes(app.pid)[0]); },
                            30000));
      EXPECT_EQ(MessageBoxText(box), kCantLoad);
      Press(box, IDOK);
    }
    HWND main = WaitForWindow(app.pid, kMainCaption, 30000);
    ASSERT_NE(main, nullptr);
    Sleep(300);
    EXPECT_TRUE(MessageBoxes(app.pid).empty()) << "a box besides the library's";
    Press(main, IDOK);
    HWND prompt = WaitForWindow(app.pid, kBoxCaption, 10000);
    ASSERT_NE(prompt, nullptr);
    Press(prompt, IDYES);
    HWND result = nullptr;
    ASSERT_TRUE(WaitUntil(
        [&] {
          for (HWND b : MessageBoxes(app.pid))
            if (b != prompt && WindowText(b) == kBoxCaption) result = b;
          return result != nullptr;
        },
        120000))
        << "no result box";
    EXPECT_EQ(MessageBoxText(result),
              genuine ? L"Update is completed." : L"Update failed.\r\nPlease check USB connection and try again.");
    Press(result, IDOK);
    // The window takes a close only once its box has gone and it is enabled again.
    ASSERT_TRUE(WaitUntil([&] { return !IsWindow(result) && IsWindowEnabled(main); }, 10000));
    CloseBox(main);
    if (HasFatalFailure()) return;  // the running copy is ended by TearDown
    app.Close();
    const simmouse::MouseState after = store.Load();
    if (genuine) {
      EXPECT_NE(after.kestrelVersion, "1.1.0");
      EXPECT_NE(after.mcuVersion, 0x0101);
    } else {
      EXPECT_EQ(after.kestrelBytesWritten + after.mcuBytesWritten, 0u) << "the mouse was written";
      EXPECT_EQ(after.kestrelVersion, "1.1.0");
      EXPECT_EQ(after.mcuVersion, 0x0101);
    }
    for (const wchar_t* name : {L"KestrelHidCoreLib.dll", L"KestrelRuntime.dll", L"hid.dll"})
      EXPECT_FALSE(Exists(marks + L"\\" + name + L".loaded")) << "a planted library was loaded";
  }
  PreferPlantedLibraries(programs::kUpdater, false);
}
