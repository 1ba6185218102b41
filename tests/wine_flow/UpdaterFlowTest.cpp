// The shipped program under Wine against the simulated mouse on the virtual
// HID bus: found at start, updated from the click to the result, unplugged and
// plugged in, and each injected fault. The updater runs as its own process,
// driven from here.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/WinFiles.h"
#include "tests/support/Programs.h"
#include "resources/resource.h"
#include "simmouse/SimMouse.h"
#include "tests/support/TempDir.h"
#include "tests/support/WinDriver.h"

namespace {

using namespace winfiles;

using namespace windriver;

const wchar_t kMainCaption[] = L"Orvane Dravik Mouse\x2013 Firmware Updater";
const wchar_t kBoxCaption[] = L"Orvane Firmware Updater";
const wchar_t kFailed[] = L"Update failed.\r\nPlease check USB connection and try again.";

std::wstring Shots() {
  std::wstring dir = BesideMe(L"..\\screenshots");
  CreateDirectoryW(dir.c_str(), nullptr);
  return dir + L"\\";
}

class UpdaterFlowTest : public ::testing::Test {
 protected:
  UpdaterFlowTest() : statePath(dir.NativePath("mouse.state")), store(statePath) {
    CreateDirectoryW((dir.WidePath() + L"\\temp").c_str(), nullptr);
  }
  void SetUp() override {
    ASSERT_TRUE(simmouse::Reset(store, 0x0101, "1.1.0"));
    StartHost(L"0.1");
  }
  // The mouse, and the stand-in libraries with it, run at the host's time scale.
  void StartHost(const wchar_t* timeScale) {
    host.reset();
    host.reset(new MouseHost(std::wstring(statePath.begin(), statePath.end()), timeScale));
    hostScale = timeScale;
    ASSERT_TRUE(host->Serving()) << "the mouse host did not show the mouse";
  }
  void TearDown() override {
    if (app.Running()) {
      app.Kill();
      ADD_FAILURE() << "the updater was still running";
    }
    app.Close();
  }

  // The program and the libraries it carries know nothing of the simulation:
  // they meet the mouse on the bus, and nothing names its state file to them.
  void Start(const wchar_t* exe = programs::kUpdater, const wchar_t* timeScale = L"0.1") {
    if (hostScale != timeScale) StartHost(timeScale);
    std::wstring temp = dir.WidePath() + L"\\temp";
    app = Launch(ShippedProgram(exe), {{L"TEMP", temp}, {L"TMP", temp}, {L"ORVANE_SIMMOUSE", L""}});
    ASSERT_NE(app.handle, nullptr);
    main = WaitForWindow(app.pid, kMainCaption, 45000);
    ASSERT_NE(main, nullptr) << "the main window did not open";
  }
  // The next message box of the updater; null on time-out.
  HWND Box(DWORD timeoutMs = 20000) { return WaitForWindow(app.pid, kBoxCaption, timeoutMs); }
  void Close() {
    PostMessageW(main, WM_CLOSE, 0, 0);
    DWORD code = 0;
    ASSERT_TRUE(app.WaitExit(10000, &code))
        << "the updater did not end; main window " << (IsWindow(main) ? "still there" : "gone") << ", "
        << TopWindows(app.pid).size() << " visible windows";
  }
  // Clicks Update and answers the prompt; returns the prompt's text.
  std::wstring ClickUpdate(int answer) {
    Press(main, IDOK);
    HWND prompt = Box();
    if (!prompt) return L"<no prompt>";
    std::wstring text = MessageBoxText(prompt);
    Press(prompt, answer);
    WaitUntil([&] { return !IsWindow(prompt); }, 5000);
    return text;
  }
  // Watches the progress until the result box shows; returns that box.
  HWND WatchUntilResult(std::vector<int>* shown, bool tryToClose) {
    HWND result = nullptr;
    WaitUntil(
        [&] {
          int pos = ProgressPos(main, IDC_PROGRESS);
          if (shown->empty() || shown->back() != pos) shown->push_back(pos);
          if (tryToClose) PostMessageW(main, WM_CLOSE, 0, 0);
          result = TopWindows(app.pid, kBoxCaption).empty() ? nullptr : TopWindows(app.pid, kBoxCaption).front();
          return result != nullptr;
        },
        90000, 15);
    return result;
  }
  simmouse::MouseState Mouse() { return store.Load(); }

  TempDir dir;
  std::string statePath;
  simmouse::Store store;
  std::unique_ptr<MouseHost> host;
  std::wstring hostScale;
  Process app;
  HWND main = nullptr;
};

TEST_F(UpdaterFlowTest, AWholeUpdateFromTheClickToTheResultAndARerunSeesTheNewVersion) {
  Start();
  EXPECT_EQ(ControlText(main, IDC_DEVICE_VERSION), L"0.1.0.1");
  EXPECT_EQ(ControlText(main, IDC_FILE_VERSION), L"0.1.0.2");
  EXPECT_TRUE(IsControlEnabled(main, IDOK));
  SaveScreenshot(main, Shots() + L"flow-1-ready.png");

  EXPECT_EQ(ClickUpdate(IDYES), L"New version available, update?");
  EXPECT_EQ(ControlText(main, IDC_NOTICE), L"Please DO NOT unplug Device.");
  EXPECT_FALSE(IsControlEnabled(main, IDOK));

  std::vector<int> shown;
  HWND result = WatchUntilResult(&shown, /*tryToClose=*/true);  // the close box is ignored meanwhile
  ASSERT_NE(result, nullptr);
  SaveScreenshot(main, Shots() + L"flow-2-finished.png");
  EXPECT_EQ(MessageBoxText(result), L"Update is completed.");
  EXPECT_EQ(ControlText(main, IDC_PROGRESS_TEXT), L"Update finished.");
  EXPECT_EQ(ControlText(main, IDC_NOTICE), L"Update is completed.");
  EXPECT_EQ(ControlText(main, IDC_DEVICE_VERSION), L"0.1.0.2");
  EXPECT_EQ(ProgressPos(main, IDC_PROGRESS), 100);
  for (size_t i = 1; i < shown.size(); ++i) EXPECT_LE(shown[i - 1], shown[i]) << "the bar went back";
  bool sawKestrel = false, sawTamber = false;
  for (int p : shown) {
    sawKestrel |= p > 0 && p < 50;
    sawTamber |= p >= 50 && p < 100;
  }
  EXPECT_TRUE(sawKestrel && sawTamber);
  Press(result, IDOK);

  // After the update, plugging in changes nothing.
  simmouse::Unplug(store);
  simmouse::Plug(store);
  Sleep(500);
  EXPECT_FALSE(IsControlEnabled(main, IDOK));
  EXPECT_EQ(ControlText(main, IDC_DEVICE_VERSION), L"0.1.0.2");
  Close();

  simmouse::MouseState mouse = Mouse();
  EXPECT_EQ(mouse.mcuVersion, 0x0102);
  EXPECT_EQ(mouse.kestrelVersion, "1.2.0");
  EXPECT_EQ(mouse.state, simmouse::DeviceState::Application);

  Start();
  EXPECT_EQ(ControlText(main, IDC_DEVICE_VERSION), L"0.1.0.2");
  EXPECT_EQ(ClickUpdate(IDNO), L"Already latest version, still update?");
  EXPECT_FALSE(IsControlEnabled(main, IDOK));
  EXPECT_EQ(Mouse().mcuUpdates, mouse.mcuUpdates);
  Close();
}

TEST_F(UpdaterFlowTest, WithNoMousePluggedTheRunSaysSoAndEndsCleanly) {
  simmouse::Unplug(store);
  ASSERT_TRUE(MouseHost::WaitShown(false));
  std::wstring temp = dir.WidePath() + L"\\temp";
  app = Launch(ShippedProgram(programs::kUpdater), {{L"TEMP", temp}, {L"TMP", temp}});
  ASSERT_NE(app.handle, nullptr);
  HWND box = Box(30000);
  ASSERT_NE(box, nullptr);
  EXPECT_EQ(MessageBoxText(box), L"No device found.\r\nPlease connect your device to get started.");
  EXPECT_TRUE(TopWindows(app.pid, kMainCaption).empty());
  Press(box, IDOK);
  DWORD code = 0;
  ASSERT_TRUE(app.WaitExit(15000, &code));
  EXPECT_EQ(GetFileAttributesW((temp + L"\\OrvaneTessik_mouse").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(UpdaterFlowTest, UnpluggingWhileIdleGreysUpdateAndPluggingInRestoresIt) {
  Start();
  simmouse::Unplug(store);
  EXPECT_TRUE(WaitUntil([&] { return !IsControlEnabled(main, IDOK); }, 5000));
  EXPECT_EQ(ControlText(main, IDC_DEVICE_VERSION), L"");
  SaveScreenshot(main, Shots() + L"flow-3-unplugged.png");
  simmouse::Plug(store);
  EXPECT_TRUE(WaitUntil([&] { return IsControlEnabled(main, IDOK); }, 5000));
  EXPECT_EQ(ControlText(main, IDC_DEVICE_VERSION), L"0.1.0.1");
  Close();
}

TEST_F(UpdaterFlowTest, TheStartMessageUpdatesWithoutAPromptAndOnlyOnce) {
  Start();
  PostMessageW(main, WM_USER + 1015, 0, 0);
  PostMessageW(main, WM_USER + 1015, 0, 0);
  std::vector<int> shown;
  HWND result = WatchUntilResult(&shown, false);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(MessageBoxText(result), L"Update is completed.");
  Press(result, IDOK);
  EXPECT_TRUE(WaitUntil([&] { return TopWindows(app.pid, kBoxCaption).empty(); }, 3000));
  Close();
  EXPECT_EQ(Mouse().mcuUpdates, 1u);
  EXPECT_EQ(Mouse().kestrelUpdates, 1u);
}

// The end of the session while the mouse is written waits for the update: the
// window refuses it. (wineboot asks every window, and ends each process that agrees.)
// Where it ends all the same, the running stage gets a few seconds.
TEST_F(UpdaterFlowTest, TheEndOfTheSessionDuringAnUpdateWaitsForIt) {
  Start();
  ClickUpdate(IDYES);
  ASSERT_TRUE(WaitUntil([&] { return ProgressPos(main, IDC_PROGRESS) > 0; }, 20000));
  wchar_t system[MAX_PATH];
  GetSystemDirectoryW(system, MAX_PATH);
  Process wineboot = Launch(std::wstring(system) + L"\\wineboot.exe", {}, L"--end-session");
  EXPECT_TRUE(wineboot.WaitExit(30000));
  wineboot.Close();
  ASSERT_TRUE(app.Running()) << "the end of the session cut the update short";
  // The session ends all the same (forced): the window gives the stage a few
  // seconds, handling the reports sent to it meanwhile, before it lets go.
  auto written = [&] { return Mouse().kestrelBytesWritten + Mouse().mcuBytesWritten; };
  const uint64_t before = written();
  uint64_t midway = 0;
  std::thread watch([&] {
    Sleep(3000);
    midway = written();
  });
  const DWORD start = GetTickCount();
  DWORD_PTR answer = 0;
  EXPECT_TRUE(SendMessageTimeoutW(main, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 15000, &answer));
  const DWORD waited = GetTickCount() - start;
  // The stages are over once the mouse runs its new MCU code.
  const bool over = Mouse().mcuUpdates > 0;
  watch.join();
  EXPECT_TRUE(waited >= 3900 || over) << waited << " ms, and the stages still ran";
  EXPECT_TRUE(over || midway > before) << "the update stalled behind the waiting window";
  std::vector<int> shown;
  HWND result = WatchUntilResult(&shown, false);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(MessageBoxText(result), L"Update is completed.");
  Press(result, IDOK);
  Close();
}

// A start message during the "No device found." box starts no update: the
// dialog ends after the box, and a worker would write the mouse under it.
TEST_F(UpdaterFlowTest, AWindowThatIsEndingStartsNoUpdate) {
  simmouse::Unplug(store);
  ASSERT_TRUE(MouseHost::WaitShown(false));
  std::wstring temp = dir.WidePath() + L"\\temp";
  app = Launch(ShippedProgram(programs::kUpdater), {{L"TEMP", temp}, {L"TMP", temp}, {L"ORVANE_SIMMOUSE", L""}});
  HWND box = Box(30000);
  ASSERT_NE(box, nullptr);
  for (HWND w : AllTopWindows(app.pid))
    if (WindowText(w) == kMainCaption) main = w;
  simmouse::Plug(store);
  ASSERT_TRUE(MouseHost::WaitShown(true));
  Sleep(300);  // the arrival reaches the window
  PostMessageW(main, WM_USER + 1015, 0, 0);
  // The box stays open well past the moment a worker would begin to write
  // (about two seconds after its start), or until one does.
  WaitUntil([&] { return Mouse().state == simmouse::DeviceState::Writing || Mouse().kestrelBytesWritten > 0; }, 8000,
            50);
  Press(box, IDOK);
  DWORD code = 1;
  ASSERT_TRUE(app.WaitExit(15000, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(Mouse().state, simmouse::DeviceState::Application);
  EXPECT_EQ(Mouse().kestrelBytesWritten, 0u);
}

// Every scenario of the vendor libraries from the click to the result, each
// in a window of its own; the state file shows the mouse's versions after each.
// The last, plain one is also the rerun that recovers, followed by a second
// update through WM_START_UPDATE in the same window.
TEST_F(UpdaterFlowTest, EveryLibraryScenarioFromTheClickToTheResultAndARerunRecovers) {
  struct Case {
    const char* scenario;
    bool success;
    const wchar_t* scale;
  };
  // The program's own waits run on the real clock: never-ending progress
  // ("chatty") ends at its ten-minute limit, which the native end-to-end tests
  // show; the late-retry strays must outlast its five-second pause.
  const Case cases[] = {{"early-1", false, L"0.05"},     {"early-2", false, L"0.05"},
                        {"early-3", false, L"0.05"},     {"early-4", false, L"0.05"},
                        {"early-7", false, L"0.05"},     {"early-8", false, L"0.05"},
                        {"late-retry", false, L"1"},
                        {"all-events", true, L"0.05"},
                        {"late-events", true, L"0.05"},  {"updater-thread", true, L"0.05"},
                        {"none", true, L"0.05"}};
  bool updated = false;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    ASSERT_TRUE(simmouse::SetScenario(store, c.scenario));
    Start(programs::kUpdater, c.scale);
    ClickUpdate(IDYES);
    std::vector<int> shown;
    HWND result = WatchUntilResult(&shown, false);
    ASSERT_NE(result, nullptr);
    // What a closed SDK still sends comes now, and changes nothing.
    if (std::string(c.scenario) == "late-events") Sleep(8000 / 20 + 300);
    EXPECT_EQ(MessageBoxText(result), c.success ? L"Update is completed." : kFailed);
    EXPECT_EQ(ControlText(main, IDC_PROGRESS_TEXT), c.success ? L"Update finished." : L"");
    EXPECT_EQ(ControlText(main, IDC_NOTICE), c.success ? L"Update is completed." : L"");
    if (c.success) {
      EXPECT_EQ(ProgressPos(main, IDC_PROGRESS), 100);
    }
    for (size_t i = 1; i < shown.size(); ++i) EXPECT_LE(shown[i - 1], shown[i]) << "the bar went back";
    SaveScreenshot(main, Shots() + L"flow-scenario-" + std::wstring(c.scenario, c.scenario + strlen(c.scenario)) +
                             L".png");
    Press(result, IDOK);
    if (std::string(c.scenario) == "none") {
      // A second update by WM_START_UPDATE shows its own progress from 0. The
      // message counts once the first worker has ended, a moment after its box.
      ASSERT_TRUE(WaitUntil(
          [&] {
            PostMessageW(main, WM_USER + 1015, 0, 0);
            return WaitUntil([&] { return ControlText(main, IDC_NOTICE) == L"Please DO NOT unplug Device"; }, 300);
          },
          10000, 0));
      std::vector<int> again;
      result = WatchUntilResult(&again, false);
      ASSERT_NE(result, nullptr);
      EXPECT_EQ(MessageBoxText(result), L"Update is completed.");
      EXPECT_TRUE(std::any_of(again.begin(), again.end(), [](int p) { return p > 0 && p < 50; }))
          << "the Kestrel half of the second update was not shown";
      Press(result, IDOK);
    }
    Close();

    updated |= c.success;
    const simmouse::MouseState mouse = Mouse();
    EXPECT_EQ(mouse.state, simmouse::DeviceState::Application);
    EXPECT_EQ(mouse.kestrelVersion, updated ? "1.2.0" : "1.1.0");
    EXPECT_EQ(mouse.mcuVersion, updated ? 0x0102 : 0x0101);
  }
}

struct FaultCase {
  const char* name;
  simmouse::Fault fault;
  bool replug;  // the cable was pulled: plug it back in before the rerun
};

class UpdaterFaultTest : public UpdaterFlowTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(UpdaterFaultTest, EndsInTheFailureBoxAndARerunRecovers) {
  ASSERT_TRUE(simmouse::AddFault(store, GetParam().fault));
  Start();
  EXPECT_EQ(ClickUpdate(IDYES), L"New version available, update?");
  std::vector<int> shown;
  HWND result = WatchUntilResult(&shown, false);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(MessageBoxText(result), kFailed);
  EXPECT_EQ(ControlText(main, IDC_PROGRESS_TEXT), L"");
  EXPECT_EQ(ControlText(main, IDC_NOTICE), L"");
  SaveScreenshot(main, Shots() + L"flow-fault-" + std::wstring(GetParam().name, GetParam().name + strlen(GetParam().name)) +
                           L".png");
  Press(result, IDOK);
  Close();

  simmouse::ClearFaults(store);
  if (GetParam().replug) simmouse::Plug(store);
  // Back in application mode a rerun updates as usual; a mouse left in its boot
  // loader is recovered by the package that names the boot loader.
  bool inBootLoader = Mouse().state == simmouse::DeviceState::BootLoader;
  Start(inBootLoader ? programs::kRecovery : programs::kUpdater);
  if (!inBootLoader) {
    EXPECT_EQ(ControlText(main, IDC_DEVICE_VERSION), L"0.1.0.1");
  }
  ClickUpdate(IDYES);
  result = WatchUntilResult(&shown, false);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(MessageBoxText(result), L"Update is completed.");
  Press(result, IDOK);
  Close();
  EXPECT_EQ(Mouse().mcuVersion, 0x0102);
  EXPECT_EQ(Mouse().state, simmouse::DeviceState::Application);
}

simmouse::Fault MakeFault(simmouse::FaultKind kind, simmouse::Stage stage, int percent) {
  simmouse::Fault f;
  f.kind = kind;
  f.stage = stage;
  f.percent = percent;
  return f;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UpdaterFaultTest,
    ::testing::Values(
        FaultCase{"kestrel-unplug", MakeFault(simmouse::FaultKind::Unplug, simmouse::Stage::Kestrel, 40), true},
        FaultCase{"mcu-unplug", MakeFault(simmouse::FaultKind::Unplug, simmouse::Stage::Mcu, 50), true},
        FaultCase{"refuse", MakeFault(simmouse::FaultKind::Refuse, simmouse::Stage::Kestrel, 0), false},
        FaultCase{"verify", MakeFault(simmouse::FaultKind::Verify, simmouse::Stage::Mcu, 0), false},
        FaultCase{"disconnect", MakeFault(simmouse::FaultKind::Disconnect, simmouse::Stage::Kestrel, 30), false},
        // The flow gives up after 20 s without a word from the mouse.
        FaultCase{"silent", MakeFault(simmouse::FaultKind::Silent, simmouse::Stage::Kestrel, 0), false}),
    [](const ::testing::TestParamInfo<FaultCase>& info) {
      std::string n = info.param.name;
      for (char& c : n)
        if (c == '-') c = '_';
      return n;
    });

}  // namespace
