#pragma once
// Entry points of the updater library FWUpdater.dll, bound by name at run time.
#include "vendor/VendorCall.h"

// Progress of FWU_Update: status 7 with the percentage of the stage, 0 to 100.
typedef void(VENDOR_CALL* FWU_ProgressCallback)(int status, int value);

typedef int(VENDOR_CALL* PFN_FWU_GetDllVersion)(void);
typedef int(VENDOR_CALL* PFN_Set_Bootloader_ID)(unsigned short vid, unsigned short pid);
// Outs: package vendor ID, product ID, device version, package firmware version, two unused words.
typedef int(VENDOR_CALL* PFN_FWU_GetFileInfo)(const wchar_t* path, unsigned short* vid, unsigned short* pid,
                                              unsigned int* deviceVersion, unsigned int* fileVersion,
                                              unsigned int* reserved1, unsigned int* reserved2);
// Nonzero on success.
typedef int(VENDOR_CALL* PFN_FWU_Update)(const wchar_t* path, FWU_ProgressCallback progress);
typedef int(VENDOR_CALL* PFN_FWU_Get_FW_ErrorCode)(void);

// The names the library exports.
#define FWU_NAME_GETDLLVERSION "FWU_GetDllVersion"
#define FWU_NAME_GETFILEINFO "FWU_GetFileInfo"
#define FWU_NAME_UPDATE "FWU_Update"
#define FWU_NAME_GETERRORCODE "FWU_Get_FW_ErrorCode"
#define FWU_NAME_SETBOOTLOADERID "Set_Bootloader_ID"

// The bound pointers; a pointer stays null when its entry point is missing
// or the library did not load, and is then never called.
struct UpdaterApi {
  PFN_FWU_GetFileInfo fnFWU_GetFileInfo = nullptr;
  PFN_FWU_Update fnFWU_Update = nullptr;
  PFN_FWU_Get_FW_ErrorCode fnFWU_Get_FW_ErrorCode = nullptr;
  PFN_Set_Bootloader_ID fnSet_Bootloader_ID = nullptr;
};
