#pragma once
// Where the window's device list comes from: SetupAPI and the HID class driver.
// Only the simulation build (orvane_devices_sim) also serves the simulated mouse,
// when ORVANE_SIMMOUSE names its state file; the shipped programs never read it.
#include <functional>
#include <memory>
#include <string>

#include "device/HidDeviceList.h"

// The backend for this process, chosen once.
IHidBackend& SelectHidBackend();

#ifdef _WIN32
std::unique_ptr<IHidBackend> CreateSetupApiBackend();
#endif

// The simulated mouse's interfaces. Notifications come from a watcher thread
// that polls the state file's generation and reports each interface that
// appeared or went away.
class SimulatedHidBackend : public IHidBackend {
 public:
  // event: 0x8000 arrival, 0x8004 removal; path: the interface's path.
  typedef std::function<void(unsigned event, const std::wstring& path)> ChangeSink;

  explicit SimulatedHidBackend(std::string statePath);
  ~SimulatedHidBackend() override;

  void EnumerateInterfaces(const GUID& interfaceClass, const std::function<bool(const Interface&)>& sink) override;
  HANDLE OpenForWrite(const wchar_t* path) override;
  bool GetFeatureReportLength(HANDLE device, USHORT* length) override;
  void Close(HANDLE device) override;
  // On Windows the changes reach the window as WM_DEVICECHANGE.
  HDEVNOTIFY RegisterNotification(HWND window) override;
  void UnregisterNotification(HDEVNOTIFY notify) override;

  // Starts the watcher with a sink of the caller's (tests; the window path uses it too).
  HDEVNOTIFY Watch(ChangeSink sink, unsigned pollMs = 50);
  // Notification records kept because their message timed out (and may still be read).
  size_t HeldRecords() const;

 private:
  struct Watcher;
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};
