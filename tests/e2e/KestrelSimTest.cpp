// The Kestrel DFU flow against the stand-in KestrelHidCoreLib and the
// simulated mouse: natively the static stand-in, in the Windows build the
// imported DLL under Wine, which meets the mouse on the virtual HID bus. The
// SDK reports from its own thread.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "kestrel/KestrelDfu.h"
#include "simmouse/SimMouse.h"
#include "tests/e2e/SimWorld.h"
#include "update/Progress.h"
#ifdef _WIN32
#include "tests/support/WinDriver.h"
#endif

namespace {

// 20 times faster than life: a 20-second silence still leaves a second of
// slack for a loaded machine.
constexpr double kScale = 0.05;

class KestrelSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef _WIN32
    // The SDK beside this test program; the programs bind only what they checked.
    static const HMODULE sdk = LoadLibraryW(L"KestrelHidCoreLib.dll");
    BindKestrelSdk(sdk);
#endif
    ResetWorld();
    ASSERT_TRUE(e2e::WriteFile(image, e2e::KestrelImageBytes("2.0.0", "mouse", 32 * 1024)));
  }
  void TearDown() override {
    SetKestrelTime(nullptr);
    std::remove(image.c_str());
  }
  void ResetWorld() {
    g_dfu_flag = -1;
    g_bDFU = false;
    g_pfnProgress = nullptr;
    g_iUpdateStage = 2;
    g_iProgress = 0;
    device = KestrelDeviceInfo();
    ASSERT_TRUE(simmouse::Reset(mouse.store(), 0x0101, "1.1.0"));
    SetKestrelTime(&time);
  }
  int32_t Run() {
    testing::internal::CaptureStdout();
    const int32_t r = run_dfu_flow_wired_mouse(simmouse::kVendorId, simmouse::kAppProductId, image.c_str());
    trace = testing::internal::GetCapturedStdout();
    return r;
  }

  e2e::SimMouseFile mouse{"orvane_kestrel_sim_test.state", kScale};
#ifdef _WIN32
  windriver::MouseHost host{std::wstring(mouse.path().begin(), mouse.path().end())};
#endif
  e2e::ScaledTime time{kScale};
  std::string image = e2e::TempPath("orvane_kestrel_sim_MouseFW.bin");
  std::string trace;
};

TEST_F(KestrelSimTest, ImageReachesTheMouseAndIsApplied) {
  EXPECT_EQ(Run(), 0) << trace;
  const simmouse::MouseState s = mouse.State();
  EXPECT_EQ(s.kestrelVersion, "2.0.0");
  EXPECT_EQ(s.kestrelUpdates, 1u);
  EXPECT_EQ(s.state, simmouse::DeviceState::Application);
  EXPECT_GT(s.kestrelBytesWritten, 0u);
  // The answer to the DFU-info request named the old version; progress went all the way.
  EXPECT_EQ(device.version, "1.1.0");
  EXPECT_EQ(device.product_category, "mouse");
  EXPECT_EQ(g_iProgress.load(), 49);
  EXPECT_NE(trace.find("bin_file.version=2.0.0\n"), std::string::npos);
  EXPECT_NE(trace.find("ApplyNewFirmwareEx\n"), std::string::npos);
}

TEST_F(KestrelSimTest, ImageReachesTheMouseOnTheRealClock) {
  SetKestrelTime(nullptr);
  e2e::SetEnv("ORVANE_SIMMOUSE_TIMESCALE", "1");
  ASSERT_TRUE(e2e::WriteFile(image, e2e::KestrelImageBytes("2.0.1", "mouse", 8 * 1024)));
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Run(), 0) << trace;
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(mouse.State().kestrelVersion, "2.0.1");
  // The two one-second pauses and the 100 ms before closing, plus the transfer.
  EXPECT_GE(took, std::chrono::milliseconds(2100));
  EXPECT_LT(took, std::chrono::seconds(15));
  e2e::SetEnv("ORVANE_SIMMOUSE_TIMESCALE", std::to_string(kScale));
}

// The faults one by one are in the whole-update runs; here the one that
// needs the real event wait to give up across the DLL boundary.
TEST_F(KestrelSimTest, SilentMouseEndsTheAttemptAfterTheInactivityWindow) {
  simmouse::Fault f;
  f.kind = simmouse::FaultKind::Silent;
  f.stage = simmouse::Stage::Kestrel;
  f.percent = 40;
  ASSERT_TRUE(simmouse::AddFault(mouse.store(), f));
  EXPECT_EQ(Run(), -1000) << trace;
  const simmouse::MouseState s = mouse.State();
  EXPECT_EQ(s.kestrelVersion, "1.1.0");
  EXPECT_EQ(s.kestrelUpdates, 0u);
}

TEST_F(KestrelSimTest, BadImagesAreStoppedBeforeAnythingIsWritten) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    int32_t expected;
  };
  std::vector<uint8_t> corrupt = e2e::KestrelImageBytes("2.0.0", "mouse", 4096);
  corrupt[100] ^= 0x5A;
  std::vector<uint8_t> truncated = e2e::KestrelImageBytes("2.0.0", "mouse", 4096);
  truncated.resize(truncated.size() / 2);
  const Case cases[] = {
      {"corrupted content", corrupt, -2},
      {"truncated file", truncated, -2},
      {"image for another product", e2e::KestrelImageBytes("2.0.0", "keyboard", 4096), 4},
  };
  for (const Case& c : cases) {
    ResetWorld();
    ASSERT_TRUE(e2e::WriteFile(image, c.bytes));
    EXPECT_EQ(Run(), c.expected) << c.name << "\n" << trace;
    const simmouse::MouseState s = mouse.State();
    EXPECT_EQ(s.kestrelBytesWritten, 0u) << c.name;
    EXPECT_EQ(s.kestrelVersion, "1.1.0") << c.name;
  }
}

TEST_F(KestrelSimTest, UnpluggedMouseFailsToConnect) {
  ASSERT_TRUE(simmouse::Unplug(mouse.store()));
  const int32_t r = Run();
  EXPECT_LT(r, 0);
  EXPECT_NE(r, -1000);
  EXPECT_EQ(mouse.State().kestrelBytesWritten, 0u);
}

}  // namespace
