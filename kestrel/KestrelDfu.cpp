#include "kestrel/KestrelDfu.h"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "app/Format.h"
#include "app/Log.h"
#include "update/Progress.h"

std::atomic<int32_t> g_dfu_flag{-1};
std::atomic<bool> g_bDFU{false};
std::atomic<bool> g_bEventSeen{false};
std::atomic<int32_t> g_device_handle{0};
std::atomic<DfuProgressFn> g_pfnProgress{nullptr};
std::atomic<uint32_t> g_dfuProgressReports{0};

namespace {

constexpr int32_t kDeviceKind = 2;
constexpr int32_t kTarget = 12;
constexpr int kSuccessCountdown = 15;

std::atomic<const KestrelSdkApi*> g_sdk{nullptr};

std::atomic<IKestrelTime*> g_time{nullptr};

// The event sequence: bumped under the lock so that a waiter that read the old
// value before locking cannot miss the wake-up.
std::mutex g_eventLock;
std::condition_variable g_eventCv;
std::atomic<uint32_t> g_eventSequence{0};

class RealKestrelTime : public IKestrelTime {
 public:
  int64_t NowMs() override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }
  void SleepMs(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  void WaitForEvent(uint32_t seenSequence, int64_t deadlineMs) override {
    const std::chrono::steady_clock::time_point deadline{std::chrono::milliseconds(deadlineMs)};
    std::unique_lock<std::mutex> lock(g_eventLock);
    g_eventCv.wait_until(lock, deadline, [&] { return g_eventSequence.load() != seenSequence; });
  }
};

// A fixed-size text from the SDK, which need not hold a terminator.
std::string BoundedText(const char* text, size_t size) {
  size_t len = 0;
  while (len < size && text[len] != '\0') ++len;
  return std::string(text, len);
}

}  // namespace

#ifdef _WIN32
namespace {
KestrelSdkApi g_bound{};

template <class Fn>
void Bind(HMODULE sdk, const char* name, Fn* fn) {
  *fn = sdk ? reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(sdk, name))) : nullptr;
}
}  // namespace

void BindKestrelSdk(HMODULE sdk) {
  KestrelSdkApi api{};
  Bind(sdk, "GetDfuDeviceBinInfoEx", &api.GetDfuDeviceBinInfoEx);
  Bind(sdk, "InitializeKestrelSDKEx", &api.InitializeKestrelSDKEx);
  Bind(sdk, "GetDeviceHandleEx", &api.GetDeviceHandleEx);
  Bind(sdk, "SetTargetDeviceEx", &api.SetTargetDeviceEx);
  Bind(sdk, "RequestDFUInfoEx", &api.RequestDFUInfoEx);
  Bind(sdk, "SetDfuDeviceFilepathEx", &api.SetDfuDeviceFilepathEx);
  Bind(sdk, "StartDataTransferEx", &api.StartDataTransferEx);
  Bind(sdk, "ApplyNewFirmwareEx", &api.ApplyNewFirmwareEx);
  Bind(sdk, "closeKestrelSDK", &api.closeKestrelSDK);
  g_bound = api;
}

// Not an import of ours, which the system would resolve before the library
// search is narrowed, and never loaded here by name: only the module the
// program checked and loaded is bound. Until then every entry is null, and
// the flow fails before it calls anything.
const KestrelSdkApi& KestrelImportedSdk() { return g_bound; }
#else
const KestrelSdkApi& KestrelImportedSdk() {
  static const KestrelSdkApi imported = {
      ::GetDfuDeviceBinInfoEx, ::InitializeKestrelSDKEx, ::GetDeviceHandleEx,
      ::SetTargetDeviceEx,     ::RequestDFUInfoEx,       ::SetDfuDeviceFilepathEx,
      ::StartDataTransferEx,   ::ApplyNewFirmwareEx,     ::closeKestrelSDK,
  };
  return imported;
}
#endif

void SetKestrelSdk(const KestrelSdkApi* api) { g_sdk.store(api); }

const KestrelSdkApi& KestrelSdk() {
  const KestrelSdkApi* api = g_sdk.load();
  return api ? *api : KestrelImportedSdk();
}

IKestrelTime& KestrelRealTime() {
  static RealKestrelTime real;
  return real;
}

void SetKestrelTime(IKestrelTime* time) { g_time.store(time); }

IKestrelTime& KestrelTime() {
  IKestrelTime* time = g_time.load();
  return time ? *time : KestrelRealTime();
}

ScaledKestrelTime::ScaledKestrelTime(double scale) : m_scale(scale), m_base(KestrelRealTime().NowMs()) {}

int64_t ScaledKestrelTime::NowMs() {
  return static_cast<int64_t>(static_cast<double>(KestrelRealTime().NowMs() - m_base) / m_scale);
}

void ScaledKestrelTime::SleepMs(uint32_t ms) {
  std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(ms * m_scale * 1000.0)));
}

void ScaledKestrelTime::WaitForEvent(uint32_t seen, int64_t deadline) {
  const int64_t real = m_base + static_cast<int64_t>(std::ceil(static_cast<double>(deadline) * m_scale));
  KestrelRealTime().WaitForEvent(seen, real);
}

CReportGate<std::recursive_mutex> g_dfuAttempt(false);

namespace {
std::atomic<unsigned> g_nextSession{0};

template <unsigned N>
void VENDOR_CALL SessionEvent(SdkEventRecord record) {
  OnSdkEvent(N, record);
}
}  // namespace

SdkEventCallback DfuSessionCallback(unsigned session) {
  static const SdkEventCallback callbacks[kDfuSessionCallbacks] = {
      SessionEvent<0>, SessionEvent<1>, SessionEvent<2>, SessionEvent<3>,
      SessionEvent<4>, SessionEvent<5>, SessionEvent<6>, SessionEvent<7>,
  };
  return callbacks[session % kDfuSessionCallbacks];
}

unsigned OpenDfuAttempt() {
  const unsigned session = g_nextSession.fetch_add(1) % kDfuSessionCallbacks;
  g_dfuAttempt.Open(session);
  return session;
}

void CloseDfuAttempt() { g_dfuAttempt.Close(); }

uint32_t KestrelEventSequence() { return g_eventSequence.load(); }

void KestrelSignalEvent() {
  {
    std::lock_guard<std::mutex> lock(g_eventLock);
    g_eventSequence.fetch_add(1);
  }
  g_eventCv.notify_all();
}

int32_t WaitForDfuOutcome(IKestrelTime& time, int64_t startMs) {
  const int64_t limit = startMs + kDfuFirstWaitLimitMs;
  for (;;) {
    // Read the sequence before the words: an event after this point ends the wait below at once.
    const uint32_t seen = KestrelEventSequence();
    if (g_dfu_flag.load() != -1) return 0;
    const int64_t now = time.NowMs();
    if (g_bEventSeen.exchange(false)) startMs = now;
    const int64_t elapsed = now - startMs;
    if (elapsed > kDfuInactivityMs) {
      ConsoleLog("\n\nError: run timeout %lld ms > %u m\n\n\n", static_cast<long long>(elapsed),
                 static_cast<unsigned>(kDfuInactivityMs));
      if (g_bWriteLog) WriteLogFile(L"Error: run timeout");
      return kDfuResultSilent;
    }
    if (now >= limit) {
      TracePrint("Error: no DFU outcome within %lld ms, giving up\n", static_cast<long long>(kDfuFirstWaitLimitMs));
      if (g_bWriteLog) WriteLogFile(L"Error: no DFU outcome in time");
      return kDfuResultWaitLimit;
    }
    const int64_t quiet = startMs + kDfuInactivityMs + 1;
    time.WaitForEvent(seen, quiet < limit ? quiet : limit);
  }
}

int32_t run_dfu_flow_wired_mouse(uint16_t vid, uint16_t pid, const char* path) {
  const KestrelSdkApi& sdk = KestrelSdk();
  IKestrelTime& time = KestrelTime();

  FILE* file = path ? std::fopen(path, "rb") : nullptr;
  if (!file) {
    ConsoleLog("\nError: open file fail: %s\n", path ? path : "");
    return -1;
  }
  std::fclose(file);

  if (!sdk.GetDfuDeviceBinInfoEx || !sdk.InitializeKestrelSDKEx || !sdk.GetDeviceHandleEx || !sdk.SetTargetDeviceEx ||
      !sdk.RequestDFUInfoEx || !sdk.SetDfuDeviceFilepathEx || !sdk.StartDataTransferEx || !sdk.ApplyNewFirmwareEx ||
      !sdk.closeKestrelSDK) {
    TracePrint("KestrelHidCoreLib.dll is not loaded\n");
    return kDfuResultNoSdk;
  }

  g_pfnProgress.store(UpdateProgressCallback);
  TracePrint("dfu_file_ok=%s\n", path);

  DfuBinInfo bin_file;
  std::memset(&bin_file, 0, sizeof(bin_file));
  if (sdk.GetDfuDeviceBinInfoEx(path, &bin_file) != 0) {
    TracePrint("get version from bin file fail=%s\n", path);
    return -2;
  }
  const std::string version = BoundedText(bin_file.version, sizeof(bin_file.version));
  const std::string category = BoundedText(bin_file.product_category, sizeof(bin_file.product_category));
  TracePrint("bin_file.version=%s\n", version.c_str());
  TracePrint("bin_file.product_category=%s\n", category.c_str());

  // From here on every return closes the attempt, so that nothing the SDK
  // still sends afterwards is acted on.
  const unsigned session = OpenDfuAttempt();
  SdkInitParams params;
  params.vid = vid;
  params.pid = pid;
  params.kind = kDeviceKind;
  params.target = kTarget;
  params.log = OnSdkLog;
  params.event = DfuSessionCallback(session);
  int32_t result = sdk.InitializeKestrelSDKEx(params);
  if (result < 0) {
    ConsoleLog("connect fail(%d). [%04X:%04X]\n", result, vid, pid);
    CloseDfuAttempt();
    return result;
  }

  g_device_handle.store(sdk.GetDeviceHandleEx(params));
  const uint16_t handle = static_cast<uint16_t>(g_device_handle.load() & 0xFFFF);
  sdk.SetTargetDeviceEx(handle, kTarget);
  sdk.RequestDFUInfoEx(handle);
  time.SleepMs(1000);

  // Cleared before the path goes out, so that a status the SDK reports while
  // taking the path is not wiped.
  g_dfu_flag.store(-1);
  sdk.SetDfuDeviceFilepathEx(handle, path);
  const int64_t start = time.NowMs();
  g_bEventSeen.store(false);
  time.SleepMs(1000);

  const int32_t early = g_dfu_flag.load();
  ConsoleLog("g_dfu_flag=%d\n", early);
  if (early != -1) {
    // The SDK was opened: it is closed on this return too, or it would go on
    // working (and reporting) on its own.
    CloseDfuAttempt();
    sdk.closeKestrelSDK();
    return early;
  }

  // Cleared before the start, so that a success reported at once is not wiped.
  g_bDFU.store(false);
  sdk.StartDataTransferEx(handle);
  ConsoleLog("set console timeout %d ms\n", static_cast<int>(kDfuInactivityMs));

  result = WaitForDfuOutcome(time, start);
  if (result == 0) {
    ConsoleLog("dfu_flag=%d\n", g_dfu_flag.load());
    if (g_bWriteLog) WriteLogFile(FormatText(L"dfu_flag=%d", g_dfu_flag.load()));
    for (int countdown = kSuccessCountdown;; --countdown) {
      if (g_bDFU.load()) {
        if (g_bWriteLog) WriteLogFile(FormatText(L"ret=%d,SDK_STATUS_CONNECT_dfu_flag=%d", 0, g_dfu_flag.load()));
        result = 0;
        break;
      }
      if (g_bWriteLog)
        WriteLogFile(FormatText(L"Wait=%d,SDK_STATUS_CONNECT_dfu_flag=%d", countdown, g_dfu_flag.load()));
      const uint32_t progressBefore = g_dfuProgressReports.load();
      time.SleepMs(1000);
      if (g_bDFU.load()) {
        result = 0;
        break;
      }
      // Progress in this step: the SDK still writes, and the wait starts again,
      // unless the overall limit has passed; then the steps left run out.
      const bool progressed = g_dfuProgressReports.load() != progressBefore;
      const bool writing = progressed && time.NowMs() < start + kDfuFirstWaitLimitMs;
      if ((countdown == 0 && !writing) || g_dfu_flag.load() == SDK_STATUS_DISCONNECT) {
        result = g_dfu_flag.load();
        if (g_bWriteLog) WriteLogFile(FormatText(L"ret=%d,dfu_flag=%d", result, g_dfu_flag.load()));
        break;
      }
      if (writing) countdown = kSuccessCountdown + 1;
    }
  }

  time.SleepMs(100);
  CloseDfuAttempt();
  sdk.closeKestrelSDK();
  return result;
}
