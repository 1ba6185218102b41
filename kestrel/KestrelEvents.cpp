// The SDK's events: trace lines, the words the flow waits on, progress for the
// window, and the apply step.
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "app/Format.h"
#include "app/Log.h"
#include "kestrel/KestrelDfu.h"

KestrelDeviceInfo device;
std::string usb_mcu_version;

namespace {

constexpr int32_t kApplyArg = 20;

// A double from the SDK cut toward zero; values no int can hold are pinned
// rather than left to undefined conversion.
int TruncToInt(double v) {
  if (std::isnan(v)) return 0;
  if (v >= static_cast<double>(INT_MAX)) return INT_MAX;
  if (v <= static_cast<double>(INT_MIN)) return INT_MIN;
  return static_cast<int>(v);
}

void OnAnswer(int32_t msgID, const char* msg) {
  switch (msgID) {
    case SDK_MSG_VERSION_PRODUCT_CATEGORY: {
      TracePrint("[QUERY_VERSION_PRODUCT_CATEGORY_INFO] Version,ProductCategory=%s\n", msg);
      const char* comma = std::strchr(msg, ',');
      if (!comma) return;
      device.version.assign(msg, static_cast<size_t>(comma - msg));
      device.product_category.assign(comma + 1);
      TracePrint("device.version=%s\n", device.version.c_str());
      TracePrint("device.product_category=%s\n", device.product_category.c_str());
      return;
    }
    case SDK_MSG_USB_MCU_VERSION:
      TracePrint("[GET_USB_MCU_VERSION] Version=%s\n", msg);
      usb_mcu_version = msg;
      TracePrint("device.version=%s\n", usb_mcu_version.c_str());
      return;
    case SDK_MSG_IAP_MODE_SET:
      TracePrint("[SET_USB_MCU_IAP_MODE_SUCCESS]\n");
      return;
    default:
      return;
  }
}

void OnNotification(int32_t msgID, double value1, double value2, const char* msg) {
  switch (msgID) {
    case SDK_MSG_LEA_REMOTE_CONNECTED:
      TracePrint("[LEA_REMOTE_CONNECTED] link_type=%d, handle==%d\n", TruncToInt(value1), TruncToInt(value2));
      return;
    case SDK_MSG_LEA_REMOTE_DISCONNECTED:
      TracePrint("[LEA_REMOTE_DISCONNECTED] link_type=%d, handle==%d\n", TruncToInt(value1), TruncToInt(value2));
      return;
    case SDK_MSG_DFU_PROGRESS: {
      TracePrint("[DFU_PROGRESS] %s\n", msg);
      g_dfuProgressReports.fetch_add(1);
      DfuProgressFn progress = g_pfnProgress.load();
      if (progress) {
        const int32_t value = static_cast<int32_t>(std::strtoul(msg, nullptr, 0) & 0xFFFFu);
        progress(7, value);
      }
      return;
    }
    default:
      return;
  }
}

}  // namespace

void OnSdkEvent(unsigned session, SdkEventRecord record) {
  // The SDK promises a terminated text; a record without one must not run us past it.
  record.msg[sizeof(record.msg) - 1] = '\0';
  const char* msg = record.msg;
  const std::unique_lock<std::recursive_mutex> attempt = g_dfuAttempt.Enter(session);
  if (!attempt.owns_lock()) {
    TracePrint("[UpdateResultAPI][%d][%d] not of the open attempt, ignored\n", record.status, record.msgID);
    return;
  }
  g_bEventSeen.store(true);
  TracePrint("[UpdateResultAPI][%d][%d][%f][%f][%s]\n", record.status, record.msgID, record.value1, record.value2,
             msg);

  switch (record.status) {
    case SDK_STATUS_ANSWER:
      OnAnswer(record.msgID, msg);
      break;
    case SDK_STATUS_SUCCESS:
      TracePrint("[DFU] status=%d, msg=%s\n", 1, msg);
      ConsoleLog("[DFU] successfully\n");
      // The flag first: the flow reads g_bDFU only after the flag has moved.
      g_dfu_flag.store(SDK_STATUS_SUCCESS);
      g_bDFU.store(true);
      if (g_bWriteLog) WriteLogFile(FormatText(L"[DFU] successfully_g_bDFU=%d", 1));
      break;
    case SDK_STATUS_TIMEOUT:
    case SDK_STATUS_TIMEOUT2:
      ConsoleLog("[fail] timeout\n");
      g_dfu_flag.store(record.status);
      break;
    case SDK_STATUS_CANCEL:
      ConsoleLog("\n\nError: Device is disconnected, stop DFU.\n\n\n");
      g_dfu_flag.store(SDK_STATUS_CANCEL);
      if (g_bWriteLog) WriteLogFile(FormatText(L"[DFU] SDK_STATUS_CANCEL=%d", 3));
      break;
    case SDK_STATUS_READY_TO_APPLY:
      TracePrint("ApplyNewFirmwareEx\n");
      KestrelSdk().ApplyNewFirmwareEx(static_cast<uint16_t>(g_device_handle.load() & 0xFFFF), kApplyArg);
      break;
    case SDK_STATUS_CONNECT:
      TracePrint("[DFU connect]\n");
      g_dfu_flag.store(SDK_STATUS_CONNECT);
      break;
    case SDK_STATUS_DISCONNECT:
      TracePrint("[DFU] status=%d, msgID=%d, msg=%s\n", 8, record.msgID, msg);
      g_dfu_flag.store(SDK_STATUS_DISCONNECT);
      if (g_bWriteLog) WriteLogFile(FormatText(L"[DFU] SDK_STATUS_DISCONNECT=%d", 8));
      break;
    case SDK_STATUS_NOTIFY:
      OnNotification(record.msgID, record.value1, record.value2, msg);
      break;
    default:  // 6 and unknown statuses only restart the flow's inactivity window
      break;
  }

  // After the words: a waiting flow wakes to see them.
  KestrelSignalEvent();
}
