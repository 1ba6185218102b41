#pragma once
// The Kestrel HID SDK, KestrelHidCoreLib.dll, imported by name.
#include <cstddef>
#include <cstdint>

#include "vendor/VendorCall.h"

#ifdef KESTREL_BUILDING_SDK
#define KESTREL_API VENDOR_EXPORT
#elif defined(_WIN32)
#define KESTREL_API VENDOR_IMPORT
#else
#define KESTREL_API extern "C"
#endif

struct SdkEventRecord {
  int32_t msgID;
  int32_t status;
  double value1;
  double value2;
  char msg[1024];
};

typedef void(VENDOR_CALL* SdkLogCallback)(int32_t level, const char* text);
typedef void(VENDOR_CALL* SdkEventCallback)(SdkEventRecord record);

struct SdkInitParams {
  uint16_t vid;
  uint16_t pid;
  int32_t kind;    // always 2
  int32_t target;  // always 12
  SdkLogCallback log;
  SdkEventCallback event;
};

struct DfuBinInfo {
  char product_category[32];
  char version[16];
};

#if defined(_WIN32) && !defined(_WIN64)
// The SDK is a 32-bit library: these layouts are its, byte for byte.
static_assert(sizeof(SdkInitParams) == 20, "SdkInitParams is 20 bytes");
static_assert(sizeof(SdkEventRecord) == 1048, "SdkEventRecord is 1,048 bytes");
static_assert(offsetof(SdkEventRecord, msg) == 24, "msg at 24");
static_assert(offsetof(SdkEventRecord, value1) == 8, "value1 at 8");
#endif
static_assert(sizeof(DfuBinInfo) == 48, "DfuBinInfo is 48 bytes");
static_assert(offsetof(DfuBinInfo, version) == 32, "version at 32");

// Status codes of SdkEventRecord::status.
enum : int32_t {
  SDK_STATUS_ANSWER = 0,
  SDK_STATUS_SUCCESS = 1,
  SDK_STATUS_TIMEOUT = 2,
  SDK_STATUS_CANCEL = 3,
  SDK_STATUS_TIMEOUT2 = 4,
  SDK_STATUS_READY_TO_APPLY = 5,
  SDK_STATUS_IGNORED = 6,
  SDK_STATUS_CONNECT = 7,
  SDK_STATUS_DISCONNECT = 8,
  SDK_STATUS_NOTIFY = 9,
};
// msgID values.
enum : int32_t {
  SDK_MSG_USB_MCU_VERSION = 30023,
  SDK_MSG_IAP_MODE_SET = 30024,
  SDK_MSG_VERSION_PRODUCT_CATEGORY = 30025,
  SDK_MSG_DFU_PROGRESS = 10000,
  SDK_MSG_LEA_REMOTE_CONNECTED = 15002,
  SDK_MSG_LEA_REMOTE_DISCONNECTED = 15003,
};

KESTREL_API int32_t VENDOR_CALL GetDfuDeviceBinInfoEx(const char* path, DfuBinInfo* info);
KESTREL_API int32_t VENDOR_CALL InitializeKestrelSDKEx(SdkInitParams params);
KESTREL_API int32_t VENDOR_CALL GetDeviceHandleEx(SdkInitParams params);
KESTREL_API int32_t VENDOR_CALL SetTargetDeviceEx(uint16_t handle, int32_t target);
KESTREL_API int32_t VENDOR_CALL RequestDFUInfoEx(uint16_t handle);
KESTREL_API int32_t VENDOR_CALL SetDfuDeviceFilepathEx(uint16_t handle, const char* path);
KESTREL_API int32_t VENDOR_CALL StartDataTransferEx(uint16_t handle);
KESTREL_API int32_t VENDOR_CALL ApplyNewFirmwareEx(uint16_t handle, int32_t arg);
KESTREL_API int32_t VENDOR_CALL closeKestrelSDK(void);
