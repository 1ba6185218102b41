#pragma once
// What the stand-in Kestrel HID SDK returns beyond the declared interface.
// The SDK's functions themselves are declared in vendor/KestrelHidCore.h;
// natively they link straight from the KestrelHidCoreLib target.
#include <cstdint>

#include "vendor/KestrelHidCore.h"

// Negative results of InitializeKestrelSDKEx, GetDeviceHandleEx and the
// handle functions. The DFU flow hands an initialisation failure on as its
// own result, beside its own -1 (file not readable), -2 (file rejected) and
// -1000 (silence), so these stay clear of those.
enum : int32_t {
  KESTREL_E_INVALID = -101,    // a required argument is missing or wrong
  KESTREL_E_NO_DEVICE = -102,  // no mouse with the given IDs is plugged in
  KESTREL_E_HANDLE = -103,     // not the handle of the open session
  KESTREL_E_STATE = -104,      // no image set, or a transfer is already queued
  KESTREL_E_THREAD = -105,     // the event thread could not be started
};

// Results of GetDfuDeviceBinInfoEx other than 0.
enum : int32_t {
  KESTREL_BIN_E_ARGS = -1,
  KESTREL_BIN_E_OPEN = -2,
  KESTREL_BIN_E_FORMAT = -3,  // truncated, wrong magic, or a failed check
};

// Stops the reports a closed SDK of the late-events scenario still sends, and
// waits for them to end. A new initialisation does the same.
// Exported by our DLL beside the SDK's functions, for tests.
KESTREL_API void VENDOR_CALL KestrelStandInEndLateReports(void);
