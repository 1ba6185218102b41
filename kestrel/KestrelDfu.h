#pragma once
// One device-firmware-update attempt on the mouse's Kestrel side.
#include <atomic>
#include <cstdint>
#include <string>

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

// The event callback handed to the SDK; runs on the SDK's thread.
void VENDOR_CALL OnSdkEvent(SdkEventRecord record);

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
// Null restores the real clock.
void SetKestrelTime(IKestrelTime* time);
IKestrelTime& KestrelTime();

// Counts SDK events; OnSdkEvent bumps it after it has set the words, which wakes
// a waiting flow.
uint32_t KestrelEventSequence();
void KestrelSignalEvent();

// The wait after the transfer has started: true once an outcome is reported
// (g_dfu_flag no longer -1); false, after the time-out line, when more than
// 20,000 whole ms pass without any event. Every event restarts the window.
bool WaitForDfuOutcome(IKestrelTime& time, int64_t startMs);

constexpr int64_t kDfuInactivityMs = 20000;
