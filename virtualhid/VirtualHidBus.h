#pragma once
// A user-mode program's handle on the virtual HID bus: plugs and unplugs
// children, takes the output reports their HID devices were given and pushes
// their input reports, through the bus's control interface. Windows only.
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
  // The children's output reports, oldest first: waits until there is at
  // least one, or until `stopEvent` (may be null) is set, which fails with
  // ERROR_OPERATION_ABORTED. Call from one thread at a time.
  bool TakeOutputs(std::vector<Report>* outputs, HANDLE stopEvent);
  // An input report of the child of that identity, for its HID device's
  // readers; fails when no such child is plugged.
  bool PushInput(const Report& report);
  DWORD LastError() const { return m_error; }

 private:
  bool Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned);
  HANDLE m_handle = INVALID_HANDLE_VALUE;
  // Takes wait on a handle of their own, opened for overlapped I/O, so that
  // they can be given up while the other requests go on.
  HANDLE m_takeHandle = INVALID_HANDLE_VALUE;
  HANDLE m_takeDone = nullptr;
  DWORD m_error = 0;
};

// Path of the bus's control interface; empty while the bus is not running.
std::wstring FindControlInterface();

}  // namespace vhid
