#pragma once
// The stand-in updater library's entry points. On Windows they are the
// exports of FWUpdater.dll, which the application binds by name; natively the
// FWUpdater target is a static library and these link directly.
#include <cstdint>

#include "standins/TmbApi.h"
#include "vendor/FWUpdater.h"

#ifdef FWUPDATER_BUILDING
#define FWU_API VENDOR_EXPORT
#elif defined(_WIN32)
#define FWU_API VENDOR_IMPORT
#else
#define FWU_API extern "C"
#endif

// The codes FWU_Get_FW_ErrorCode gives, each for its cause.
enum : int32_t {
  FWU_OK = 0,
  FWU_ERR_FILE_NOT_EXIST = -1,  // no such file (or an empty path)
  FWU_ERR_FILE_OPEN = -3,       // it exists but cannot be opened (a folder, no access)
  FWU_ERR_NO_DEVICE = -4,       // no mouse plugged in
  FWU_ERR_NO_TMB = -5,          // Tmb.dll missing beside the library, or incomplete
  FWU_ERR_WRITE = -8,           // the mouse was lost while its code was written
  FWU_ERR_WRONG_VID = 2,        // the package is for another vendor's device
  FWU_ERR_WRONG_PID = 3,        // ... or another product (application vs boot loader)
  FWU_ERR_LOAD_FILE = 5,        // a read error part-way through the file
  FWU_ERR_INVALID_FILE = 6,     // not a valid package: magic, size or a check
  FWU_ERR_NO_HID_DEVICE = 7,    // the boot loader did not come up with the expected IDs
  FWU_ERR_NOT_FOR_DEVICE = 9,   // the boot loader refused the code
  FWU_ERR_VERIFY = 25,          // the written code failed verification
  FWU_ERR_RETURN_USER = 26,     // the boot loader did not hand back to the application
  FWU_ERR_HANDSHAKE = 36,       // the device stopped answering
};

FWU_API int VENDOR_CALL FWU_GetDllVersion(void);
FWU_API int VENDOR_CALL Set_Bootloader_ID(unsigned short vid, unsigned short pid);
FWU_API int VENDOR_CALL FWU_GetFileInfo(const wchar_t* path, unsigned short* vid, unsigned short* pid,
                                        unsigned int* deviceVersion, unsigned int* fileVersion,
                                        unsigned int* reserved1, unsigned int* reserved2);
FWU_API int VENDOR_CALL FWU_Update(const wchar_t* path, FWU_ProgressCallback progress);
FWU_API int VENDOR_CALL FWU_Get_FW_ErrorCode(void);

#ifndef _WIN32
// The linked entry points as the application would bind them.
UpdaterApi BindLinkedUpdater();
// Tests: the Tmb functions FWU_Update uses from now on; null behaves as a
// missing Tmb.dll. FWU_UseLinkedTmb restores the linked library.
void FWU_SetTmbApi(const TmbApi* api);
void FWU_UseLinkedTmb();
// Tests: back to the boot-loader IDs the library has before Set_Bootloader_ID.
void FWU_ForgetBootloaderId();
#endif
