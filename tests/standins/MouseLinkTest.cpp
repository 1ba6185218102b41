#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "simmouse/Firmware.h"
#include "standins/MouseLink.h"
#include "tests/simmouse/SimTestEnv.h"

// The libraries' side of the report protocol against the mouse's, through the
// in-memory transport: what each step does to the mouse, and what a fault
// does to the step.
using namespace simmouse;
using standins::MouseLink;

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

uint32_t Checksum(const std::vector<uint8_t>& code, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum += code[i];
  return sum;
}

TransferResult ProgramKestrel(size_t size, const TransferHooks& hooks) {
  MouseLink link;
  TransferResult r = link.Open(kVendorId, kAppProductId);
  if (r != TransferResult::Done) return r;
  std::vector<uint8_t> code = Code(size);
  return link.ProgramKestrel(code.data(), static_cast<uint32_t>(size), "1.2.0", "mouse", hooks);
}

// The mouse's own channel, except that the answer to the first data window
// comes only after the link has stopped waiting for it, as when the host's
// machine stalls: it shows up at the next wait instead.
class LateTransport : public standins::Transport {
 public:
  bool Present(uint16_t vid, uint16_t pid) override { return m_inner->Present(vid, pid); }
  bool Open(uint16_t vid, uint16_t pid) override { return m_inner->Open(vid, pid); }
  void Close() override { m_inner->Close(); }
  Io Send(const proto::Report& report) override { return m_inner->Send(report); }
  Io Receive(proto::Report* report, uint32_t timeoutMs) override {
    if (m_late && m_waitedOut) {
      *report = m_held;
      m_late = false;
      return Io::Ok;
    }
    Io io = m_inner->Receive(report, timeoutMs);
    if (io == Io::Ok && !m_held[0] && (*report)[proto::kCommandAt] == proto::kKestrelData) {
      m_held = *report;
      m_late = true;
      io = Io::Timeout;
    }
    if (io == Io::Timeout && timeoutMs > 0 && m_late) m_waitedOut = true;
    return io;
  }

 private:
  std::unique_ptr<standins::Transport> m_inner = standins::MakeTransport();
  proto::Report m_held{};
  bool m_late = false, m_waitedOut = false;
};

// One MCU session, opened in the boot loader.
struct Mcu {
  MouseLink link;
  TransferResult Enter() { return link.EnterBootLoader(kVendorId, kBootProductId); }
};

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
  MouseLink link;
  ASSERT_EQ(link.Open(kVendorId, kAppProductId), TransferResult::Done);
  std::vector<uint8_t> code = Code(6400);
  ASSERT_EQ(link.ProgramKestrel(code.data(), 6400, "1.2.0", "mouse", hooks), TransferResult::Done);
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

  EXPECT_GT(s.reportsReceived, 6400u / proto::kBlockBytes);

  ASSERT_EQ(link.ApplyKestrel(), TransferResult::Done);
  EXPECT_EQ(store.Load().kestrelVersion, "1.2.0");
  EXPECT_EQ(store.Load().kestrelUpdates, 1u);
  // Applied once: a second apply has nothing to run.
  EXPECT_EQ(link.ApplyKestrel(), TransferResult::NoDevice);
}

// A library that gives up on an answer tells the mouse, which would
// otherwise stay in the middle of the transfer and refuse the next one.
TEST(SimKestrelProgramming, AnAnswerPastTheTimeOutLeavesTheMouseReadyForTheNextTransfer) {
  simtest::SimEnv env;
  Store store;
  MouseLink link{std::unique_ptr<standins::Transport>(new LateTransport())};
  ASSERT_EQ(link.Open(kVendorId, kAppProductId), TransferResult::Done);
  std::vector<uint8_t> code = Code(6400);
  EXPECT_EQ(link.ProgramKestrel(code.data(), 6400, "1.2.0", "mouse", TransferHooks()), TransferResult::Silent);
  EXPECT_EQ(store.Load().state, DeviceState::Application);
  // The late answer arrives now and is passed over.
  EXPECT_EQ(link.ProgramKestrel(code.data(), 6400, "1.2.0", "mouse", TransferHooks()), TransferResult::Done);
  Mcu mcu;
  EXPECT_EQ(mcu.Enter(), TransferResult::Done);
}

TEST(SimKestrelProgramming, TakesAMillisecondPerReportAtFullScale) {
  simtest::SimEnv env(1.0);
  Store store;
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(ProgramKestrel(200 * proto::kBlockBytes, TransferHooks()), TransferResult::Done);
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(ms, 200);
  EXPECT_LT(ms, 2000);
}

TEST(SimFaults, CountDownAndThenStopFiring) {
  simtest::SimEnv env;
  Store store;
  Place(store, FaultKind::Refuse, Stage::Kestrel, 0, 2);
  EXPECT_EQ(ProgramKestrel(640, TransferHooks()), TransferResult::Refused);
  EXPECT_EQ(ProgramKestrel(640, TransferHooks()), TransferResult::Refused);
  EXPECT_EQ(ProgramKestrel(640, TransferHooks()), TransferResult::Done);
}

TEST(SimFaults, ACountOfZeroFiresEveryTimeAndNoStageMeansEither) {
  simtest::SimEnv env;
  Store store;
  Place(store, FaultKind::Refuse, Stage::None, 0, 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ProgramKestrel(640, TransferHooks()), TransferResult::Refused);
  Mcu mcu;
  ASSERT_EQ(mcu.Enter(), TransferResult::Done);
  std::vector<uint8_t> code = Code(640);
  EXPECT_EQ(mcu.link.WriteMcu(code.data(), 640, TransferHooks()), TransferResult::Refused);
  EXPECT_EQ(store.Load().faults.size(), 1u);
}

TEST(SimMcuProgramming, AFullSessionRewritesTheMcuAndTheMouseReturnsWithTheNewRevision) {
  simtest::SimEnv env;
  Store store;
  Mcu mcu;
  uint64_t g0 = store.Generation();
  ASSERT_EQ(mcu.Enter(), TransferResult::Done);
  uint16_t vid, pid;
  ASSERT_TRUE(mcu.link.Find(&vid, &pid));
  EXPECT_EQ(pid, kBootProductId);
  EXPECT_EQ(mcu.link.identity().mode, proto::kBootLoader);
  EXPECT_GT(store.Generation(), g0);

  std::vector<uint8_t> code = Code(4000);
  Recorder rec;
  ASSERT_EQ(mcu.link.WriteMcu(code.data(), 4000, rec.hooks()), TransferResult::Done);
  EXPECT_EQ(rec.percents.back(), 100);
  ASSERT_EQ(mcu.link.VerifyMcu(Checksum(code, 4000)), TransferResult::Done);
  ASSERT_EQ(mcu.link.FinishMcu(0x0102), TransferResult::Done);
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
  Mcu mcu;
  mcu.Enter();
  std::vector<uint8_t> code = Code(640);
  ASSERT_EQ(mcu.link.WriteMcu(code.data(), 640, TransferHooks()), TransferResult::Done);
  EXPECT_EQ(mcu.link.VerifyMcu(Checksum(code, 640) + 1), TransferResult::VerifyFailed);
  EXPECT_EQ(store.Load().state, DeviceState::BootLoader);
  EXPECT_FALSE(store.Load().mcuValid);
  // Nothing verified, nothing to run.
  EXPECT_EQ(mcu.link.FinishMcu(0x0102), TransferResult::NoDevice);
  EXPECT_EQ(store.Load().mcuVersion, 0x0101);
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
    Mcu mcu;
    ASSERT_EQ(mcu.Enter(), TransferResult::Done);
    std::vector<uint8_t> code = Code(6400);
    TransferResult w = mcu.link.WriteMcu(code.data(), 6400, TransferHooks());
    EXPECT_EQ(w, c.writeResult) << FaultName(c.kind);
    if (w == TransferResult::Done) {
      EXPECT_EQ(mcu.link.VerifyMcu(Checksum(code, 6400)), c.verifyResult) << FaultName(c.kind);
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
  Mcu mcu;
  mcu.Enter();
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
  EXPECT_EQ(mcu.link.WriteMcu(code.data(), 64000, hooks), TransferResult::Unplugged);
  MouseState s = store.Load();
  EXPECT_EQ(s.state, DeviceState::Unplugged);
  EXPECT_FALSE(s.mcuValid);
  EXPECT_LT(s.mcuBytesWritten, 64000u);
}


// Requests a library could get wrong, or a stray report could be: each gets
// a refusal, and none moves the mouse or writes a byte.
TEST(SimFirmware, MalformedAndMisplacedRequestsAreRefusedAndChangeNothing) {
  simtest::SimEnv env;
  Store store;
  Firmware firmware;
  using namespace proto;
  Report longData = Request(kKestrelData, 1, 0);
  longData[kLengthAt] = 200;  // claims more than a report holds
  Report noCategory = Request(kKestrelBegin, 2, 640);
  PutData(&noCategory, reinterpret_cast<const uint8_t*>("1.2.0"), 5);
  Report huge = Request(kKestrelBegin, 3, 64u << 20);
  PutVersionAndCategory(&huge, "1.2.0", "mouse");
  const struct {
    const char* what;
    uint16_t pid;
    Report request;
    Status status;
  } cases[] = {
      {"unknown command", kAppProductId, Request(static_cast<Command>(0x7F), 4), kBadRequest},
      {"data without a transfer", kAppProductId, longData, kOutOfOrder},
      {"begin without a category", kAppProductId, noCategory, kBadRequest},
      {"an image larger than any chip", kAppProductId, huge, kBadRequest},
      {"an MCU write in the application", kAppProductId, Request(kMcuBegin, 5, 640), kWrongMode},
      {"a verify in the application", kAppProductId, Request(kMcuVerify, 6, 1), kWrongMode},
      {"apply with nothing checked", kAppProductId, Request(kKestrelApply, 7), kOutOfOrder},
  };
  for (const auto& c : cases) {
    std::vector<Report> answers;
    firmware.Handle(store, kVendorId, c.pid, c.request, &answers);
    ASSERT_EQ(answers.size(), 1u) << c.what;
    EXPECT_EQ(answers[0][kStatusAt], c.status) << c.what << ": " << StatusName(answers[0][kStatusAt]);
    EXPECT_EQ(answers[0][kSequenceAt], c.request[kSequenceAt]) << c.what;
  }
  // A request to the boot loader's identity while the application shows
  // reaches no device: no answer at all.
  std::vector<Report> answers;
  firmware.Handle(store, kVendorId, kBootProductId, Request(kIdentify, 8), &answers);
  EXPECT_TRUE(answers.empty());
  MouseState s = store.Load();
  EXPECT_EQ(s.state, DeviceState::Application);
  EXPECT_EQ(s.kestrelBytesWritten + s.mcuBytesWritten, 0u);
  EXPECT_EQ(s.kestrelVersion, "1.1.0");
}

// A gap in the offsets is a lost report: what follows it is refused rather
// than written in the wrong place, and the image cannot be ended.
TEST(SimFirmware, AGapInTheDataEndsTheTransferWithoutWritingPastIt) {
  simtest::SimEnv env;
  Store store;
  Firmware firmware;
  using namespace proto;
  std::vector<Report> answers;
  Report begin = Request(kKestrelBegin, 1, 3 * kBlockBytes);
  PutVersionAndCategory(&begin, "1.2.0", "mouse");
  firmware.Handle(store, kVendorId, kAppProductId, begin, &answers);
  std::vector<uint8_t> code = Code(kBlockBytes);
  Report first = Request(kKestrelData, 2, 0), third = Request(kKestrelData, 3, 2 * kBlockBytes);
  PutData(&first, code.data(), kBlockBytes);
  PutData(&third, code.data(), kBlockBytes);
  firmware.Handle(store, kVendorId, kAppProductId, first, &answers);
  firmware.Handle(store, kVendorId, kAppProductId, third, &answers);
  firmware.Handle(store, kVendorId, kAppProductId, Request(kKestrelEnd, 4), &answers);
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[0][kStatusAt], kOk);
  EXPECT_EQ(answers[1][kStatusAt], kOutOfOrder);
  EXPECT_EQ(Argument(answers[1]), kBlockBytes);
  EXPECT_EQ(answers[2][kStatusAt], kOutOfOrder);
}

// A host that went away in the middle of a transfer told the mouse nothing:
// a new begin of the same chip, or the switch to the boot loader, takes over.
TEST(SimFirmware, ATransferItsHostAbandonedGivesWayToTheNextOne) {
  simtest::SimEnv env;
  Store store;
  Firmware firmware;
  using namespace proto;
  Report kestrel = Request(kKestrelBegin, 1, 3 * kBlockBytes);
  PutVersionAndCategory(&kestrel, "1.2.0", "mouse");
  const struct {
    uint16_t pid;
    Report request;
    DeviceState after;
  } steps[] = {
      {kAppProductId, kestrel, DeviceState::Writing},
      {kAppProductId, kestrel, DeviceState::Writing},
      {kAppProductId, Request(kMcuEnterBoot, 2), DeviceState::BootLoader},
      {kBootProductId, Request(kMcuBegin, 3, 640), DeviceState::Writing},
      {kBootProductId, Request(kMcuBegin, 4, 640), DeviceState::Writing},
  };
  for (const auto& step : steps) {
    std::vector<Report> answers;
    firmware.Handle(store, kVendorId, step.pid, step.request, &answers);
    const uint8_t status = answers.empty() ? static_cast<uint8_t>(kOk) : answers[0][kStatusAt];
    EXPECT_EQ(status, kOk) << int(step.request[kSequenceAt]) << ": " << StatusName(status);
    EXPECT_EQ(store.Load().state, step.after) << int(step.request[kSequenceAt]);
  }
}
