// One DFU attempt against a scripted SDK on a fake clock.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/Log.h"
#include "kestrel/KestrelDfu.h"
#include "tests/kestrel/FakeKestrelSdk.h"
#include "tests/kestrel/LogCapture.h"
#include "update/Progress.h"

namespace {

using Names = std::vector<std::string>;

class KestrelFlowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetKestrelWords();
    FakeKestrelSdk::current = &sdk;
    table = FakeKestrelSdk::Table();
    SetKestrelSdk(&table);
    SetKestrelTime(&sdk);
    path = TempImagePath("kestrel_flow_test_MouseFW.bin");
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("KESTREL-IMAGE", f);
    std::fclose(f);
  }
  void TearDown() override {
    SetKestrelSdk(nullptr);
    SetKestrelTime(nullptr);
    FakeKestrelSdk::current = nullptr;
    std::remove(path.c_str());
  }

  int32_t Run() { return run_dfu_flow_wired_mouse(0x7C3E, 0x5D1A, path.c_str()); }
  // Time of a call relative to the moment the path was handed over.
  int64_t SincePath(const std::string& name) {
    const FakeKestrelSdk::Call* p = sdk.Find("SetDfuDeviceFilepathEx");
    const FakeKestrelSdk::Call* c = sdk.Find(name);
    return p && c ? c->at - p->at : -1;
  }

  FakeKestrelSdk sdk;
  KestrelSdkApi table{};
  std::string path;
};

const Names kFullAttempt = {"GetDfuDeviceBinInfoEx", "InitializeKestrelSDKEx", "GetDeviceHandleEx",
                            "SetTargetDeviceEx",     "RequestDFUInfoEx",       "SetDfuDeviceFilepathEx",
                            "StartDataTransferEx",   "closeKestrelSDK"};

TEST_F(KestrelFlowTest, SuccessRunsTheWholeAttemptWithTheLow16BitsOfTheHandle) {
  sdk.After("StartDataTransferEx", 3000, MakeEvent(SDK_STATUS_SUCCESS, 0, "done"));
  testing::internal::CaptureStdout();
  EXPECT_EQ(Run(), 0);
  const std::string out = testing::internal::GetCapturedStdout();

  EXPECT_EQ(sdk.CallNames(), kFullAttempt);
  ASSERT_EQ(sdk.inits.size(), 1u);
  const SdkInitParams& p = sdk.inits[0];
  EXPECT_EQ(p.vid, 0x7C3E);
  EXPECT_EQ(p.pid, 0x5D1A);
  EXPECT_EQ(p.kind, 2);
  EXPECT_EQ(p.target, 12);
  EXPECT_EQ(p.log, &OnSdkLog);
  // The attempt's own callback, not that of a session before it.
  EXPECT_NE(p.event, nullptr);
  EXPECT_NE(p.event, DfuSessionCallback(g_testSession));
  for (const auto& c : sdk.calls) {
    if (c.handle != -1) {
      EXPECT_EQ(c.handle, 0x0003) << c.name;
    }
  }
  EXPECT_EQ(sdk.Find("SetTargetDeviceEx")->arg, 12);
  EXPECT_EQ(sdk.Find("SetDfuDeviceFilepathEx")->text, path);
  EXPECT_EQ(sdk.Find("GetDfuDeviceBinInfoEx")->text, path);
  EXPECT_EQ(g_device_handle.load(), 0x70003);
  EXPECT_EQ(g_pfnProgress.load(), &UpdateProgressCallback);
  // One second after the DFU-info request and one after the path; the
  // success wait does not sleep when success is already there; 100 ms before close.
  EXPECT_EQ(sdk.sleeps, std::vector<uint32_t>({1000, 1000, 100}));
  EXPECT_EQ(SincePath("closeKestrelSDK"), 1000 + 3000 + 100);

  const std::string expected = "dfu_file_ok=" + path +
                               "\n"
                               "bin_file.version=2.0.1\n"
                               "bin_file.product_category=mouse\n";
  EXPECT_EQ(out.substr(0, expected.size()), expected);
}

TEST_F(KestrelFlowTest, EarlyFailuresStopBeforeTheSdkGoesFurther) {
  struct Case {
    const char* name;
    bool missingFile;
    int32_t binResult;
    int32_t initResult;
    int32_t expected;
    Names calls;
  };
  const Case cases[] = {
      {"rejected image", false, 3, 0, -2, {"GetDfuDeviceBinInfoEx"}},
      {"init failure", false, 0, -5, -5, {"GetDfuDeviceBinInfoEx", "InitializeKestrelSDKEx"}},
      {"missing file", true, 0, 0, -1, {}},  // last: it removes the file
  };
  for (const Case& c : cases) {
    sdk = FakeKestrelSdk();
    sdk.binInfoResult = c.binResult;
    sdk.initResult = c.initResult;
    if (c.missingFile) std::remove(path.c_str());
    testing::internal::CaptureStdout();
    EXPECT_EQ(Run(), c.expected) << c.name;
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(sdk.CallNames(), c.calls) << c.name;
    EXPECT_TRUE(sdk.sleeps.empty()) << c.name;
    if (c.binResult != 0) {
      EXPECT_NE(out.find("get version from bin file fail=" + path + "\n"), std::string::npos);
    }
  }
}

TEST_F(KestrelFlowTest, StatusWithinTheFirstSecondIsReturnedWithoutStartingTheTransfer) {
  struct Case {
    const char* name;
    int64_t offset;  // after the path is handed over; 0: while the SDK takes it
    int32_t status;
  };
  const Case cases[] = {{"connect after half a second", 500, SDK_STATUS_CONNECT},
                        {"time-out reported while the path is taken", 0, SDK_STATUS_TIMEOUT},
                        {"cancel at the last millisecond", 1000, SDK_STATUS_CANCEL}};
  for (const Case& c : cases) {
    sdk = FakeKestrelSdk();
    g_dfu_flag = 7;  // left over from an earlier attempt: must not count
    sdk.After("SetDfuDeviceFilepathEx", c.offset, MakeEvent(c.status));
    EXPECT_EQ(Run(), c.status) << c.name;
    // The SDK is closed on this return too.
    Names expected(kFullAttempt.begin(), kFullAttempt.begin() + 6);
    expected.push_back("closeKestrelSDK");
    EXPECT_EQ(sdk.CallNames(), expected) << c.name;

    // What a closed SDK still sends is acted on no more: no word, no progress, no state.
    g_iUpdateStage = 1;
    g_iUpdateState = 0;
    g_iProgress = 0;
    for (const SdkEventRecord& late : {MakeEvent(SDK_STATUS_SUCCESS), MakeEvent(SDK_STATUS_NOTIFY, SDK_MSG_DFU_PROGRESS, "90"),
                                       MakeEvent(SDK_STATUS_DISCONNECT), MakeEvent(SDK_STATUS_READY_TO_APPLY)})
      sdk.inits.back().event(late);
    EXPECT_EQ(g_dfu_flag.load(), c.status) << c.name;
    EXPECT_FALSE(g_bDFU.load()) << c.name;
    EXPECT_EQ(g_iUpdateState.load(), 0) << c.name;
    EXPECT_EQ(g_iProgress.load(), 0) << c.name;
    EXPECT_EQ(sdk.Find("ApplyNewFirmwareEx"), nullptr) << c.name;
  }
  g_iUpdateStage = 0;
}

TEST_F(KestrelFlowTest, LeftoverOutcomeOfAnEarlierAttemptIsCleared) {
  g_dfu_flag = SDK_STATUS_TIMEOUT;
  g_bDFU = true;
  sdk.After("StartDataTransferEx", 500, MakeEvent(SDK_STATUS_TIMEOUT));
  EXPECT_EQ(Run(), SDK_STATUS_TIMEOUT);
  EXPECT_NE(sdk.Find("StartDataTransferEx"), nullptr);
  EXPECT_EQ(sdk.sleeps.size(), 2u + 16u + 1u);
}

TEST_F(KestrelFlowTest, SilenceEndsTheAttemptAfterMoreThan20000Ms) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(Run(), -1000);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(sdk.CallNames(), kFullAttempt);
  // The window starts when the path is handed over, so the one-second pause counts.
  EXPECT_EQ(SincePath("closeKestrelSDK"), 20001 + 100);
  EXPECT_EQ(sdk.sleeps, std::vector<uint32_t>({1000, 1000, 100}));
  // Waited, not spun: a handful of wake-ups, not one per millisecond.
  EXPECT_LE(sdk.waits, 3);
}

TEST_F(KestrelFlowTest, EveryEventRestartsTheInactivityWindow) {
  struct Case {
    const char* name;
    int64_t quietMs;  // silence between events after the start
    int events;
    int32_t expected;
  };
  // A final success follows the events, each `quietMs` after the last.
  const Case cases[] = {
      {"progress every 15 s", 15000, 6, 0},
      {"exactly 20,000 ms of silence is not too long", 20000, 3, 0},
      {"20,002 ms of silence is", 20002, 1, -1000},
      {"progress for ever ends ten minutes after the path", 15000, 41, kDfuResultWaitLimit},
  };
  for (const Case& c : cases) {
    sdk = FakeKestrelSdk();
    // The first window runs from the path; the transfer starts 1,000 ms later.
    int64_t t = c.quietMs - 1000;
    for (int i = 0; i < c.events; ++i, t += c.quietMs)
      sdk.After("StartDataTransferEx", t, MakeEvent(SDK_STATUS_NOTIFY, SDK_MSG_DFU_PROGRESS, "10"));
    sdk.After("StartDataTransferEx", t, MakeEvent(SDK_STATUS_SUCCESS));
    testing::internal::CaptureStdout();
    EXPECT_EQ(Run(), c.expected) << c.name;
    testing::internal::GetCapturedStdout();
    const int64_t closeAt = c.expected == -1000                 ? 20001 + 100
                            : c.expected == kDfuResultWaitLimit ? kDfuFirstWaitLimitMs + 100
                                                                : 1000 + t + 100;
    EXPECT_EQ(SincePath("closeKestrelSDK"), closeAt) << c.name;
  }
}

TEST_F(KestrelFlowTest, OutcomeAfterTheStartDecidesTheSuccessWait) {
  struct Case {
    const char* name;
    std::vector<std::pair<int64_t, int32_t>> events;  // (ms after the start, status)
    int32_t expected;
    size_t successWaitSleeps;
    int64_t progressUntil = 0;  // progress every 5 s from 7,000 ms until then
  };
  const Case cases[] = {
      {"success returns at once", {{2000, SDK_STATUS_SUCCESS}}, 0, 0},
      {"disconnect returns after one sleep", {{2000, SDK_STATUS_DISCONNECT}}, 8, 1},
      {"time-out without success waits sixteen sleeps", {{2000, SDK_STATUS_TIMEOUT}}, 2, 16},
      {"cancel waits sixteen sleeps", {{2000, SDK_STATUS_CANCEL}}, 3, 16},
      {"connect then success within the wait", {{2000, SDK_STATUS_CONNECT}, {9500, SDK_STATUS_SUCCESS}}, 0, 8},
      {"connect then disconnect", {{2000, SDK_STATUS_CONNECT}, {4500, SDK_STATUS_DISCONNECT}}, 8, 3},
      {"connect then success too late", {{2000, SDK_STATUS_CONNECT}, {18500, SDK_STATUS_SUCCESS}}, 7, 16},
      // Progress after the connect keeps the wait going, up to sixteen steps after the last one.
      {"connect, progress, success", {{2000, SDK_STATUS_CONNECT}, {52000, SDK_STATUS_SUCCESS}}, 0, 50, 42000},
      {"connect, progress, nothing", {{2000, SDK_STATUS_CONNECT}}, 7, 40 + 16, 42000},
      // Past ten minutes after the path progress only stops extending the wait: the
      // step ending 598 s after the path is the last that does, sixteen steps follow.
      {"progress for ever stops extending ten minutes after the path", {{2000, SDK_STATUS_CONNECT}}, 7, 595 + 16,
       700000},
  };
  for (const Case& c : cases) {
    sdk = FakeKestrelSdk();
    for (const auto& e : c.events) sdk.After("StartDataTransferEx", e.first, MakeEvent(e.second));
    for (int64_t t = 7000; t <= c.progressUntil; t += 5000)
      sdk.After("StartDataTransferEx", t, MakeEvent(SDK_STATUS_NOTIFY, SDK_MSG_DFU_PROGRESS, "50"));
    testing::internal::CaptureStdout();
    EXPECT_EQ(Run(), c.expected) << c.name;
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(sdk.CallNames(), kFullAttempt) << c.name;
    // Two pauses before the start, then the success wait, then 100 ms before close.
    ASSERT_EQ(sdk.sleeps.size(), 2 + c.successWaitSleeps + 1) << c.name;
    EXPECT_EQ(sdk.sleeps.back(), 100u) << c.name;
  }
}

// An SDK that goes on reporting after its close, past the worker's pause and
// the next initialisation: its reports count for no later attempt.
TEST_F(KestrelFlowTest, AnEventCountsOnlyForTheSessionThatSentIt) {
  // What the first session keeps sending; whether the retry's own session succeeds.
  for (const auto& c : {std::make_pair(SDK_STATUS_SUCCESS, false), std::make_pair(SDK_STATUS_CANCEL, true),
                        std::make_pair(SDK_STATUS_DISCONNECT, true)}) {
    sdk = FakeKestrelSdk();
    sdk.After("StartDataTransferEx", 2000, MakeEvent(SDK_STATUS_TIMEOUT));
    for (int64_t t = 100; t < 60000; t += 500) sdk.After("closeKestrelSDK", t, MakeEvent(c.first));
    testing::internal::CaptureStdout();
    EXPECT_EQ(Run(), SDK_STATUS_TIMEOUT);
    sdk.NewScript();
    if (c.second) sdk.After("StartDataTransferEx", 3000, MakeEvent(SDK_STATUS_SUCCESS));
    sdk.SleepMs(5000);  // the worker's pause
    EXPECT_EQ(Run(), c.second ? 0 : kDfuResultSilent) << "stray status " << c.first;
    EXPECT_NE(testing::internal::GetCapturedStdout().find("not of the open attempt, ignored"), std::string::npos);
  }
}

TEST_F(KestrelFlowTest, SuccessReportedWhileTheTransferStartsIsNotLost) {
  sdk.After("StartDataTransferEx", 0, MakeEvent(SDK_STATUS_SUCCESS));
  testing::internal::CaptureStdout();
  EXPECT_EQ(Run(), 0);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(sdk.sleeps, std::vector<uint32_t>({1000, 1000, 100}));
}

TEST_F(KestrelFlowTest, ReadyToApplyIsAnsweredWithApplyNewFirmwareFromTheCallback) {
  sdk.After("StartDataTransferEx", 4000, MakeEvent(SDK_STATUS_READY_TO_APPLY));
  sdk.After("StartDataTransferEx", 6000, MakeEvent(SDK_STATUS_SUCCESS));
  testing::internal::CaptureStdout();
  EXPECT_EQ(Run(), 0);
  const std::string out = testing::internal::GetCapturedStdout();
  const FakeKestrelSdk::Call* apply = sdk.Find("ApplyNewFirmwareEx");
  ASSERT_NE(apply, nullptr);
  EXPECT_EQ(apply->handle, 0x0003);
  EXPECT_EQ(apply->arg, 20);
  EXPECT_NE(out.find("ApplyNewFirmwareEx\n"), std::string::npos);
}

TEST_F(KestrelFlowTest, UnterminatedImageTextsAreReadWithinTheirFields) {
  sdk.binVersion = std::string(16, 'v');   // no room left for a terminator
  sdk.binCategory = std::string(32, 'c');  // runs straight into the version field
  sdk.initResult = -7;
  testing::internal::CaptureStdout();
  EXPECT_EQ(Run(), -7);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("bin_file.version=" + std::string(16, 'v') + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("bin_file.product_category=" + std::string(32, 'c') + "\n"), std::string::npos) << out;
}

}  // namespace

namespace {

// With the console log and the log file switched on, each path of the
// attempt writes its lines in order. (Silent in the delivered build.)
TEST_F(KestrelFlowTest, ConsoleAndLogFileLinesOfEachPath) {
  struct Case {
    const char* name;
    std::vector<std::pair<int64_t, int32_t>> events;  // (ms after the start, status)
    int32_t initResult;
    int32_t expected;
    std::vector<std::string> console;
    std::vector<std::string> file;
  };
  const Case cases[] = {
      {"silence",
       {},
       0,
       -1000,
       {" [console] g_dfu_flag=-1\n\n", " [console] set console timeout 20000 ms\n\n",
        " [console] \n\nError: run timeout 20001 ms > 20000 m\n\n\n\n"},
       {"]  Error: run timeout\r\n\r\n"}},
      {"connect, then success in the success wait",
       {{2000, SDK_STATUS_CONNECT}, {4500, SDK_STATUS_SUCCESS}},
       0,
       0,
       {" [console] dfu_flag=7\n\n", " [console] [DFU] successfully\n\n"},
       {"]  dfu_flag=7\r\n", "]  Wait=15,SDK_STATUS_CONNECT_dfu_flag=7\r\n",
        "]  Wait=14,SDK_STATUS_CONNECT_dfu_flag=7\r\n", "]  Wait=13,SDK_STATUS_CONNECT_dfu_flag=7\r\n",
        "]  [DFU] successfully_g_bDFU=1\r\n"}},
      {"success at once",
       {{2000, SDK_STATUS_SUCCESS}},
       0,
       0,
       {" [console] [DFU] successfully\n\n", " [console] dfu_flag=1\n\n"},
       {"]  [DFU] successfully_g_bDFU=1\r\n", "]  dfu_flag=1\r\n", "]  ret=0,SDK_STATUS_CONNECT_dfu_flag=1\r\n"}},
      {"disconnect",
       {{2000, SDK_STATUS_DISCONNECT}},
       0,
       8,
       {" [console] dfu_flag=8\n\n"},
       {"]  [DFU] SDK_STATUS_DISCONNECT=8\r\n", "]  dfu_flag=8\r\n", "]  Wait=15,SDK_STATUS_CONNECT_dfu_flag=8\r\n",
        "]  ret=8,dfu_flag=8\r\n"}},
      {"cancel and time-out",
       {{2000, SDK_STATUS_CANCEL}, {3500, SDK_STATUS_TIMEOUT2}},
       0,
       4,
       {" [console] \n\nError: Device is disconnected, stop DFU.\n\n\n\n", " [console] [fail] timeout\n\n"},
       {"]  [DFU] SDK_STATUS_CANCEL=3\r\n", "]  Wait=0,SDK_STATUS_CONNECT_dfu_flag=4\r\n", "]  ret=4,dfu_flag=4\r\n"}},
      {"no connection", {}, -5, -5, {" [console] connect fail(-5). [7C3E:5D1A]\n\n"}, {}},
  };
  for (const Case& c : cases) {
    sdk = FakeKestrelSdk();
    sdk.initResult = c.initResult;
    for (const auto& e : c.events) sdk.After("StartDataTransferEx", e.first, MakeEvent(e.second));
    LogCapture log;
    testing::internal::CaptureStdout();
    EXPECT_EQ(Run(), c.expected) << c.name;
    const std::string out = testing::internal::GetCapturedStdout();
    std::string missing;
    EXPECT_TRUE(InOrder(log.Console(), c.console, &missing)) << c.name << ": " << missing << "\n" << log.Console();
    EXPECT_TRUE(InOrder(log.File(), c.file, &missing)) << c.name << ": " << missing << "\n" << log.File();
    if (c.file.empty()) {
      EXPECT_EQ(log.File(), "") << c.name;
    }
    // The console log echoes each message to standard output.
    EXPECT_NE(out.find(c.console.back().substr(11)), std::string::npos) << c.name;
  }
}

TEST_F(KestrelFlowTest, MissingFileIsReportedToTheConsoleLog) {
  std::remove(path.c_str());
  LogCapture log;
  EXPECT_EQ(Run(), -1);
  EXPECT_NE(log.Console().find(" [console] \nError: open file fail: " + path + "\n\n"), std::string::npos)
      << log.Console();
}

}  // namespace
