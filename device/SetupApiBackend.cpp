// The HID interfaces of the machine through SetupAPI and the HID class driver.
#include <windows.h>
// clang-format off
#include <setupapi.h>
#include <dbt.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
// clang-format on

#include <cstdlib>
#include <string>
#include <vector>

#include "device/HidBackends.h"

namespace {

// One registry property; empty when it cannot be read or does not fit the
// 520-byte buffer the list's fields allow.
std::wstring ReadProperty(HDEVINFO set, SP_DEVINFO_DATA* info, DWORD property) {
  BYTE buffer[520] = {0};
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, info, property, &type, buffer, sizeof buffer - 2 * sizeof(wchar_t),
                                         nullptr))
    return std::wstring();
  const wchar_t* text = reinterpret_cast<const wchar_t*>(buffer);
  if (type != REG_MULTI_SZ) return std::wstring(text);
  // A multi-string keeps its inner terminators.
  size_t n = 0;
  while (n + 1 < sizeof buffer / sizeof(wchar_t) && (text[n] || text[n + 1])) ++n;
  return std::wstring(text, n + 1);
}

class SetupApiBackend : public IHidBackend {
 public:
  void EnumerateInterfaces(const GUID& interfaceClass, const std::function<bool(const Interface&)>& sink) override {
    const ::GUID& cls = reinterpret_cast<const ::GUID&>(interfaceClass);
    HDEVINFO set = SetupDiGetClassDevsW(&cls, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return;
    for (DWORD index = 0;; ++index) {
      SP_DEVICE_INTERFACE_DATA data = {};
      data.cbSize = sizeof data;
      if (!SetupDiEnumDeviceInterfaces(set, nullptr, &cls, index, &data)) break;
      DWORD size = 0;
      SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &size, nullptr);
      if (size == 0) break;
      auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(std::calloc(1, size));
      if (!detail) break;
      detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
      SP_DEVINFO_DATA info = {};
      info.cbSize = sizeof info;
      Interface found;
      if (SetupDiGetDeviceInterfaceDetailW(set, &data, detail, size, nullptr, &info)) found.path = detail->DevicePath;
      found.driverKey = ReadProperty(set, &info, SPDRP_DRIVER);
      found.locationInfo = ReadProperty(set, &info, SPDRP_LOCATION_INFORMATION);
      found.deviceDesc = ReadProperty(set, &info, SPDRP_DEVICEDESC);
      found.hardwareIds = ReadProperty(set, &info, SPDRP_HARDWAREID);
      std::free(detail);
      if (!sink(found)) break;
    }
    SetupDiDestroyDeviceInfoList(set);
  }

  HANDLE OpenForWrite(const wchar_t* path) override {
    return CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  }

  bool GetFeatureReportLength(HANDLE device, USHORT* length) override {
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(device, &preparsed)) return false;
    HIDP_CAPS caps = {};
    NTSTATUS status = HidP_GetCaps(preparsed, &caps);
    HidD_FreePreparsedData(preparsed);
    if (status != HIDP_STATUS_SUCCESS) return false;
    *length = caps.FeatureReportByteLength;
    return true;
  }

  void Close(HANDLE device) override {
    if (device != INVALID_HANDLE_VALUE) CloseHandle(device);
  }

  HDEVNOTIFY RegisterNotification(HWND window) override {
    DEV_BROADCAST_DEVICEINTERFACE_W filter = {};
    filter.dbcc_size = 32;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    filter.dbcc_classguid = reinterpret_cast<const ::GUID&>(kHidInterfaceClass);
    return RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
  }

  void UnregisterNotification(HDEVNOTIFY notify) override {
    if (notify) UnregisterDeviceNotification(notify);
  }
};

}  // namespace

std::unique_ptr<IHidBackend> CreateSetupApiBackend() { return std::make_unique<SetupApiBackend>(); }
