#pragma once
// A user-mode program's handle on the virtual HID bus: plugs and unplugs
// children through the bus's control interface. Windows only.
#include <windows.h>

#include <string>
#include <vector>

#include "virtualhid/MouseChildren.h"

namespace vhid {

class BusControl {
 public:
  BusControl() = default;
  ~BusControl();
  BusControl(const BusControl&) = delete;
  BusControl& operator=(const BusControl&) = delete;

  // Opens the control interface, waiting up to `timeoutMs` for the bus to
  // come up (it starts with the device host, a moment after the prefix).
  bool Open(DWORD timeoutMs);
  bool IsOpen() const { return m_handle != INVALID_HANDLE_VALUE; }
  void Close();

  // Each returns false with the system's error code in LastError().
  bool Plug(const Child& child);
  bool Unplug(const Identity& identity);
  bool List(std::vector<Identity>* children);
  DWORD LastError() const { return m_error; }

 private:
  bool Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned);
  HANDLE m_handle = INVALID_HANDLE_VALUE;
  DWORD m_error = 0;
};

// Path of the bus's control interface; empty while the bus is not running.
std::wstring FindControlInterface();

}  // namespace vhid
