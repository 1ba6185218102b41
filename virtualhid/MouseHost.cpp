// Keeps the simulated mouse on the virtual HID bus: reads the mouse's state
// file (ORVANE_SIMMOUSE) and makes the bus show the mouse as it shows itself,
// following every change of the file with a real unplug and plug.
//   mouse_host.exe [--poll-ms N]   runs until stopped; a second start is a no-op
//   mouse_host.exe --stop          stops the running host, which unplugs the mouse
//   mouse_host.exe --list          prints the children on the bus, one a line
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "simmouse/SimMouse.h"
#include "virtualhid/MouseChildren.h"
#include "virtualhid/VirtualHidBus.h"

namespace {

const wchar_t kRunningMutex[] = L"OrvaneVirtualMouseHost.Running";
const wchar_t kStopEvent[] = L"OrvaneVirtualMouseHost.Stop";

// One line on standard output, with the time of day, flushed at once for the
// scripts that follow it.
void Log(const char* format, ...) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  std::printf("%02u:%02u:%02u.%03u mouse_host: ", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::printf("\n");
  std::fflush(stdout);
}

int Stop() {
  HANDLE stop = OpenEventW(EVENT_MODIFY_STATE, FALSE, kStopEvent);
  if (!stop) {
    Log("not running");
    return 0;
  }
  SetEvent(stop);
  CloseHandle(stop);
  // The host holds its mutex until it has unplugged the mouse and ends.
  HANDLE running = OpenMutexW(SYNCHRONIZE, FALSE, kRunningMutex);
  if (running) {
    DWORD r = WaitForSingleObject(running, 10000);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED) ReleaseMutex(running);
    CloseHandle(running);
    if (r == WAIT_TIMEOUT) {
      Log("the host did not stop within 10 s");
      return 1;
    }
  }
  Log("stopped");
  return 0;
}

int List() {
  vhid::BusControl bus;
  std::vector<vhid::Identity> children;
  if (!bus.Open(5000) || !bus.List(&children)) {
    Log("the bus does not answer (error %lu)", bus.LastError());
    return 1;
  }
  for (const vhid::Identity& id : children) std::printf("%s\n", vhid::Describe(id).c_str());
  return 0;
}

// Brings the bus to what the state asks for; false when the bus refused.
bool Reconcile(vhid::BusControl& bus, const simmouse::MouseState& state) {
  std::vector<vhid::Identity> present;
  if (!bus.List(&present)) {
    Log("cannot list the bus's children (error %lu)", bus.LastError());
    return false;
  }
  vhid::Plan plan = vhid::PlanChanges(present, vhid::ChildrenFor(state));
  bool ok = true;
  // Removal first, as a real re-enumeration tears down before it builds up.
  for (const vhid::Identity& id : plan.unplug) {
    if (bus.Unplug(id)) {
      Log("unplugged %s", vhid::Describe(id).c_str());
    } else {
      Log("unplugging %s failed (error %lu)", vhid::Describe(id).c_str(), bus.LastError());
      ok = false;
    }
  }
  for (const vhid::Child& child : plan.plug) {
    if (bus.Plug(child)) {
      Log("plugged %s", vhid::Describe(child.identity).c_str());
    } else {
      Log("plugging %s failed (error %lu)", vhid::Describe(child.identity).c_str(), bus.LastError());
      ok = false;
    }
  }
  return ok;
}

int Run(DWORD pollMs) {
  std::string path = simmouse::StatePathFromEnvironment();
  if (path.empty()) {
    Log("ORVANE_SIMMOUSE does not name the mouse's state file");
    return 2;
  }
  HANDLE running = CreateMutexW(nullptr, TRUE, kRunningMutex);
  if (!running) return 1;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    Log("already running");
    CloseHandle(running);
    return 0;
  }
  HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, kStopEvent);
  ResetEvent(stop);  // a stop meant for an earlier host

  simmouse::Store store(path);
  vhid::BusControl bus;
  Log("serving %s", path.c_str());
  // A bus that refused, a bus that restarted, or a host started over the
  // children of an earlier one: the next round compares the bus with the
  // state again, whatever the generation.
  bool settled = false, waiting = false;
  uint64_t generation = 0;
  for (;;) {
    if (!bus.IsOpen()) {
      settled = false;
      if (!bus.Open(0) && !waiting) Log("waiting for the bus");
      waiting = !bus.IsOpen();
    }
    if (bus.IsOpen()) {
      simmouse::MouseState state = store.Load();
      if (!settled || state.generation != generation) {
        settled = Reconcile(bus, state);
        generation = state.generation;
        if (!settled) bus.Close();
      }
    }
    if (WaitForSingleObject(stop, bus.IsOpen() ? pollMs : 1000) == WAIT_OBJECT_0) break;
  }

  if (bus.IsOpen()) {
    simmouse::MouseState unplugged;
    unplugged.state = simmouse::DeviceState::Unplugged;
    Reconcile(bus, unplugged);
  }
  Log("stopped");
  CloseHandle(stop);
  ReleaseMutex(running);
  CloseHandle(running);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  DWORD pollMs = 20;
  for (int i = 1; i < argc; ++i) {
    if (std::wcscmp(argv[i], L"--stop") == 0) return Stop();
    if (std::wcscmp(argv[i], L"--list") == 0) return List();
    if (std::wcscmp(argv[i], L"--poll-ms") == 0 && i + 1 < argc)
      pollMs = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
  }
  return Run(pollMs);
}
