#pragma once
// The enumerated HID interfaces, and the platform side that fills them.
#include <functional>
#include <string>

#include "app/Platform.h"

#define MAX_HID_DEVICES 127
#define HID_TEXT_UNITS 260

struct HID_DEVICE_ENTRY {
  wchar_t szLocationInfo[HID_TEXT_UNITS];
  wchar_t szDeviceDesc[HID_TEXT_UNITS];
  wchar_t szDevicePath[HID_TEXT_UNITS];
  wchar_t szDriverKey[HID_TEXT_UNITS];
  wchar_t szHardwareIds[HID_TEXT_UNITS];  // multi-string; only the first string is read
  GUID guidInterfaceClass;
};

// {4D1E55B2-F16F-11CF-88CB-001111000030}
extern const GUID kHidInterfaceClass;

class CHidDeviceList;

// What the device logic needs of the platform: the present HID interfaces with
// their path and properties, one interface opened for writing with its
// feature-report length, and arrival/removal notifications. SetupAPI is the
// default; the simulated mouse is the other implementation.
class IHidBackend {
 public:
  virtual ~IHidBackend() = default;
  // One present interface; a property that cannot be read is empty.
  struct Interface {
    std::wstring path;
    std::wstring hardwareIds;  // multi-string: strings separated by L'\0'
    std::wstring driverKey, locationInfo, deviceDesc;
  };
  // Hands the present interfaces of the class to `sink` in enumeration order
  // until it returns false or there are no more.
  virtual void EnumerateInterfaces(const GUID& interfaceClass,
                                   const std::function<bool(const Interface&)>& sink) = 0;
  // Opens for writing; INVALID_HANDLE_VALUE when it cannot.
  virtual HANDLE OpenForWrite(const wchar_t* path) = 0;
  // The HID capabilities' FeatureReportByteLength; false when they cannot be read.
  virtual bool GetFeatureReportLength(HANDLE device, USHORT* length) = 0;
  virtual void Close(HANDLE device) = 0;
  virtual HDEVNOTIFY RegisterNotification(HWND window) = 0;
  virtual void UnregisterNotification(HDEVNOTIFY notify) = 0;
};

class CHidDeviceList {
 public:
  explicit CHidDeviceList(IHidBackend& backend);
  CHidDeviceList(const CHidDeviceList&) = delete;
  CHidDeviceList& operator=(const CHidDeviceList&) = delete;

  void EnumerateDevices(GUID interfaceClass);
  BOOL OpenDevice(const wchar_t* path);
  void RegisterNotification(HWND window);

  HID_DEVICE_ENTRY m_aDevices[MAX_HID_DEVICES];
  HDEVNOTIFY m_hDevNotify = nullptr;
  HANDLE m_hDevice = INVALID_HANDLE_VALUE;
  int m_nDevices = 0;
  IHidBackend& m_backend;
};
