// The update worker's stages, retry, failure report and outcome, with a
// recording view, a scripted Kestrel flow and a fake updater library.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/Format.h"
#include "app/Log.h"
#include "device/Version.h"
#include "tests/kestrel/LogCapture.h"
#include "tests/support/FakeHidBackend.h"
#include "tests/support/FakeMainView.h"
#include "ui/MainDialogLogic.h"
#include "update/Progress.h"

namespace {

const wchar_t kFailed[] = L"Update failed.\r\nPlease check USB connection and try again.";

// ---- scripted Kestrel flow
struct FlowCall {
  uint16_t vid, pid;
  std::string path;
};
std::vector<int32_t> g_flowResults;
std::vector<FlowCall> g_flowCalls;
int32_t ScriptedFlow(uint16_t vid, uint16_t pid, const char* path) {
  g_flowCalls.push_back({vid, pid, path});
  // The stage reports its progress as the SDK would.
  UpdateProgressCallback(7, 40);
  UpdateProgressCallback(7, 100);
  const size_t i = g_flowCalls.size() - 1;
  return i < g_flowResults.size() ? g_flowResults[i] : 0;
}

// ---- fake updater library
int g_updateResult = 1;
int g_errorCode = 0;
int g_updateCalls = 0;
int g_errorCalls = 0;
std::wstring g_updatePath;
int VENDOR_CALL FakeUpdate(const wchar_t* path, FWU_ProgressCallback progress) {
  ++g_updateCalls;
  g_updatePath = path;
  progress(7, 0);
  progress(7, 60);
  if (g_updateResult) progress(7, 100);
  return g_updateResult;
}
int VENDOR_CALL FakeErrorCode() {
  ++g_errorCalls;
  return g_errorCode;
}

unsigned int g_packageVersion = 0x00010002;
int VENDOR_CALL FakeFileInfo(const wchar_t*, unsigned short* vid, unsigned short* pid, unsigned int* deviceVersion,
                             unsigned int* fileVersion, unsigned int*, unsigned int*) {
  *vid = 0x7C3E;
  *pid = 0x5D1A;
  *deviceVersion = 0x0102;
  *fileVersion = g_packageVersion;
  if (g_packageVersion == 0) g_errorCode = 6;  // the library's "not a valid package"
  return g_packageVersion != 0;
}

// ---- debugger output
std::mutex g_debugLock;
std::wstring g_debug;
void CaptureDebug(const wchar_t* text) {
  std::lock_guard<std::mutex> l(g_debugLock);
  g_debug += text;
}

class UpdateWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_flowResults.clear();
    g_flowCalls.clear();
    g_updateResult = 1;
    g_errorCode = 0;
    g_updateCalls = g_errorCalls = 0;
    g_updatePath.clear();
    g_debug.clear();
    g_iProgress = 0;
    g_iUpdateState = 0;
    g_iUpdateStage = 0;
    SetDebugOutput(CaptureDebug);

    settings.m_strVid = L"7C3E";
    settings.m_strPid = L"5D1A";
    logic.m_strBinPath = L"/tmp/OrvaneTessik_mouse/MouseFW.bin";
    wcscpy(logic.m_szSfwPath, L"/tmp/OrvaneTessik_mouse/Mouse_TMB.sfw");
    logic.m_strFileVersion = L"0207";
    logic.m_strMsgCaption = L"Orvane Firmware Updater";
    logic.m_api.fnFWU_Update = FakeUpdate;
    logic.m_api.fnFWU_Get_FW_ErrorCode = FakeErrorCode;
    logic.m_pfnKestrelFlow = ScriptedFlow;
    logic.m_sleep = [this](DWORD ms) { sleeps.push_back(ms); };
    g_pMainDlg = &logic;
  }
  void TearDown() override {
    g_pMainDlg = nullptr;
    SetDebugOutput(nullptr);
  }

  FakeMainView view;
  CDeviceSettings settings;
  FakeHidBackend hid;
  CMainDialogLogic logic{view, settings, hid};
  std::vector<DWORD> sleeps;
};

TEST_F(UpdateWorkerTest, SuccessShowsTheFullBarTheFinishedTextsAndThePackageVersion) {
  EXPECT_EQ(logic.Thread_UpdateFW(), 0u);

  ASSERT_EQ(g_flowCalls.size(), 1u);
  EXPECT_EQ(g_flowCalls[0].vid, 0x7C3E);
  EXPECT_EQ(g_flowCalls[0].pid, 0x5D1A);
  EXPECT_EQ(g_flowCalls[0].path, "/tmp/OrvaneTessik_mouse/MouseFW.bin");
  EXPECT_EQ(g_updateCalls, 1);
  EXPECT_EQ(g_updatePath, L"/tmp/OrvaneTessik_mouse/Mouse_TMB.sfw");
  EXPECT_EQ(g_errorCalls, 0);

  // 0 from the start, the Kestrel stage up to 49, the Tamber stage from 50 to 99, then 100.
  EXPECT_EQ(view.Progress(), std::vector<int>({0, 19, 49, 50, 79, 99, 100}));
  EXPECT_EQ(view.Text(1006), L"Update finished.");
  EXPECT_EQ(view.Text(1008), L"Update is completed.");
  EXPECT_EQ(view.Text(1009), VersionDisplayText(L"0207"));
  const auto boxes = view.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, L"Update is completed.");
  EXPECT_EQ(boxes[0].caption, L"Orvane Firmware Updater");
  EXPECT_EQ(boxes[0].type, MB_OK);
  EXPECT_EQ(g_iUpdateState.load(), 255);
  EXPECT_EQ(logic.m_bUpdateStarted.load(), 1);
  EXPECT_TRUE(sleeps.empty());

  // A library that reports after the end changes nothing.
  UpdateProgressCallback(7, 30);
  UpdateProgressCallback(3, 0);
  EXPECT_EQ(g_iUpdateState.load(), 255);
  EXPECT_EQ(view.Progress().size(), 7u);
  // A second update (WM_START_UPDATE) shows its own progress from 0 again.
  EXPECT_EQ(logic.Thread_UpdateFW(), 0u);
  EXPECT_EQ(view.Progress(), std::vector<int>({0, 19, 49, 50, 79, 99, 100, 0, 19, 49, 50, 79, 99, 100}));
}

TEST_F(UpdateWorkerTest, ImagePathsTheAnsiCodePageCannotHoldAreNotHandedToTheSdk) {
#ifdef _WIN32
  wchar_t buffer[MAX_PATH];
  GetTempPathW(MAX_PATH, buffer);
  const std::wstring temp(buffer, wcslen(buffer) - 1);
#else
  const std::wstring temp = L"/tmp";
#endif
  const std::wstring han = temp + L"/\u4E2D\u6587_orvane";  // exists: its short form is used
#ifdef _WIN32
  CreateDirectoryW(han.c_str(), nullptr);
#endif
  struct Case {
    std::wstring path;
    bool ansi;  // the code page holds it, or its short form
  };
  const Case cases[] = {
      {temp + L"/plain/MouseFW.bin", true},
      {han, true},
      {temp + L"/\u4E2D\u6587_missing/MouseFW.bin", false},  // no file, no short form
  };
  for (const Case& c : cases) {
    SetUp();
    logic.m_strBinPath = c.path;
    const bool ok = logic.OnFirmwareUpdate();
#ifdef _WIN32
    EXPECT_EQ(ok, c.ansi);
    EXPECT_EQ(g_flowCalls.size(), c.ansi ? 1u : 0u);
    EXPECT_EQ(g_debug.find(L"ANSI code page") != std::wstring::npos, !c.ansi) << g_debug;
    if (!g_flowCalls.empty()) {
      EXPECT_EQ(g_flowCalls[0].path.find('?'), std::string::npos);
    }
#else
    EXPECT_TRUE(ok);  // UTF-8 holds every path
    EXPECT_EQ(g_flowCalls.size(), 1u);
#endif
    EXPECT_EQ(g_iUpdateState.load(), 10);
  }
#ifdef _WIN32
  RemoveDirectoryW(han.c_str());
#endif
}

// The thread's code page converts the path, the process's opens it: they must
// agree on its bytes, or the SDK opens another file. (Here U+00E9 is 0xE9 in
// the thread's; the process's lacks it, or has it as 0x89.)
TEST(SdkImagePath, BothCodePagesMustGiveTheSameBytesElseTheShortFormIsTried) {
  const struct {
    int process;  // 0xE9, 0 (lacks it) or 0x89
    const wchar_t* shortForm;
    const char* sent;  // null: none, the update does not run
  } cases[] = {{0xE9, L"C:\\JOS~1", "C:\\Jos\xE9"}, {0, L"C:\\JOS~1", "C:\\JOS~1"},
               {0x89, L"C:\\JOS~1", "C:\\JOS~1"}, {0x89, L"", nullptr}};
  for (const auto& c : cases) {
    const NarrowPathFn narrow = [&c](UINT codePage, const std::wstring& wide, std::string* out) {
      const int e9 = codePage == CP_ACP ? c.process : 0xE9;
      out->clear();
      for (wchar_t ch : wide) out->push_back(static_cast<char>(ch == 0xE9 ? e9 : ch));
      return out->find('\0') == std::string::npos;
    };
    std::string sent = "stale";
    EXPECT_EQ(SdkPathFrom(L"C:\\Jos\u00E9", narrow, [&c](const std::wstring&) { return c.shortForm; }, &sent),
              c.sent != nullptr);
    EXPECT_EQ(sent, c.sent ? c.sent : "");
  }
#ifdef _WIN32
  // UTF-8 as the code page (the system's, where so set) takes neither best-fit flag nor loss report.
  std::string utf8;
  EXPECT_TRUE(NarrowPathIn(CP_UTF8, L"C:\\Jos\u00E9", &utf8));
  EXPECT_EQ(utf8, "C:\\Jos\xC3\xA9");
  EXPECT_FALSE(NarrowPathIn(CP_UTF8, L"C:\\\xD800", &utf8));  // a lone surrogate names no file
#endif
}

TEST_F(UpdateWorkerTest, KestrelResultsDecideRetryAndWhetherTheTamberStageRuns) {
  struct Case {
    const char* name;
    std::vector<int32_t> results;
    size_t calls;
    size_t pauses;
    bool tamber;
  };
  const Case cases[] = {
      {"success first time", {0}, 1, 0, true},
      {"retry then success", {2, 0}, 2, 1, true},
      {"retry twice fails after two pauses", {2, 2}, 2, 2, false},
      {"retry then time-out", {2, -1000}, 2, 1, false},
      {"hard failure, no pause", {-1}, 1, 0, false},
      {"success status outside the wait", {1}, 1, 0, false},
  };
  for (const Case& c : cases) {
    SetUp();
    sleeps.clear();
    g_flowResults = c.results;
    g_errorCode = -4;
    const bool ok = logic.OnFirmwareUpdate();
    EXPECT_EQ(ok, c.tamber) << c.name;
    EXPECT_EQ(g_flowCalls.size(), c.calls) << c.name;
    EXPECT_EQ(sleeps, std::vector<DWORD>(c.pauses, 5000)) << c.name;
    EXPECT_EQ(g_updateCalls, c.tamber ? 1 : 0) << c.name;
    // A failed Kestrel stage still asks the library for its code.
    EXPECT_EQ(g_errorCalls, c.tamber ? 0 : 1) << c.name;
    EXPECT_EQ(g_iUpdateState.load(), 10) << c.name;
  }
}

TEST_F(UpdateWorkerTest, TwoMicePluggedInAreRefusedBeforeTheKestrelStageAndByTheLibraryAlone) {
  // Per mouse (its instance) the two collections of interface 02 and interface 00.
  for (const bool tamberOnly : {false, true}) {
    for (const std::vector<const wchar_t*>& mice : {std::vector<const wchar_t*>{L"1a2b"}, {L"1a2b", L"5e6f"}}) {
      SetUp();
      settings.RebuildDevicePattern();
      hid.devices.clear();
      for (const wchar_t* mouse : mice)
        for (const wchar_t* mi : {L"mi_02&col02#7&%ls&0&0001", L"mi_02#7&%ls&0&0000", L"mi_00#7&%ls&0&0000"})
          hid.devices.push_back({L"\\\\?\\hid#vid_7c3e&pid_5d1a&" + FormatText(mi, mouse) + L"#{4d1e55b2}", L""});
      logic.m_bTamberOnly = tamberOnly;
      const bool one = mice.size() == 1;
      // The library refuses two mice itself, before it writes.
      if (!one) g_updateResult = 0, g_errorCode = -6;
      EXPECT_EQ(logic.OnFirmwareUpdate(), one);
      EXPECT_EQ(g_flowCalls.size(), one && !tamberOnly ? 1u : 0u);
      EXPECT_EQ(g_updateCalls, one || tamberOnly ? 1 : 0);
      EXPECT_EQ(g_debug.find(L"2 mice with VID_7C3E&PID_5D1A&MI_02 are plugged in") == std::wstring::npos,
                one || tamberOnly);
      if (!one && tamberOnly) {
        EXPECT_NE(g_debug.find(L"debug_:Error Code=-6 ,Error string=Not support multi-device"), std::wstring::npos);
      }
    }
  }
}

TEST_F(UpdateWorkerTest, TamberOnlyPackageSkipsTheKestrelStageAndStartsAt50) {
  logic.m_bTamberOnly = true;
  EXPECT_TRUE(logic.OnFirmwareUpdate());
  EXPECT_TRUE(g_flowCalls.empty());
  EXPECT_EQ(g_iUpdateStage.load(), 1);
  EXPECT_EQ(view.Progress(), std::vector<int>({50, 79, 99}));
}

TEST_F(UpdateWorkerTest, FailedTamberStageReportsCodeAndTextOnlyToTheDebugger) {
  g_updateResult = 0;
  g_errorCode = -4;
  EXPECT_EQ(logic.Thread_UpdateFW(), 0u);

  EXPECT_NE(g_debug.find(L"debug_:Error Code=-4 ,Error string=No Device\n"), std::wstring::npos) << g_debug;
  EXPECT_EQ(view.Text(1006), L"");
  EXPECT_EQ(view.Text(1008), L"");
  // The bar stays where the last report left it.
  const std::vector<int> progress = view.Progress();
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), 79);
  const auto boxes = view.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, kFailed);
  EXPECT_EQ(boxes[0].caption, L"Orvane Firmware Updater");
  EXPECT_EQ(g_iUpdateState.load(), 255);
}

TEST_F(UpdateWorkerTest, UnloadedLibraryFailsWithoutCallingAnything) {
  logic.m_api = UpdaterApi();
  EXPECT_EQ(logic.Thread_UpdateFW(), 0u);
  EXPECT_TRUE(g_flowCalls.empty());  // no half update of the Kestrel side alone
  EXPECT_NE(g_debug.find(L"FWUpdater.dll"), std::wstring::npos) << g_debug;
  const auto boxes = view.Boxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, kFailed);
  EXPECT_EQ(g_iUpdateState.load(), 255);
}

TEST_F(UpdateWorkerTest, PackageTheLibraryCannotUseStopsTheUpdateBeforeAnyStage) {
  struct Case {
    const char* name;
    bool emptyPath;
    unsigned int version;
    const wchar_t* debug;
  };
  const Case cases[] = {
      {"query failed at start-up: no path", true, 0x00010002, L"no firmware package"},
      {"package no longer valid", false, 0, L"debug_:Error Code=6 ,"},
  };
  for (const Case& c : cases) {
    SetUp();
    logic.m_api.fnFWU_GetFileInfo = FakeFileInfo;
    g_packageVersion = c.version;
    if (c.emptyPath) logic.m_szSfwPath[0] = L'\0';
    EXPECT_FALSE(logic.OnFirmwareUpdate()) << c.name;
    EXPECT_TRUE(g_flowCalls.empty()) << c.name;
    EXPECT_EQ(g_updateCalls, 0) << c.name;
    EXPECT_NE(g_debug.find(c.debug), std::wstring::npos) << c.name << ": " << g_debug;
  }
  // A good package passes the check.
  SetUp();
  logic.m_api.fnFWU_GetFileInfo = FakeFileInfo;
  g_packageVersion = 0x00010002;
  EXPECT_TRUE(logic.OnFirmwareUpdate());
  EXPECT_EQ(g_flowCalls.size(), 1u);
}

// With file logging switched on (it is off in the delivered build) the
// worker writes its lines in order.
TEST_F(UpdateWorkerTest, LogFileLinesOfRetryAndOfBothOutcomes) {
  struct Case {
    const char* name;
    std::vector<int32_t> results;
    int updateResult;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"retry, then success",
       {2, 0},
       1,
       {"Thread_UpdateFW->OnFirmwareUpdate", "run_dfu_flow_wired_mouse", "run_dfu_flow_wired_mouse nUpdateTimes:0",
        "run_dfu_flow_wired_mouse nUpdateTimes:0, ret:2", "run_dfu_flow_wired_mouse nUpdateTimes:1",
        "run_dfu_flow_wired_mouse return code:0", "FWU_Update UPDATE_TAMBER", "Thread_UpdateFW true",
        "Update is completed."}},
      {"Kestrel stage fails",
       {-1},
       1,
       {"run_dfu_flow_wired_mouse nUpdateTimes:0", "run_dfu_flow_wired_mouse return code:-1",
        "run_dfu_flow_wired_mouse return false:-1", "fnFWU_Get_FW_ErrorCode:-4--No Device", "Thread_UpdateFW false",
        "Update failed."}},
  };
  for (const Case& c : cases) {
    SetUp();
    g_flowResults = c.results;
    g_updateResult = c.updateResult;
    g_errorCode = -4;
    LogCapture log;
    logic.Thread_UpdateFW();
    std::vector<std::string> entries;
    for (const std::string& l : c.lines) entries.push_back("]  " + l + "\r\n\r\n");
    std::string missing;
    EXPECT_TRUE(InOrder(log.File(), entries, &missing)) << c.name << ": " << missing << "\n" << log.File();
    if (c.results.back() != 0) {
      EXPECT_EQ(log.File().find("FWU_Update UPDATE_TAMBER"), std::string::npos) << c.name;
    }
  }
}

TEST_F(UpdateWorkerTest, MissingErrorCodeEntryPointIsNotCalled) {
  logic.m_api.fnFWU_Get_FW_ErrorCode = nullptr;
  g_updateResult = 0;
  EXPECT_FALSE(logic.OnFirmwareUpdate());
  EXPECT_EQ(g_updateCalls, 1);
  EXPECT_NE(g_debug.find(L"FWU_Get_FW_ErrorCode"), std::wstring::npos) << g_debug;
}

// A view whose first progress report and message box hold the worker until the test lets go.
class GatedView : public FakeMainView {
 public:
  void SetProgressPos(int pos) override {
    if (Hold(firstStep)) FakeMainView::SetProgressPos(pos);
  }
  int ShowMessageBox(const std::wstring& text, const wchar_t* caption, UINT type) override {
    Hold(box);
    return FakeMainView::ShowMessageBox(text, caption, type);
  }
  struct Gate {
    bool reached = false, open = false;
  };
  bool Hold(Gate& g) {
    std::unique_lock<std::mutex> l(gm);
    g.reached = true;
    cv.notify_all();
    cv.wait(l, [&] { return g.open; });
    return true;
  }
  void WaitReached(Gate& g) {
    std::unique_lock<std::mutex> l(gm);
    cv.wait(l, [&] { return g.reached; });
  }
  void Open(Gate& g) {
    std::lock_guard<std::mutex> l(gm);
    g.open = true;
    cv.notify_all();
  }
  std::mutex gm;
  std::condition_variable cv;
  Gate firstStep, box;
};

TEST(UpdateWorkerThread, OneWorkerAtATimeAndRunningFromFirstToLastStep) {
  GatedView view;
  CDeviceSettings settings;
  settings.m_strVid = L"7C3E";
  settings.m_strPid = L"5D1A";
  FakeHidBackend hid;
  CMainDialogLogic logic{view, settings, hid};
  logic.m_api.fnFWU_Update = FakeUpdate;
  logic.m_api.fnFWU_Get_FW_ErrorCode = FakeErrorCode;
  logic.m_bTamberOnly = true;
  logic.m_sleep = [](DWORD) {};
  g_updateResult = 1;
  g_pMainDlg = &logic;

  EXPECT_FALSE(logic.IsWorkerRunning());
  ASSERT_TRUE(logic.StartWorker());
  EXPECT_TRUE(logic.IsWorkerRunning());
  view.WaitReached(view.firstStep);  // the thread is at its first step
  EXPECT_TRUE(logic.IsWorkerRunning());
  EXPECT_FALSE(logic.StartWorker());
  view.Open(view.firstStep);

  view.WaitReached(view.box);  // the result is up, the update is over: 255
  EXPECT_EQ(g_iUpdateState.load(), 255);
  EXPECT_TRUE(logic.IsWorkerRunning());
  EXPECT_FALSE(logic.StartWorker());
  view.Open(view.box);

  for (int i = 0; i < 5000 && logic.IsWorkerRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_FALSE(logic.IsWorkerRunning());
  EXPECT_EQ(view.Boxes().size(), 1u);
  g_pMainDlg = nullptr;
}

}  // namespace
