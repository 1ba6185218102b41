// The stand-in Kestrel HID SDK, linked natively, with a tiny event callback
// of the test's own (the application's handler is tested with the flow).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simmouse/SimMouse.h"
#include "standins/FirmwareFormat.h"
#include "standins/KestrelSdkStandIn.h"
#include "tests/simmouse/SimTestEnv.h"
#include "vendor/KestrelHidCore.h"
#ifdef _WIN32
#include "tests/support/WinDriver.h"
#endif

using namespace simmouse;
using namespace std::chrono_literals;

namespace {

#ifdef _WIN32
// <build>/bin holds the test, <build>/firmware the files.
std::string FirmwareDir() {
  char buf[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, buf, MAX_PATH);
  std::string path(buf, n);
  return path.substr(0, path.find_last_of("\\/") + 1) + "..\\firmware";
}
const std::string kImage = FirmwareDir() + "\\MouseFW.bin";
#else
const std::string kImage = std::string(ORVANE_FIRMWARE_DIR) + "/MouseFW.bin";
#endif
// The sample image's code: the file less its header and check.
constexpr uint64_t kCode = 333952 - 68;

struct Seen {
  int32_t status, msgID;
  std::string msg;
  std::thread::id thread;
};

// What the callbacks saw. The callbacks run on the SDK's thread.
std::mutex g_mutex;
std::condition_variable g_changed;
std::vector<Seen> g_events;
std::vector<std::thread::id> g_logThreads;
std::atomic<uint16_t> g_handle{0};
std::atomic<bool> g_applyOnReady{true};
std::atomic<bool> g_closeFromCallback{false};

void VENDOR_CALL OnEvent(SdkEventRecord r) {
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_events.push_back({r.status, r.msgID, r.msg, std::this_thread::get_id()});
  }
  g_changed.notify_all();
  // As the application does: apply from inside the callback.
  if (r.status == SDK_STATUS_READY_TO_APPLY && g_applyOnReady) ApplyNewFirmwareEx(g_handle, 20);
  if (r.status == SDK_STATUS_NOTIFY && g_closeFromCallback && std::string(r.msg) == "50") closeKestrelSDK();
}

void VENDOR_CALL OnLog(int32_t, const char*) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_logThreads.push_back(std::this_thread::get_id());
}

SdkInitParams Params(uint16_t pid = kAppProductId) {
  SdkInitParams p{};
  p.vid = kVendorId;
  p.pid = pid;
  p.kind = 2;
  p.target = 12;
  p.log = OnLog;
  p.event = OnEvent;
  return p;
}

class KestrelSdk : public testing::Test {
 protected:
  void SetUp() override {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_events.clear();
    g_logThreads.clear();
    g_applyOnReady = true;
    g_closeFromCallback = false;
  }
  void TearDown() override { closeKestrelSDK(); }

  // The calls of one attempt up to the start of the transfer.
  void Begin(const std::string& image = kImage) {
    ASSERT_EQ(InitializeKestrelSDKEx(Params()), 0);
    g_handle = static_cast<uint16_t>(GetDeviceHandleEx(Params()));
    ASSERT_EQ(SetTargetDeviceEx(g_handle, 12), 0);
    ASSERT_EQ(RequestDFUInfoEx(g_handle), 0);
    ASSERT_EQ(SetDfuDeviceFilepathEx(g_handle, image.c_str()), 0);
    ASSERT_EQ(StartDataTransferEx(g_handle), 0);
  }

  // Waits for an event with `status`; false after `limit`.
  bool WaitFor(int32_t status, std::chrono::milliseconds limit = 10s) {
    std::unique_lock<std::mutex> lock(g_mutex);
    return g_changed.wait_for(lock, limit, [&] {
      for (const Seen& e : g_events)
        if (e.status == status) return true;
      return false;
    });
  }

  std::vector<Seen> Events() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_events;
  }

  std::string Temp(const std::string& name, const std::vector<uint8_t>& data) { return env.TempFile(name, data); }
  std::vector<uint8_t> ImageBytes() { return simtest::ReadBytes(kImage); }

  // Under Wine the SDK finds the mouse on the virtual HID bus, which the host
  // keeps in step with the state file; natively the mouse is in this process.
  void Shown(bool shown) {
#ifdef _WIN32
    ASSERT_TRUE(windriver::MouseHost::WaitShown(shown));
#else
    (void)shown;
#endif
  }

  simtest::SimEnv env;
  Store store;
#ifdef _WIN32
  windriver::MouseHost host{std::wstring(env.path().begin(), env.path().end())};
#endif
};

}  // namespace

TEST_F(KestrelSdk, BinInfoReadsVersionAndCategoryOfAGoodImage) {
  DfuBinInfo info{};
  ASSERT_EQ(GetDfuDeviceBinInfoEx(kImage.c_str(), &info), 0);
  EXPECT_STREQ(info.version, "1.2.0");
  EXPECT_STREQ(info.product_category, "mouse");
}

TEST_F(KestrelSdk, BinInfoRefusesFilesThatFailTheirCheck) {
  std::vector<uint8_t> good = ImageBytes();
  std::vector<uint8_t> flipped = good, cut = good;
  flipped[200] ^= 1;
  cut.resize(good.size() - 1);
  for (const std::string& path : {Temp("flip.bin", flipped), Temp("cut.bin", cut), Temp("empty.bin", {}),
                                  env.path() + ".missing"}) {
    DfuBinInfo info{};
    EXPECT_NE(GetDfuDeviceBinInfoEx(path.c_str(), &info), 0) << path;
    EXPECT_STREQ(info.version, "") << path;
  }
  EXPECT_NE(GetDfuDeviceBinInfoEx(nullptr, nullptr), 0);
}

TEST_F(KestrelSdk, AFullAttemptAnswersSendsProgressAsksToApplyAndSucceeds) {
  std::thread::id me = std::this_thread::get_id();
  Begin();
  ASSERT_TRUE(WaitFor(SDK_STATUS_SUCCESS));
  std::vector<Seen> ev = Events();

  ASSERT_GE(ev.size(), 4u);
  EXPECT_EQ(ev[0].status, SDK_STATUS_ANSWER);
  EXPECT_EQ(ev[0].msgID, SDK_MSG_VERSION_PRODUCT_CATEGORY);
  EXPECT_EQ(ev[0].msg, "1.1.0,mouse");
  int last = -1;
  size_t i = 1;
  for (; i < ev.size() && ev[i].status == SDK_STATUS_NOTIFY; ++i) {
    EXPECT_EQ(ev[i].msgID, SDK_MSG_DFU_PROGRESS);
    int value = std::stoi(ev[i].msg);
    EXPECT_GT(value, last);
    last = value;
  }
  EXPECT_EQ(last, 100);
  ASSERT_EQ(ev.size(), i + 2);
  EXPECT_EQ(ev[i].status, SDK_STATUS_READY_TO_APPLY);
  EXPECT_EQ(ev[i + 1].status, SDK_STATUS_SUCCESS);
  for (const Seen& e : ev) EXPECT_NE(e.thread, me);

  MouseState s = store.Load();
  EXPECT_EQ(s.kestrelVersion, "1.2.0");
  EXPECT_EQ(s.kestrelBytesWritten, kCode);
  std::lock_guard<std::mutex> lock(g_mutex);
  EXPECT_FALSE(g_logThreads.empty());
  for (std::thread::id t : g_logThreads) EXPECT_NE(t, me);
}

TEST_F(KestrelSdk, WithoutApplyTheNewImageIsNotTaken) {
  g_applyOnReady = false;
  Begin();
  ASSERT_TRUE(WaitFor(SDK_STATUS_READY_TO_APPLY));
  EXPECT_FALSE(WaitFor(SDK_STATUS_SUCCESS, 200ms));
  EXPECT_EQ(store.Load().kestrelVersion, "1.1.0");
}

struct SdkFaultCase {
  FaultKind kind;
  int percent;
  int32_t status;
  DeviceState after;
  uint64_t minBytes, maxBytes;  // of the image's code
};

TEST_F(KestrelSdk, InjectedFaultsEndTheAttemptWithTheirStatus) {
  const SdkFaultCase cases[] = {
      {FaultKind::Unplug, 50, SDK_STATUS_CANCEL, DeviceState::Unplugged, kCode / 2 - kCode / 100, kCode / 2 + 64},
      {FaultKind::Disconnect, 30, SDK_STATUS_DISCONNECT, DeviceState::Application, kCode * 3 / 10 - kCode / 100,
       kCode * 3 / 10 + 64},
      {FaultKind::Refuse, 0, SDK_STATUS_TIMEOUT2, DeviceState::Application, 0, 0},
      {FaultKind::Verify, 0, SDK_STATUS_TIMEOUT, DeviceState::Application, kCode, kCode},
  };
  for (const SdkFaultCase& c : cases) {
    SetUp();
    Reset(store, 0x0101, "1.1.0");
    Shown(true);
    AddFault(store, Fault{c.kind, Stage::Kestrel, c.percent, 1});
    Begin();
    EXPECT_TRUE(WaitFor(c.status)) << FaultName(c.kind);
    closeKestrelSDK();
    std::vector<Seen> ev = Events();
    ASSERT_FALSE(ev.empty());
    EXPECT_EQ(ev.back().status, c.status) << FaultName(c.kind);
    for (const Seen& e : ev) {
      EXPECT_NE(e.status, SDK_STATUS_SUCCESS) << FaultName(c.kind);
      EXPECT_NE(e.status, SDK_STATUS_READY_TO_APPLY) << FaultName(c.kind);
    }
    EXPECT_EQ(store.Load().state, c.after) << FaultName(c.kind);
    EXPECT_EQ(store.Load().kestrelVersion, "1.1.0") << FaultName(c.kind);
    uint64_t written = store.Load().kestrelBytesWritten;
    EXPECT_GE(written, c.minBytes) << FaultName(c.kind);
    EXPECT_LE(written, c.maxBytes) << FaultName(c.kind);
  }
}

TEST_F(KestrelSdk, ASilentDeviceSendsNothingAfterTheTransferStarts) {
  AddFault(store, Fault{FaultKind::Silent, Stage::Kestrel, 0, 1});
  Begin();
  ASSERT_TRUE(WaitFor(SDK_STATUS_ANSWER));
  // The whole transfer takes about 40 ms at this scale.
  std::this_thread::sleep_for(400ms);
  std::vector<Seen> ev = Events();
  ASSERT_EQ(ev.size(), 1u);
  EXPECT_EQ(ev[0].msgID, SDK_MSG_VERSION_PRODUCT_CATEGORY);
  EXPECT_EQ(store.Load().kestrelBytesWritten, 0u);
}

TEST_F(KestrelSdk, ABadImageIsRefusedBeforeAnyByteIsSent) {
  std::vector<uint8_t> bad = ImageBytes();
  bad[bad.size() / 2] ^= 0x80;
  Begin(Temp("bad.bin", bad));
  ASSERT_TRUE(WaitFor(SDK_STATUS_TIMEOUT2));
  for (const Seen& e : Events()) EXPECT_NE(e.status, SDK_STATUS_NOTIFY);
  EXPECT_EQ(store.Load().kestrelBytesWritten, 0u);
  EXPECT_EQ(store.Load().state, DeviceState::Application);
}

TEST_F(KestrelSdk, InitialisationNeedsTheMouseWithTheGivenIds) {
  EXPECT_EQ(InitializeKestrelSDKEx(Params(0x1234)), KESTREL_E_NO_DEVICE);
  Unplug(store);
  Shown(false);
  EXPECT_EQ(InitializeKestrelSDKEx(Params()), KESTREL_E_NO_DEVICE);
  Plug(store);
  Shown(true);
  SdkInitParams noCallback = Params();
  noCallback.event = nullptr;
  EXPECT_EQ(InitializeKestrelSDKEx(noCallback), KESTREL_E_INVALID);
  EXPECT_EQ(InitializeKestrelSDKEx(Params()), 0);
}

TEST_F(KestrelSdk, CallsWithAnotherHandleAreRefused) {
  ASSERT_EQ(InitializeKestrelSDKEx(Params()), 0);
  uint16_t handle = static_cast<uint16_t>(GetDeviceHandleEx(Params()));
  uint16_t other = static_cast<uint16_t>(handle + 1);
  EXPECT_LT(SetTargetDeviceEx(other, 12), 0);
  EXPECT_LT(RequestDFUInfoEx(other), 0);
  EXPECT_LT(SetDfuDeviceFilepathEx(other, kImage.c_str()), 0);
  EXPECT_LT(StartDataTransferEx(other), 0);
  EXPECT_LT(ApplyNewFirmwareEx(other, 20), 0);
  EXPECT_LT(StartDataTransferEx(handle), 0);  // no image set yet
  closeKestrelSDK();
  EXPECT_LT(RequestDFUInfoEx(handle), 0);  // closed
}

TEST_F(KestrelSdk, ClosingDuringTheTransferStopsItAndNoEventFollows) {
  simtest::SetEnv("ORVANE_SIMMOUSE_TIMESCALE", "0.2");  // about a second for the whole image
  Begin();
  ASSERT_TRUE(WaitFor(SDK_STATUS_NOTIFY));
  auto start = std::chrono::steady_clock::now();
  closeKestrelSDK();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
  size_t count = Events().size();
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(Events().size(), count);
  EXPECT_EQ(store.Load().state, DeviceState::Application);
  EXPECT_LT(store.Load().kestrelBytesWritten, kCode);
}

TEST_F(KestrelSdk, ClosingFromInsideTheCallbackDoesNotHang) {
  g_closeFromCallback = true;
  Begin();
  ASSERT_TRUE(WaitFor(SDK_STATUS_NOTIFY));
  std::this_thread::sleep_for(200ms);
  for (const Seen& e : Events()) EXPECT_NE(e.status, SDK_STATUS_SUCCESS);
  // A new attempt starts cleanly afterwards.
  SetUp();
  Begin();
  EXPECT_TRUE(WaitFor(SDK_STATUS_SUCCESS));
}


TEST_F(KestrelSdk, AWrongArgumentFailsTheCallWithALine) {
  auto wrong = [](SdkInitParams p, int32_t SdkInitParams::*field, int32_t value) {
    (p.*field) = value;
    return p;
  };
  const uint16_t handle = 0x2A01;
  const struct {
    const char* name;
    std::function<int32_t()> call;
  } cases[] = {
      {"kind", [&] { return InitializeKestrelSDKEx(wrong(Params(), &SdkInitParams::kind, 3)); }},
      {"target", [&] { return InitializeKestrelSDKEx(wrong(Params(), &SdkInitParams::target, 11)); }},
      {"kind", [&] { return GetDeviceHandleEx(wrong(Params(), &SdkInitParams::kind, 0)); }},
      {"target", [&] { return SetTargetDeviceEx(handle, 2); }},
      {"argument", [&] { return ApplyNewFirmwareEx(handle, 19); }},
      {"handle", [&] { return RequestDFUInfoEx(static_cast<uint16_t>(handle ^ 0x100)); }},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(InitializeKestrelSDKEx(Params()), 0);
    ASSERT_EQ(GetDeviceHandleEx(Params()) & 0xFFFF, handle);
    testing::internal::CaptureStdout();
    EXPECT_LT(c.call(), 0) << c.name;
    EXPECT_NE(testing::internal::GetCapturedStdout().find(std::string("wrong ") + c.name), std::string::npos)
        << c.name;
  }
}
