// The flow against an SDK that reports from a thread of its own, on the real
// condition-variable wait; only the fixed pauses are shortened. Run under the
// thread sanitizer this checks the words shared between the two threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "kestrel/KestrelDfu.h"
#include "tests/kestrel/FakeKestrelSdk.h"
#include "update/Progress.h"

namespace {

// Real clock and real event wait; the flow's fixed pauses take 1 ms.
class QuickPauses : public IKestrelTime {
 public:
  int64_t NowMs() override { return KestrelRealTime().NowMs(); }
  void SleepMs(uint32_t) override { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }
  void WaitForEvent(uint32_t seen, int64_t deadline) override { KestrelRealTime().WaitForEvent(seen, deadline); }
};

std::thread g_sdkThread;
std::atomic<int> g_applied{0};

int32_t VENDOR_CALL BinOk(const char*, DfuBinInfo*) { return 0; }
SdkEventCallback g_event = nullptr;  // the attempt's, as the SDK keeps it
int32_t VENDOR_CALL InitOk(SdkInitParams params) {
  g_event = params.event;
  return 0;
}
int32_t VENDOR_CALL HandleOk(SdkInitParams) { return 0x10002; }
int32_t VENDOR_CALL Nothing1(uint16_t) { return 0; }
int32_t VENDOR_CALL Nothing2(uint16_t, int32_t) { return 0; }
int32_t VENDOR_CALL PathOk(uint16_t, const char*) { return 0; }
int32_t VENDOR_CALL Apply(uint16_t handle, int32_t) {
  if (handle == 2) g_applied.fetch_add(1);
  // The device takes the new image and reports success, from the SDK's thread.
  g_event(MakeEvent(SDK_STATUS_SUCCESS));
  return 0;
}
// Progress every few milliseconds, then the apply request.
int32_t VENDOR_CALL StartOnThread(uint16_t) {
  g_sdkThread = std::thread([] {
    for (int p = 0; p <= 100; p += 10) {
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
      g_event(MakeEvent(SDK_STATUS_NOTIFY, SDK_MSG_DFU_PROGRESS, std::to_string(p).c_str()));
    }
    g_event(MakeEvent(SDK_STATUS_READY_TO_APPLY));
  });
  return 0;
}
int32_t VENDOR_CALL CloseJoins() {
  if (g_sdkThread.joinable()) g_sdkThread.join();
  return 0;
}

TEST(KestrelThreadTest, EventsFromTheSdkThreadCarryTheAttemptToSuccess) {
  ResetKestrelWords();
  g_applied = 0;
  g_iUpdateStage = 2;
  g_iProgress = 0;
  const KestrelSdkApi table{BinOk, InitOk, HandleOk, Nothing2, Nothing1, PathOk, StartOnThread, Apply, CloseJoins};
  QuickPauses pauses;
  SetKestrelSdk(&table);
  SetKestrelTime(&pauses);
  const std::string path = TempImagePath("kestrel_thread_test.bin");
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  std::fclose(f);

  testing::internal::CaptureStdout();
  const auto t0 = std::chrono::steady_clock::now();
  const int32_t result = run_dfu_flow_wired_mouse(0x7C3E, 0x5D1A, path.c_str());
  const auto took = std::chrono::steady_clock::now() - t0;
  testing::internal::GetCapturedStdout();
  SetKestrelSdk(nullptr);
  SetKestrelTime(nullptr);
  std::remove(path.c_str());

  EXPECT_EQ(result, 0);
  EXPECT_EQ(g_applied.load(), 1);
  EXPECT_EQ(g_iProgress.load(), 49);  // 100 % of the Kestrel stage
  EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(KestrelThreadTest, RealWaitWakesOnAnEventAndOtherwiseKeepsItsDeadline) {
  IKestrelTime& real = KestrelRealTime();
  // Nothing happens: it returns at the deadline, not before.
  int64_t deadline = real.NowMs() + 30;
  real.WaitForEvent(KestrelEventSequence(), deadline);
  EXPECT_GE(real.NowMs(), deadline);

  // An event from another thread ends the wait long before its deadline.
  ResetKestrelWords();
  const uint32_t seen = KestrelEventSequence();
  std::thread sdk([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    SendEvent(MakeEvent(SDK_STATUS_IGNORED));
  });
  const int64_t start = real.NowMs();
  real.WaitForEvent(seen, start + 10000);
  const int64_t waited = real.NowMs() - start;
  sdk.join();
  EXPECT_LT(waited, 5000);
  EXPECT_NE(KestrelEventSequence(), seen);
}

}  // namespace
