// A whole two-stage update as the window runs it: CMainDialogLogic with a
// recording view, the stand-in updater, Tmb and Kestrel libraries, and the
// simulated mouse, on the build's sample firmware. Time runs 20 times faster
// than life for the mouse and the Kestrel flow alike.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/Log.h"
#include "kestrel/KestrelDfu.h"
#include "simmouse/SimMouse.h"
#include "resources/resource.h"
#include "standins/FWUpdaterStandIn.h"
#include "standins/KestrelSdkStandIn.h"
#include "tests/e2e/SimWorld.h"
#include "tests/support/FakeHidBackend.h"
#include "tests/support/FakeMainView.h"
#include "ui/MainDialogLogic.h"
#include "update/Progress.h"

namespace {

namespace fs = std::filesystem;
constexpr double kScale = 0.05;
const wchar_t kFailed[] = L"Update failed.\r\nPlease check USB connection and try again.";
constexpr uint16_t kOldMcu = 0x0101;
constexpr uint16_t kNewMcu = 0x0102;  // package version 0.1.0.2
const char kOldKestrel[] = "1.1.0";
const char kNewKestrel[] = "1.2.0";  // the sample image

// The worker's Kestrel attempts, as the real flow returned them.
std::vector<int32_t> g_flowResults;
int32_t RecordingFlow(uint16_t vid, uint16_t pid, const char* path) {
  const int32_t r = run_dfu_flow_wired_mouse(vid, pid, path);
  g_flowResults.push_back(r);
  return r;
}

std::mutex g_debugLock;
std::wstring g_debug;
void CaptureDebug(const wchar_t* text) {
  std::lock_guard<std::mutex> l(g_debugLock);
  g_debug += text;
}

struct Outcome {
  bool finished = false;
  std::vector<int> progress;
  std::vector<FakeMainView::Box> boxes;
  std::vector<int32_t> flow;
  std::wstring debug;
  bool tamberOnly = false;
  // After the result, and after whatever a library still sends.
  std::wstring progressText, notice;
  int32_t state = 0;
  std::string trace;  // standard output
  bool Succeeded() const {
    return boxes.size() == 1 && boxes[0].text == L"Update is completed." && progressText == L"Update finished." &&
           notice == L"Update is completed.";
  }
  bool Failed() const { return boxes.size() == 1 && boxes[0].text == kFailed && progressText.empty() && notice.empty(); }
  // The code of the failure report's debugger line, INT_MIN without one.
  int ErrorCode() const {
    const std::wstring tag = L"debug_:Error Code=";
    const size_t at = debug.find(tag);
    return at == std::wstring::npos ? INT_MIN : std::stoi(debug.substr(at + tag.size()));
  }
};

class UpdateE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(work);
    for (const char* name : {"Mouse_TMB.sfw", "Mouse_TMB_recovery.sfw", "MouseFW.bin"})
      fs::copy_file(fs::path(ORVANE_FIRMWARE_DIR) / name, work / name, fs::copy_options::overwrite_existing);
    ASSERT_TRUE(simmouse::Reset(mouse.store(), kOldMcu, kOldKestrel));
    SetKestrelTime(&time);
    FWU_UseLinkedTmb();
    SetDebugOutput(CaptureDebug);
  }
  void TearDown() override {
    SetKestrelTime(nullptr);
    SetDebugOutput(nullptr);
    std::error_code ec;
    fs::remove_all(work, ec);
  }

  // One start of the updater and one press of Update, with the package `sfw`;
  // `beforeStart` runs between the start-up query and the worker.
  Outcome Update(const char* sfw, const std::function<void()>& beforeStart = nullptr) {
    FakeMainView view;
    CDeviceSettings settings;
    settings.m_strVid = L"7C3E";
    settings.m_strPid = L"5D1A";
    settings.m_strBootVid = L"7C3E";
    settings.m_strBootPid = L"5E1A";
    settings.RebuildDevicePattern();
    FakeHidBackend hid;
    CMainDialogLogic logic(view, settings, hid);
    // A new process: the words start afresh.
    g_iProgress = 0;
    g_iUpdateState = 0;
    g_iUpdateStage = 0;
    g_flowResults.clear();
    g_debug.clear();
    g_pMainDlg = &logic;

    logic.m_api = BindLinkedUpdater();
    logic.m_strSfwPath = (work / sfw).wstring();
    logic.m_strBinPath = (work / "MouseFW.bin").wstring();
    logic.QueryPackage();
    logic.m_pfnKestrelFlow = RecordingFlow;
    logic.m_sleep = [](DWORD ms) {
      std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(ms * kScale * 1000)));
    };
    if (beforeStart) beforeStart();

    Outcome out;
    out.tamberOnly = logic.m_bTamberOnly;
    testing::internal::CaptureStdout();
    EXPECT_TRUE(logic.StartWorker());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (logic.IsWorkerRunning() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    out.finished = !logic.IsWorkerRunning();
    // A closed SDK of the late-events scenario reports for 8 simulated seconds more.
    if (mouse.State().scenario == "late-events")
      std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(8000 * simmouse::TimeScale())));
    KestrelStandInEndLateReports();
    out.trace = testing::internal::GetCapturedStdout();
    out.progressText = view.Text(IDC_PROGRESS_TEXT);
    out.notice = view.Text(IDC_NOTICE);
    out.state = g_iUpdateState.load();
    g_pMainDlg = nullptr;
    out.progress = view.Progress();
    out.boxes = view.Boxes();
    out.flow = g_flowResults;
    {
      std::lock_guard<std::mutex> l(g_debugLock);
      out.debug = g_debug;
    }
    EXPECT_TRUE(out.finished);
    return out;
  }

  void ExpectFullyUpdated(const char* what) {
    const simmouse::MouseState s = mouse.State();
    EXPECT_EQ(s.state, simmouse::DeviceState::Application) << what;
    EXPECT_TRUE(s.mcuValid) << what;
    EXPECT_EQ(s.mcuVersion, kNewMcu) << what;
    EXPECT_EQ(s.kestrelVersion, kNewKestrel) << what;
  }

  e2e::SimMouseFile mouse{"orvane_update_e2e.state", kScale};
  e2e::ScaledTime time{kScale};
  fs::path work = e2e::TempPath("orvane_update_e2e_work");
};

TEST_F(UpdateE2ETest, TwoStageUpdateRisesThroughBothHalvesAndLeavesTheNewVersions) {
  const Outcome out = Update("Mouse_TMB.sfw");
  ASSERT_TRUE(out.Succeeded()) << out.debug;
  EXPECT_EQ(out.flow, std::vector<int32_t>({0}));
  EXPECT_FALSE(out.tamberOnly);

  // 0 from the start, the Kestrel stage within 0..49, the Tamber stage within
  // 50..99, then the full bar; never a step back.
  const std::vector<int>& p = out.progress;
  ASSERT_GE(p.size(), 4u);
  EXPECT_EQ(p.front(), 0);
  EXPECT_EQ(p.back(), 100);
  EXPECT_TRUE(std::adjacent_find(p.begin() + 1, p.end(), [](int a, int b) { return b <= a; }) == p.end());
  const auto tamber = std::find_if(p.begin(), p.end(), [](int v) { return v >= 50; });
  ASSERT_NE(tamber, p.end());
  EXPECT_EQ(*(tamber - 1), 49);  // the Kestrel stage ran to its end
  EXPECT_GT(std::count_if(p.begin(), tamber, [](int v) { return v > 0 && v < 49; }), 5);
  EXPECT_EQ(*(p.end() - 2), 99);
  EXPECT_GT(std::count_if(tamber, p.end() - 2, [](int v) { return v > 50 && v < 99; }), 5);

  ExpectFullyUpdated("after the update");
  const simmouse::MouseState s = mouse.State();
  EXPECT_EQ(s.kestrelUpdates, 1u);
  EXPECT_EQ(s.mcuUpdates, 1u);
}

TEST_F(UpdateE2ETest, InjectedFaultsFailWithTheirCodeAndLeaveARecoverableMouse) {
  // Where the failed chip is left: running its old firmware, or the MCU in
  // its boot loader with its code gone.
  enum Left { OldFirmware, BootLoader };
  struct Case {
    const char* name;
    simmouse::Stage stage;
    simmouse::FaultKind kind;
    int percent;
    int remaining;
    std::vector<int32_t> flow;
    // The updater library's code in the debugger line; after a Kestrel failure
    // it is what the library holds from the start-up query.
    int code;
    Left left;
  };
  using simmouse::FaultKind;
  using simmouse::Stage;
  const Case cases[] = {
      {"Kestrel refuses the image", Stage::Kestrel, FaultKind::Refuse, 0, 1, {4}, FWU_OK, OldFirmware},
      {"cable pulled during the Kestrel transfer", Stage::Kestrel, FaultKind::Unplug, 50, 1, {3}, FWU_OK,
       OldFirmware},
      {"Kestrel link drops", Stage::Kestrel, FaultKind::Disconnect, 30, 1, {8}, FWU_OK, OldFirmware},
      {"Kestrel falls silent", Stage::Kestrel, FaultKind::Silent, 40, 1, {-1000}, FWU_OK, OldFirmware},
      {"Kestrel verification fails every time", Stage::Kestrel, FaultKind::Verify, 0, 0, {2, 2}, FWU_OK,
       OldFirmware},
      {"MCU refuses the code", Stage::Mcu, FaultKind::Refuse, 0, 1, {0}, FWU_ERR_NOT_FOR_DEVICE, OldFirmware},
      {"cable pulled during the MCU write", Stage::Mcu, FaultKind::Unplug, 50, 1, {0}, FWU_ERR_WRITE,
       BootLoader},
      {"MCU link drops", Stage::Mcu, FaultKind::Disconnect, 40, 1, {0}, FWU_ERR_WRITE, BootLoader},
      {"MCU falls silent", Stage::Mcu, FaultKind::Silent, 60, 1, {0}, FWU_ERR_HANDSHAKE, BootLoader},
      {"MCU verification fails", Stage::Mcu, FaultKind::Verify, 0, 1, {0}, FWU_ERR_VERIFY, BootLoader},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(simmouse::Reset(mouse.store(), kOldMcu, kOldKestrel));
    simmouse::Fault f;
    f.kind = c.kind;
    f.stage = c.stage;
    f.percent = c.percent;
    f.remaining = c.remaining;
    ASSERT_TRUE(simmouse::AddFault(mouse.store(), f));

    const Outcome out = Update("Mouse_TMB.sfw");
    EXPECT_TRUE(out.Failed());
    EXPECT_EQ(out.flow, c.flow);
    EXPECT_EQ(out.ErrorCode(), c.code) << out.debug;
    EXPECT_NE(out.progress.back(), 100);

    ASSERT_TRUE(simmouse::ClearFaults(mouse.store()));
    simmouse::MouseState s = mouse.State();
    if (s.state == simmouse::DeviceState::Unplugged) {
      ASSERT_TRUE(simmouse::Plug(mouse.store()));
      s = mouse.State();
    }
    if (c.stage == Stage::Kestrel) {
      // The Kestrel image was never applied and the MCU never touched.
      EXPECT_EQ(s.kestrelVersion, kOldKestrel);
      EXPECT_EQ(s.mcuBytesWritten, 0u);
    }
    const bool old = s.state == simmouse::DeviceState::Application && s.mcuValid && s.mcuVersion == kOldMcu;
    const bool bootLoader = s.state == simmouse::DeviceState::BootLoader && !s.mcuValid;
    EXPECT_TRUE(c.left == OldFirmware ? old : bootLoader) << simmouse::StateName(s.state);

    if (bootLoader) {
      // The recovery package speaks to the boot loader: the MCU alone, from 50 up.
      const Outcome again = Update("Mouse_TMB_recovery.sfw");
      EXPECT_TRUE(again.tamberOnly);
      EXPECT_TRUE(again.flow.empty());
      ASSERT_TRUE(again.Succeeded()) << again.debug;
      EXPECT_GE(again.progress[1], 50);
      const simmouse::MouseState r = mouse.State();
      EXPECT_EQ(r.state, simmouse::DeviceState::Application);
      EXPECT_TRUE(r.mcuValid);
      EXPECT_EQ(r.mcuVersion, kNewMcu);
    }
  }
}

TEST_F(UpdateE2ETest, EachScenarioOfTheLibrariesEndsRightAndARerunRecovers) {
  struct Case {
    const char* scenario;
    bool success;
    std::vector<int32_t> flow;
    double scale;  // of the mouse and the flow's clock
  };
  const Case cases[] = {
      {"all-events", true, {0}, kScale},
      {"early-1", false, {1}, kScale},
      {"early-2", false, {2, 2}, kScale},
      {"early-3", false, {3}, kScale},
      {"early-4", false, {4}, kScale},
      {"early-7", false, {7}, kScale},
      {"early-8", false, {8}, kScale},
      {"late-events", true, {0}, kScale},
      // The first session's success, sent on after its close, is not the retry's.
      {"late-retry", false, {2, kDfuResultSilent}, kScale},
      {"updater-thread", true, {0}, kScale},
      // Ten minutes of progress that never ends, in three seconds; its 100 ms
      // silence window outlasts a loaded machine's pauses.
      {"chatty", false, {kDfuResultWaitLimit}, 0.005},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    e2e::ScaledTime scaled(c.scale);
    SetKestrelTime(&scaled);
    e2e::SetEnv("ORVANE_SIMMOUSE_TIMESCALE", std::to_string(c.scale));
    ASSERT_TRUE(simmouse::Reset(mouse.store(), kOldMcu, kOldKestrel));
    ASSERT_TRUE(simmouse::SetScenario(mouse.store(), c.scenario));
    const Outcome out = Update("Mouse_TMB.sfw");
    EXPECT_TRUE(c.success ? out.Succeeded() : out.Failed()) << out.debug;
    EXPECT_EQ(out.flow, c.flow);
    EXPECT_EQ(out.state, 255);  // late reports did not move it
    // From 0, rising only, within the Kestrel half until its stage is over.
    const std::vector<int>& p = out.progress;
    ASSERT_FALSE(p.empty());
    EXPECT_EQ(p.front(), 0);
    EXPECT_TRUE(std::adjacent_find(p.begin(), p.end(), [](int a, int b) { return b <= a; }) == p.end());
    EXPECT_EQ(p.back() == 100, c.success);
    if (c.success) ExpectFullyUpdated(c.scenario);
    if (std::string(c.scenario) == "all-events") {
      // Each row of the event table was met, and handled.
      for (const char* line : {"[GET_USB_MCU_VERSION] Version=0101", "[SET_USB_MCU_IAP_MODE_SUCCESS]",
                               "[LEA_REMOTE_CONNECTED] link_type=2, handle==10753", "[LEA_REMOTE_DISCONNECTED]",
                               "[DFU connect]", "[UpdateResultAPI][6]", "[UpdateResultAPI][12]", "ApplyNewFirmwareEx",
                               "[DFU] status=1"})
        EXPECT_NE(out.trace.find(line), std::string::npos) << line;
    }
    if (std::string(c.scenario) == "late-events" || std::string(c.scenario) == "late-retry") {
      EXPECT_NE(out.trace.find("not of the open attempt, ignored"), std::string::npos);
    }
    if (!c.success) {
      EXPECT_EQ(mouse.State().kestrelVersion, kOldKestrel);
      EXPECT_EQ(mouse.State().mcuBytesWritten, 0u);
    }

    SetKestrelTime(&time);
    e2e::SetEnv("ORVANE_SIMMOUSE_TIMESCALE", std::to_string(kScale));
    ASSERT_TRUE(simmouse::ClearFaults(mouse.store()));  // the scenario too
    EXPECT_TRUE(Update("Mouse_TMB.sfw").Succeeded());
    ExpectFullyUpdated("after a rerun");
  }
}

TEST_F(UpdateE2ETest, KestrelVerificationFailingOnceIsRetriedToSuccess) {
  simmouse::Fault f;
  f.kind = simmouse::FaultKind::Verify;
  f.stage = simmouse::Stage::Kestrel;
  f.remaining = 1;
  ASSERT_TRUE(simmouse::AddFault(mouse.store(), f));
  const Outcome out = Update("Mouse_TMB.sfw");
  EXPECT_TRUE(out.Succeeded()) << out.debug;
  EXPECT_EQ(out.flow, std::vector<int32_t>({2, 0}));
  ExpectFullyUpdated("after the retry");
}

TEST_F(UpdateE2ETest, NothingIsWrittenAfterABadPackageOrImageIsDetected) {
  auto corrupt = [this](const char* name) {
    std::vector<uint8_t> bytes = e2e::ReadFile((work / name).string());
    ASSERT_GT(bytes.size(), 200u);
    bytes[bytes.size() / 2] ^= 0x5A;
    ASSERT_TRUE(e2e::WriteFile((work / name).string(), bytes));
  };
  struct Case {
    const char* name;
    std::function<void()> spoilBeforeQuery;
    std::function<void()> spoilBeforeUpdate;
    std::vector<int32_t> flow;
    const wchar_t* debug;
  };
  const Case cases[] = {
      {"package bad at start-up", [&] { corrupt("Mouse_TMB.sfw"); }, nullptr, {}, L"no firmware package"},
      {"package spoilt after start-up", nullptr, [&] { corrupt("Mouse_TMB.sfw"); }, {}, L"Error Code=6 ,"},
      {"package missing after start-up", nullptr, [&] { fs::remove(work / "Mouse_TMB.sfw"); }, {},
       L"Error Code=-1 ,"},
      {"image bad", [&] { corrupt("MouseFW.bin"); }, nullptr, {-2}, L"Error Code=0 ,"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    if (c.spoilBeforeQuery) c.spoilBeforeQuery();
    const Outcome out = Update("Mouse_TMB.sfw", c.spoilBeforeUpdate);
    EXPECT_TRUE(out.Failed());
    EXPECT_EQ(out.flow, c.flow);
    EXPECT_NE(out.debug.find(c.debug), std::wstring::npos) << out.debug;
    const simmouse::MouseState s = mouse.State();
    EXPECT_EQ(s.kestrelBytesWritten, 0u);
    EXPECT_EQ(s.mcuBytesWritten, 0u);
    EXPECT_EQ(s.kestrelVersion, kOldKestrel);
    EXPECT_EQ(s.mcuVersion, kOldMcu);
    EXPECT_EQ(s.state, simmouse::DeviceState::Application);
  }
}

}  // namespace
