#pragma once
// Tmb.dll, the Tamber HID programming library that only the updater library
// uses: it finds the mouse, switches it into its boot loader and writes the
// MCU's code. On Windows the updater library loads it from its own folder and
// binds these names; natively the table is filled from the linked library.
#include <cstdint>

#include "vendor/VendorCall.h"

#ifdef TMB_BUILDING
#define TMB_API VENDOR_EXPORT
#elif defined(_WIN32)
#define TMB_API VENDOR_IMPORT
#else
#define TMB_API extern "C"
#endif

enum : int32_t {
  TMB_OK = 0,
  TMB_E_NO_DEVICE = -1,  // nothing with the IDs asked for is plugged in
  TMB_E_GONE = -2,       // the device was unplugged during the operation
  TMB_E_LINK = -3,       // the link dropped during the operation
  TMB_E_TIMEOUT = -4,    // the device stopped answering
  TMB_E_REFUSED = -5,    // the boot loader refused the code; nothing was written
  TMB_E_VERIFY = -6,     // the written code did not verify
  TMB_E_STATE = -7,      // called out of order
};

// Percent of the code written, 0 to 100, on the calling thread.
typedef void(VENDOR_CALL* TMB_ProgressFn)(void* context, int32_t percent);

typedef int32_t(VENDOR_CALL* PFN_TMB_FindDevice)(uint16_t* vid, uint16_t* pid);
typedef int32_t(VENDOR_CALL* PFN_TMB_EnterIsp)(uint16_t bootVid, uint16_t bootPid);
typedef int32_t(VENDOR_CALL* PFN_TMB_WriteCode)(const uint8_t* code, uint32_t size, TMB_ProgressFn progress,
                                                void* context);
typedef int32_t(VENDOR_CALL* PFN_TMB_VerifyCode)(uint32_t checksum);
typedef int32_t(VENDOR_CALL* PFN_TMB_ReturnUserMode)(uint16_t newVersion);
typedef int32_t(VENDOR_CALL* PFN_TMB_AbortIsp)(void);

#define TMB_NAME_FINDDEVICE "TMB_FindDevice"
#define TMB_NAME_ENTERISP "TMB_EnterIsp"
#define TMB_NAME_WRITECODE "TMB_WriteCode"
#define TMB_NAME_VERIFYCODE "TMB_VerifyCode"
#define TMB_NAME_RETURNUSERMODE "TMB_ReturnUserMode"
#define TMB_NAME_ABORTISP "TMB_AbortIsp"

struct TmbApi {
  PFN_TMB_FindDevice FindDevice = nullptr;
  PFN_TMB_EnterIsp EnterIsp = nullptr;
  PFN_TMB_WriteCode WriteCode = nullptr;
  PFN_TMB_VerifyCode VerifyCode = nullptr;
  PFN_TMB_ReturnUserMode ReturnUserMode = nullptr;
  PFN_TMB_AbortIsp AbortIsp = nullptr;
  bool complete() const {
    return FindDevice && EnterIsp && WriteCode && VerifyCode && ReturnUserMode && AbortIsp;
  }
};

// The identity of the plugged-in mouse, whichever mode it is in.
TMB_API int32_t VENDOR_CALL TMB_FindDevice(uint16_t* vid, uint16_t* pid);
// Into the boot loader (unless it runs already), found again by its IDs.
TMB_API int32_t VENDOR_CALL TMB_EnterIsp(uint16_t bootVid, uint16_t bootPid);
TMB_API int32_t VENDOR_CALL TMB_WriteCode(const uint8_t* code, uint32_t size, TMB_ProgressFn progress,
                                          void* context);
// The boot loader's byte sum of the written code against the package's.
TMB_API int32_t VENDOR_CALL TMB_VerifyCode(uint32_t checksum);
// Out of the boot loader, running the verified code as `newVersion`.
TMB_API int32_t VENDOR_CALL TMB_ReturnUserMode(uint16_t newVersion);
// Out of the boot loader without new code, when the old code is intact.
TMB_API int32_t VENDOR_CALL TMB_AbortIsp(void);
