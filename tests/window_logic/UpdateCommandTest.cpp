#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "app/Log.h"
#include "kestrel/KestrelDfu.h"
#include "resources/resource.h"
#include "tests/support/FakeHidBackend.h"
#include "tests/support/FakeMainView.h"
#include "ui/MainDialogLogic.h"
#include "update/Progress.h"

namespace {

std::atomic<int> g_updates{0};
std::atomic<int> g_updateMs{50};  // how long the update takes; -1: until released
std::atomic<bool> g_release{false};
int VENDOR_CALL FakeUpdate(const wchar_t*, FWU_ProgressCallback) {
  ++g_updates;
  for (int ms = 0; g_updateMs < 0 ? !g_release : ms < g_updateMs; ms += 5)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  return 1;
}

std::mutex g_debugLock;
std::wstring g_debug;
void CaptureDebug(const wchar_t* text) {
  std::lock_guard<std::mutex> l(g_debugLock);
  g_debug += text;
}

class UpdateCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_iUpdateState = 0;
    g_iProgress = 0;
    g_updates = 0;
    g_updateMs = 50;
    g_release = false;
    g_pMainDlg = &logic;
    logic.m_strMsgCaption = L"Orvane Firmware Updater";
    logic.m_bTamberOnly = true;
    logic.m_api.fnFWU_Update = &FakeUpdate;
    logic.m_sleep = [](DWORD) {};
  }
  void TearDown() override {
    WaitForWorker();
    g_pMainDlg = nullptr;
    g_iUpdateState = 0;
  }
  void WaitForWorker() {
    for (int i = 0; i < 500 && logic.IsWorkerRunning(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(logic.IsWorkerRunning());
  }
  std::wstring Prompt() { return view.Boxes().at(0).text; }

  FakeMainView view;
  CDeviceSettings settings;
  FakeHidBackend hid;
  CMainDialogLogic logic{view, settings, hid};
};

TEST_F(UpdateCommandTest, ThePromptFollowsTheVersionComparison) {
  struct Case {
    DWORD device, package;
    const wchar_t* prompt;
  } cases[] = {
      {1023, 0x01000204, L"New version available, update?"},
      {1024, 0x01000204, L"Already latest version, still update?"},
      {1023, 0x01000A03, L"Already latest version, still update?"},
      {5, 0, L"Already latest version, still update?"},
      {1023, 0x11101214, L"New version available, update?"},
  };
  view.answerBox = [](const FakeMainView::Box&) { return IDNO; };
  for (const Case& c : cases) {
    view.boxes.clear();
    logic.m_dwDeviceVersion = c.device;
    logic.m_dwFileVersion = c.package;
    logic.OnBnClickedUpdate();
    ASSERT_EQ(view.Boxes().size(), 1u);
    EXPECT_EQ(Prompt(), c.prompt) << c.device;
    EXPECT_EQ(view.Boxes()[0].caption, L"Orvane Firmware Updater");
    EXPECT_EQ(view.Boxes()[0].type, (UINT)MB_YESNO);
  }
}

TEST_F(UpdateCommandTest, NoLeavesTheButtonDisabledAndGreyAndStartsNothing) {
  view.updateEnabled = true;
  view.answerBox = [](const FakeMainView::Box&) { return IDNO; };
  logic.OnBnClickedUpdate();
  EXPECT_FALSE(view.updateEnabled);
  ASSERT_EQ(view.looks.size(), 1u);
  EXPECT_EQ(view.looks[0].normal, (UINT)IDB_PNG_INACTIVE);
  EXPECT_EQ(view.looks[0].text, RGB(176, 176, 176));
  EXPECT_EQ(view.Text(IDC_NOTICE), L"");
  EXPECT_FALSE(logic.IsWorkerRunning());
  EXPECT_EQ(logic.m_bUpdateStarted.load(), 0);
}

TEST_F(UpdateCommandTest, YesShowsTheNoticeAndRunsOneUpdate) {
  // The mouse arrives again while the prompt is open (the window is still idle).
  view.answerBox = [&](const FakeMainView::Box& box) {
    if (box.type != MB_YESNO) {
      // The result: the system was held from the start until the write ended.
      EXPECT_EQ(view.holds, std::vector<bool>({true, false}));
      return IDOK;
    }
    logic.OnDeviceArrived(settings.m_strDevicePattern.c_str());
    EXPECT_EQ(view.updateEnabled, logic.m_bUpdateStarted.load() == 0);  // only before the update
    return IDYES;
  };
  logic.OnBnClickedUpdate();
  EXPECT_EQ(view.Text(IDC_NOTICE).substr(0, 28), L"Please DO NOT unplug Device.");
  EXPECT_FALSE(view.updateEnabled);  // the update has started
  WaitForWorker();
  EXPECT_EQ(g_updates.load(), 1);
  EXPECT_EQ(logic.m_bUpdateStarted.load(), 1);
  // A second Yes in the same run does nothing.
  logic.OnBnClickedUpdate();
  WaitForWorker();
  EXPECT_EQ(g_updates.load(), 1);
}

TEST_F(UpdateCommandTest, TheStartMessageSkipsThePromptButNeverStartsASecondWorker) {
  logic.OnStartUpdateMessage();
  EXPECT_TRUE(view.Boxes().empty() || view.Boxes()[0].text != L"New version available, update?");
  logic.OnStartUpdateMessage();  // while the first one runs
  logic.OnStartUpdateMessage();
  WaitForWorker();
  EXPECT_EQ(g_updates.load(), 1);
  EXPECT_EQ(view.textHistory[IDC_NOTICE].front(), L"Please DO NOT unplug Device");
}

TEST_F(UpdateCommandTest, WhileTheWorkerRunsTheWindowIsNotIdleEvenBeforeTheFirstReport) {
  logic.OnStartUpdateMessage();
  EXPECT_TRUE(logic.IsWorkerRunning());
  EXPECT_FALSE(logic.IsIdle());  // g_iUpdateState may still read 0 here
  WaitForWorker();
}

TEST_F(UpdateCommandTest, AnswersAfterTheWindowBeganToEndStartNothing) {
  // A close request (WM_CLOSE) granted while the prompt is open: neither Yes nor 2039 starts a worker.
  view.answerBox = [&](const FakeMainView::Box&) { return logic.OnCloseRequest() ? IDYES : IDNO; };
  logic.OnBnClickedUpdate();
  logic.OnStartUpdateMessage();
  EXPECT_FALSE(logic.IsWorkerRunning());
  EXPECT_EQ(logic.m_bUpdateStarted.load(), 0);
}

TEST_F(UpdateCommandTest, ACloseWhileTheWorkerTakesItsLastStepsIsAskedAgain) {
  std::atomic<int> answered{0};
  view.answerBox = [&](const FakeMainView::Box& box) {
    if (box.type == MB_OK) {
      // The result is out but the worker has not returned: refused, to be asked again.
      EXPECT_FALSE(logic.OnCloseRequest());
      ++answered;
    }
    return (box.type & 0xF) == MB_YESNO ? IDYES : IDOK;
  };
  EXPECT_TRUE(logic.CanClose());  // idle: would close at once
  logic.OnStartUpdateMessage();
  EXPECT_FALSE(logic.OnCloseRequest());  // running, no result yet: refused outright
  WaitForWorker();
  EXPECT_EQ(answered.load(), 1);
  EXPECT_EQ(view.closeRequests.load(), 1);
  EXPECT_TRUE(logic.OnCloseRequest());
}

// The session ends (WM_ENDSESSION) while an update writes: the running stage
// is given a bounded time, less than the system allows, to finish.
TEST_F(UpdateCommandTest, TheSessionEndingDuringAnUpdateWaitsABoundedTimeForTheStage) {
  ScaledKestrelTime time(0.05);  // the update's clock: its 4,000 ms pass in 200
  SetKestrelTime(&time);
  SetDebugOutput(CaptureDebug);
  const struct {
    const char* name;
    bool update, ending;
    int updateMs;              // real time
    int64_t atLeast, atMost;   // the wait, on the update's clock
    const wchar_t* line;       // the debugger's last word
  } cases[] = {
      {"no update", false, true, 0, 0, 500, nullptr},
      {"the session goes on", true, false, -1, 0, 500, nullptr},
      {"a stage that ends in time", true, true, 100, 0, 3500, L"the update's stages ended before the session"},
      {"a stage that does not", true, true, -1, 4000, 9000, L"recovery program, OrvaneUpdaterRecovery.exe"},
  };
  for (const auto& c : cases) {
    g_debug.clear();
    g_updateMs = c.updateMs;
    g_release = false;
    if (c.update) logic.OnStartUpdateMessage();
    const int64_t start = time.NowMs();
    logic.OnEndSession(c.ending);
    const int64_t waited = time.NowMs() - start;
    g_release = true;
    WaitForWorker();
    EXPECT_GE(waited, c.atLeast) << c.name;
    EXPECT_LE(waited, c.atMost) << c.name;
    std::lock_guard<std::mutex> l(g_debugLock);
    if (c.line) {
      EXPECT_NE(g_debug.find(c.line), std::wstring::npos) << c.name;
    } else {
      EXPECT_EQ(g_debug, L"") << c.name;
    }
  }
  SetDebugOutput(nullptr);
  SetKestrelTime(nullptr);
}

}  // namespace
