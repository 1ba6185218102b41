#pragma once
// An IHidBackend over interfaces built in memory.
#include <map>
#include <string>
#include <vector>

#include "device/HidDeviceList.h"

class FakeHidBackend : public IHidBackend {
 public:
  struct Device {
    std::wstring path;
    std::wstring hardwareIds;  // multi-string
    bool opensForWrite = true;
    bool capsReadable = true;
    USHORT featureLength = 65;
  };

  void EnumerateInterfaces(const GUID&, const std::function<bool(const Interface&)>& sink) override {
    ++enumerations;
    for (const Device& d : devices) {
      Interface i;
      i.path = d.path;
      i.hardwareIds = d.hardwareIds;
      i.deviceDesc = L"HID-compliant device";
      if (!sink(i)) break;
    }
  }
  HANDLE OpenForWrite(const wchar_t* path) override {
    opened.push_back(path);
    for (size_t i = 0; i < devices.size(); ++i) {
      if (devices[i].path == path && devices[i].opensForWrite) {
        ++openHandles;
        return reinterpret_cast<HANDLE>(static_cast<intptr_t>(i + 1));
      }
    }
    return INVALID_HANDLE_VALUE;
  }
  bool GetFeatureReportLength(HANDLE device, USHORT* length) override {
    const Device& d = devices[static_cast<size_t>(reinterpret_cast<intptr_t>(device)) - 1];
    if (!d.capsReadable) return false;
    *length = d.featureLength;
    return true;
  }
  void Close(HANDLE) override { --openHandles; }
  HDEVNOTIFY RegisterNotification(HWND) override { return reinterpret_cast<HDEVNOTIFY>(0x1234); }
  void UnregisterNotification(HDEVNOTIFY) override {}

  std::vector<Device> devices;
  std::vector<std::wstring> opened;
  int enumerations = 0;
  int openHandles = 0;
};
