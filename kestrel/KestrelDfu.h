#pragma once
// One device-firmware-update attempt on the mouse's Kestrel side.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#ifdef _WIN32
#include <windows.h>
#endif

#include "app/ReportGate.h"
#include "vendor/KestrelHidCore.h"

int32_t run_dfu_flow_wired_mouse(uint16_t vid, uint16_t pid, const char* path);

// ---- state shared between the flow (worker thread) and OnSdkEvent (SDK thread)

// The progress hook: (kind, value); kind 7 carries the stage's percentage.
typedef void(VENDOR_CALL* DfuProgressFn)(int32_t kind, int32_t value);

// -1 while no outcome has been reported, else the last reported status.
extern std::atomic<int32_t> g_dfu_flag;
// The SDK reported success.
extern std::atomic<bool> g_bDFU;
// An event arrived since the flow last looked.
extern std::atomic<bool> g_bEventSeen;
// GetDeviceHandleEx's result; its low 16 bits are the SDK handle.
extern std::atomic<int32_t> g_device_handle;
// Set by the flow to UpdateProgressCallback; never cleared.
extern std::atomic<DfuProgressFn> g_pfnProgress;
// Counts the progress reports of the open attempt: the success wait goes on
// while they arrive.
extern std::atomic<uint32_t> g_dfuProgressReports;

// The SDK's events: runs on the SDK's thread, for the session whose callback
// the SDK called. An SDK's events carry no session, and a closed SDK may go on
// reporting, for longer than the pause before the next attempt: each attempt
// therefore hands the SDK an event callback of its own, and an event counts
// only when it comes through the callback of the open attempt. Others are
// dropped: they must not move the words of a later attempt, the progress of
// the Tamber stage, or the update state.
void OnSdkEvent(unsigned session, SdkEventRecord record);

// Sessions take their callbacks in turn from this many: a stray report would
// have to outlast that many whole attempts to be taken for a later one.
constexpr unsigned kDfuSessionCallbacks = 8;
// The callback the SDK is given for a session.
SdkEventCallback DfuSessionCallback(unsigned session);
// Opens the next attempt (before the SDK is initialised) and returns its
// session; closing waits for an event being handled. Recursive: an SDK may
// report from inside ApplyNewFirmwareEx, which the handler calls.
unsigned OpenDfuAttempt();
void CloseDfuAttempt();
extern CReportGate<std::recursive_mutex> g_dfuAttempt;

// What the SDK's answers said about the device. Written only by OnSdkEvent.
struct KestrelDeviceInfo {
  std::string version;
  std::string product_category;
};
extern KestrelDeviceInfo device;
extern std::string usb_mcu_version;

// ---- seams

// The SDK functions the flow and the event handler call. The default is the
// imported KestrelHidCoreLib; tests install a scripted fake.
struct KestrelSdkApi {
  int32_t(VENDOR_CALL* GetDfuDeviceBinInfoEx)(const char* path, DfuBinInfo* info);
  int32_t(VENDOR_CALL* InitializeKestrelSDKEx)(SdkInitParams params);
  int32_t(VENDOR_CALL* GetDeviceHandleEx)(SdkInitParams params);
  int32_t(VENDOR_CALL* SetTargetDeviceEx)(uint16_t handle, int32_t target);
  int32_t(VENDOR_CALL* RequestDFUInfoEx)(uint16_t handle);
  int32_t(VENDOR_CALL* SetDfuDeviceFilepathEx)(uint16_t handle, const char* path);
  int32_t(VENDOR_CALL* StartDataTransferEx)(uint16_t handle);
  int32_t(VENDOR_CALL* ApplyNewFirmwareEx)(uint16_t handle, int32_t arg);
  int32_t(VENDOR_CALL* closeKestrelSDK)(void);
};
const KestrelSdkApi& KestrelImportedSdk();
#ifdef _WIN32
// Binds the table of KestrelImportedSdk to a loaded SDK module (null unbinds);
// at start-up, before any update runs.
void BindKestrelSdk(HMODULE sdk);
#endif
// The table in use; the caller keeps `api` alive while installed. Null restores the imported SDK.
void SetKestrelSdk(const KestrelSdkApi* api);
const KestrelSdkApi& KestrelSdk();

// Time as the flow sees it: a monotonic millisecond clock, sleeps, and the wait
// for the next SDK event.
class IKestrelTime {
 public:
  virtual ~IKestrelTime() = default;
  virtual int64_t NowMs() = 0;
  virtual void SleepMs(uint32_t ms) = 0;
  // Returns once the event sequence differs from seenSequence or NowMs() has
  // reached deadlineMs, whichever is first. May return early.
  virtual void WaitForEvent(uint32_t seenSequence, int64_t deadlineMs) = 0;
};
IKestrelTime& KestrelRealTime();

// The real clock at `scale` real milliseconds per flow millisecond, for runs
// against the simulated mouse, whose own delays run at the same scale.
class ScaledKestrelTime : public IKestrelTime {
 public:
  explicit ScaledKestrelTime(double scale);
  int64_t NowMs() override;
  void SleepMs(uint32_t ms) override;
  void WaitForEvent(uint32_t seenSequence, int64_t deadlineMs) override;

 private:
  double m_scale;
  int64_t m_base;
};

// Null restores the real clock.
void SetKestrelTime(IKestrelTime* time);
IKestrelTime& KestrelTime();

// Counts SDK events; OnSdkEvent bumps it after it has set the words, which wakes
// a waiting flow.
uint32_t KestrelEventSequence();
void KestrelSignalEvent();

constexpr int64_t kDfuInactivityMs = 20000;
// However chatty the SDK, the first wait ends this long after the image path
// was handed over: an SDK that reports progress for ever must not keep the
// update, and so the window, open for good.
constexpr int64_t kDfuFirstWaitLimitMs = 10 * 60 * 1000;
constexpr int32_t kDfuResultSilent = -1000;     // no event for more than kDfuInactivityMs
constexpr int32_t kDfuResultWaitLimit = -1001;  // no outcome within kDfuFirstWaitLimitMs
constexpr int32_t kDfuResultNoSdk = -1002;      // the SDK (or one of its functions) is not there

// The success wait (after an outcome other than success) waits 16 one-second
// steps for success; a step in which the SDK reported progress starts the 16
// again, as long as kDfuFirstWaitLimitMs have not passed since the path was
// handed over: an SDK still writing must not be closed under the chip. Past
// that, progress no longer extends the wait, nor cuts it short.

// The wait after the transfer has started: 0 once an outcome is reported
// (g_dfu_flag no longer -1); kDfuResultSilent, after the time-out line, when
// more than 20,000 whole ms pass without any event (every event restarts that
// window); kDfuResultWaitLimit when kDfuFirstWaitLimitMs have passed since
// `startMs` without an outcome.
int32_t WaitForDfuOutcome(IKestrelTime& time, int64_t startMs);
