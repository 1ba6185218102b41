#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "simmouse/Programmer.h"
#include "tests/simmouse/SimTestEnv.h"

using namespace simmouse;

namespace {

std::vector<uint8_t> Code(size_t n) {
  std::vector<uint8_t> code(n);
  for (size_t i = 0; i < n; ++i) code[i] = static_cast<uint8_t>(i * 7 + 3);
  return code;
}

struct Recorder {
  std::vector<int> percents;
  TransferHooks hooks() {
    TransferHooks h;
    h.progress = [this](int p) { percents.push_back(p); };
    return h;
  }
};

void Place(Store& store, FaultKind kind, Stage stage, int percent = 0, int remaining = 1) {
  ASSERT_TRUE(AddFault(store, Fault{kind, stage, percent, remaining}));
}

}  // namespace

TEST(SimKestrelProgramming, RunsThroughWritingAndVerifyingAndCountsEveryByte) {
  simtest::SimEnv env;
  Store store;
  std::vector<DeviceState> seen;
  TransferHooks hooks;
  std::vector<int> percents;
  hooks.progress = [&](int p) {
    percents.push_back(p);
    if (p == 50) seen.push_back(store.Load().state);
  };
  ASSERT_EQ(ProgramKestrel(store, 6400, hooks), TransferResult::Done);
  ASSERT_FALSE(percents.empty());
  EXPECT_EQ(percents.front(), 0);
  EXPECT_EQ(percents.back(), 100);
  for (size_t i = 1; i < percents.size(); ++i) EXPECT_GT(percents[i], percents[i - 1]);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], DeviceState::Writing);
  MouseState s = store.Load();
  EXPECT_EQ(s.state, DeviceState::Application);
  EXPECT_EQ(s.kestrelBytesWritten, 6400u);
  EXPECT_EQ(s.kestrelVersion, "1.1.0");  // not applied yet

  ASSERT_TRUE(ApplyKestrel(store, "1.2.0", "mouse"));
  EXPECT_EQ(store.Load().kestrelVersion, "1.2.0");
  EXPECT_EQ(store.Load().kestrelUpdates, 1u);
}

TEST(SimKestrelProgramming, TakesAMillisecondPerReportAtFullScale) {
  simtest::SimEnv env(1.0);
  Store store;
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(ProgramKestrel(store, 200 * kReportBytes, TransferHooks()), TransferResult::Done);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, 200);
  EXPECT_LT(ms, 2000);
}

TEST(SimFaults, CountDownAndThenStopFiring) {
  simtest::SimEnv env;
  Store store;
  Place(store, FaultKind::Refuse, Stage::Kestrel, 0, 2);
  EXPECT_EQ(ProgramKestrel(store, 640, TransferHooks()), TransferResult::Refused);
  EXPECT_EQ(ProgramKestrel(store, 640, TransferHooks()), TransferResult::Refused);
  EXPECT_EQ(ProgramKestrel(store, 640, TransferHooks()), TransferResult::Done);
}

TEST(SimFaults, ACountOfZeroFiresEveryTimeAndNoStageMeansEither) {
  simtest::SimEnv env;
  Store store;
  Place(store, FaultKind::Refuse, Stage::None, 0, 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ProgramKestrel(store, 640, TransferHooks()), TransferResult::Refused);
  McuProgrammer mcu(store);
  ASSERT_EQ(mcu.EnterBootLoader(kVendorId, kBootProductId), TransferResult::Done);
  std::vector<uint8_t> code = Code(640);
  EXPECT_EQ(mcu.Write(code.data(), 640, TransferHooks()), TransferResult::Refused);
  EXPECT_EQ(store.Load().faults.size(), 1u);
}

TEST(SimMcuProgramming, AFullSessionRewritesTheMcuAndTheMouseReturnsWithTheNewRevision) {
  simtest::SimEnv env;
  Store store;
  McuProgrammer mcu(store);
  uint64_t g0 = store.Generation();
  ASSERT_EQ(mcu.EnterBootLoader(kVendorId, kBootProductId), TransferResult::Done);
  uint16_t vid, pid;
  ASSERT_TRUE(mcu.Identity(&vid, &pid));
  EXPECT_EQ(pid, kBootProductId);
  EXPECT_GT(store.Generation(), g0);

  std::vector<uint8_t> code = Code(4000);
  Recorder rec;
  ASSERT_EQ(mcu.Write(code.data(), 4000, rec.hooks()), TransferResult::Done);
  EXPECT_EQ(rec.percents.back(), 100);
  ASSERT_EQ(mcu.Verify(McuProgrammer::Checksum(code.data(), 4000)), TransferResult::Done);
  ASSERT_EQ(mcu.Finish(0x0102), TransferResult::Done);
  MouseState s = store.Load();
  EXPECT_EQ(s.state, DeviceState::Application);
  EXPECT_EQ(s.mcuVersion, 0x0102);
  EXPECT_EQ(s.mcuBytesWritten, 4000u);
  EXPECT_EQ(s.mcuUpdates, 1u);
  EXPECT_NE(PresentInterfaces(s)[3].hardwareIds.find(L"REV_0102"), std::wstring::npos);
}

TEST(SimMcuProgramming, AChecksumMismatchFailsVerificationAndLeavesTheBootLoader) {
  simtest::SimEnv env;
  Store store;
  McuProgrammer mcu(store);
  mcu.EnterBootLoader(kVendorId, kBootProductId);
  std::vector<uint8_t> code = Code(640);
  ASSERT_EQ(mcu.Write(code.data(), 640, TransferHooks()), TransferResult::Done);
  EXPECT_EQ(mcu.Verify(McuProgrammer::Checksum(code.data(), 640) + 1), TransferResult::VerifyFailed);
  EXPECT_EQ(store.Load().state, DeviceState::BootLoader);
  EXPECT_FALSE(store.Load().mcuValid);
}

struct McuFaultCase {
  FaultKind kind;
  int percent;
  TransferResult writeResult;
  TransferResult verifyResult;  // when the write got through
  DeviceState after;
  bool mcuValid;
  DeviceState afterReplug;  // after unplug and plug
};

TEST(SimMcuProgramming, FaultsLeaveTheMouseWhereARealOneWouldBe) {
  const McuFaultCase cases[] = {
      {FaultKind::Unplug, 40, TransferResult::Unplugged, TransferResult::Done, DeviceState::Unplugged, false,
       DeviceState::BootLoader},
      {FaultKind::Disconnect, 60, TransferResult::Disconnected, TransferResult::Done, DeviceState::BootLoader, false,
       DeviceState::BootLoader},
      {FaultKind::Silent, 20, TransferResult::Silent, TransferResult::Done, DeviceState::BootLoader, false,
       DeviceState::BootLoader},
      {FaultKind::Verify, 0, TransferResult::Done, TransferResult::VerifyFailed, DeviceState::BootLoader, false,
       DeviceState::BootLoader},
      {FaultKind::Refuse, 0, TransferResult::Refused, TransferResult::Done, DeviceState::BootLoader, true,
       DeviceState::Application},
  };
  for (const McuFaultCase& c : cases) {
    simtest::SimEnv env;
    Store store;
    Place(store, c.kind, Stage::Mcu, c.percent);
    McuProgrammer mcu(store);
    ASSERT_EQ(mcu.EnterBootLoader(kVendorId, kBootProductId), TransferResult::Done);
    std::vector<uint8_t> code = Code(6400);
    TransferResult w = mcu.Write(code.data(), 6400, TransferHooks());
    EXPECT_EQ(w, c.writeResult) << FaultName(c.kind);
    if (w == TransferResult::Done) {
      EXPECT_EQ(mcu.Verify(McuProgrammer::Checksum(code.data(), 6400)), c.verifyResult) << FaultName(c.kind);
    }
    MouseState s = store.Load();
    EXPECT_EQ(s.state, c.after) << FaultName(c.kind);
    EXPECT_EQ(s.mcuValid, c.mcuValid) << FaultName(c.kind);
    EXPECT_EQ(s.mcuVersion, 0x0101) << FaultName(c.kind);
    if (c.kind == FaultKind::Refuse) {
      EXPECT_EQ(s.mcuBytesWritten, 0u);
    }
    Unplug(store);
    Plug(store);
    EXPECT_EQ(store.Load().state, c.afterReplug) << FaultName(c.kind);
  }
}

TEST(SimMcuProgramming, ACablePulledByAnotherProcessEndsTheWrite) {
  simtest::SimEnv env;
  Store store;
  McuProgrammer mcu(store);
  mcu.EnterBootLoader(kVendorId, kBootProductId);
  std::vector<uint8_t> code = Code(64000);
  TransferHooks hooks;
  bool pulled = false;
  hooks.progress = [&](int p) {
    if (p == 20 && !pulled) {
      pulled = true;
      Store other(env.path());
      Unplug(other);
    }
  };
  EXPECT_EQ(mcu.Write(code.data(), 64000, hooks), TransferResult::Unplugged);
  MouseState s = store.Load();
  EXPECT_EQ(s.state, DeviceState::Unplugged);
  EXPECT_FALSE(s.mcuValid);
  EXPECT_LT(s.mcuBytesWritten, 64000u);
}

