// Keeps the simulated mouse on the virtual HID bus: reads the mouse's state
// file (ORVANE_SIMMOUSE) and makes the bus show the mouse as it shows itself,
// following every change of the file with a real unplug and plug. A second
// thread serves the mouse's reports: it takes the output reports that
// programs write to the mouse's HID device and pushes the answers back as
// input reports.
//   mouse_host.exe [--poll-ms N]   runs until stopped; a second start is a no-op
//   mouse_host.exe --echo          the same, answering every report with itself
//   mouse_host.exe --stop          stops the running host, which unplugs the mouse
//   mouse_host.exe --list          prints the children on the bus, one a line
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <functional>
#include <string>
#include <vector>

#include "simmouse/Firmware.h"
#include "simmouse/SimMouse.h"
#include "virtualhid/MouseChildren.h"
#include "virtualhid/VirtualHidBus.h"

namespace {

const wchar_t kRunningMutex[] = L"OrvaneVirtualMouseHost.Running";
const wchar_t kStopEvent[] = L"OrvaneVirtualMouseHost.Stop";

CRITICAL_SECTION g_logLock;

// One line on standard output, with the time of day, flushed at once for the
// scripts that follow it; whole lines from either thread.
void Log(const char* format, ...) {
  SYSTEMTIME t;
  GetLocalTime(&t);
  EnterCriticalSection(&g_logLock);
  std::printf("%02u:%02u:%02u.%03u mouse_host: ", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
  std::printf("\n");
  std::fflush(stdout);
  LeaveCriticalSection(&g_logLock);
}

// What the mouse answers to one output report (its report ID first): the
// input reports it sends back, each with its report ID first.
using ReportHandler = std::function<void(const vhid::Identity&, const uint8_t* data, size_t length,
                                         std::vector<std::vector<uint8_t>>* answers)>;

// With --echo every output report comes back as it went out, which proves
// and times the path from a program's WriteFile to its ReadFile.
void Echo(const vhid::Identity&, const uint8_t* data, size_t length, std::vector<std::vector<uint8_t>>* answers) {
  answers->emplace_back(data, data + length);
}

// The mouse's firmware answers the libraries' requests; the state file keeps
// what it does to the mouse, which the polling below turns into plugging.
class FirmwareHandler {
 public:
  explicit FirmwareHandler(const std::string& path) : m_store(path) {}
  void operator()(const vhid::Identity& id, const uint8_t* data, size_t length,
                  std::vector<std::vector<uint8_t>>* answers) {
    using simmouse::proto::kReportId;
    using simmouse::proto::kReportSize;
    // hidclass hands on only whole reports under the one ID there is.
    if (length != kReportSize + 1 || data[0] != kReportId) return;
    simmouse::proto::Report request;
    std::memcpy(request.data(), data + 1, kReportSize);
    m_answers.clear();
    m_firmware.Handle(m_store, id.vendorId, id.productId, request, &m_answers);
    for (const simmouse::proto::Report& a : m_answers) {
      std::vector<uint8_t> report(kReportSize + 1);
      report[0] = kReportId;
      std::memcpy(report.data() + 1, a.data(), kReportSize);
      answers->push_back(std::move(report));
    }
  }

 private:
  simmouse::Store m_store;
  simmouse::Firmware m_firmware;
  std::vector<simmouse::proto::Report> m_answers;
};

struct Server {
  HANDLE stop;
  ReportHandler handler;
};

// The serving thread: output reports in, answers out, until the stop event.
// It has a handle on the bus of its own, so that a take waits while the
// plugging goes on, and opens it again when the bus comes back.
DWORD WINAPI Serve(void* param) {
  const Server& server = *static_cast<Server*>(param);
  vhid::BusControl bus;
  std::vector<vhid::Report> outputs;
  std::vector<std::vector<uint8_t>> answers;
  unsigned long long taken = 0, answered = 0, undelivered = 0;
  bool pushFailing = false;
  while (WaitForSingleObject(server.stop, 0) != WAIT_OBJECT_0) {
    if (!bus.IsOpen() && !bus.Open(0)) {
      WaitForSingleObject(server.stop, 1000);
      continue;
    }
    if (!bus.TakeOutputs(&outputs, server.stop)) {
      if (bus.LastError() != ERROR_OPERATION_ABORTED) {
        Log("taking output reports failed (error %lu)", bus.LastError());
        bus.Close();
        WaitForSingleObject(server.stop, 1000);
      }
      continue;
    }
    for (const vhid::Report& output : outputs) {
      ++taken;
      answers.clear();
      server.handler(output.identity, output.data.data(), output.data.size(), &answers);
      for (std::vector<uint8_t>& answer : answers) {
        if (bus.PushInput(vhid::Report{output.identity, std::move(answer)})) {
          ++answered;
          pushFailing = false;
          continue;
        }
        // Usually a child unplugged since it was written to; said once a streak.
        ++undelivered;
        if (!pushFailing)
          Log("an answer to %s was not delivered (error %lu)", vhid::Describe(output.identity).c_str(),
              bus.LastError());
        pushFailing = true;
      }
    }
  }
  Log("reports: %llu taken, %llu answered, %llu answers not delivered", taken, answered, undelivered);
  return 0;
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

int Run(DWORD pollMs, bool echo) {
  std::string path = simmouse::StatePathFromEnvironment();
  if (path.empty()) {
    Log("ORVANE_SIMMOUSE does not name the mouse's state file");
    return 2;
  }
  FirmwareHandler firmware(path);
  ReportHandler handler = echo ? ReportHandler(Echo) : ReportHandler(std::ref(firmware));
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
  Log("serving %s%s", path.c_str(), echo ? " (echoing reports)" : "");
  Server server{stop, handler};
  HANDLE serving = CreateThread(nullptr, 0, Serve, &server, 0, nullptr);
  if (!serving) Log("the reports are not served (error %lu)", GetLastError());
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

  // Reports stop before the mouse goes: nothing is answered for a mouse
  // that is being unplugged.
  if (serving) {
    if (WaitForSingleObject(serving, 5000) != WAIT_OBJECT_0) Log("the serving thread did not stop within 5 s");
    CloseHandle(serving);
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
  InitializeCriticalSection(&g_logLock);
  DWORD pollMs = 20;
  bool echo = false;
  for (int i = 1; i < argc; ++i) {
    if (std::wcscmp(argv[i], L"--echo") == 0) echo = true;
    if (std::wcscmp(argv[i], L"--stop") == 0) return Stop();
    if (std::wcscmp(argv[i], L"--list") == 0) return List();
    if (std::wcscmp(argv[i], L"--poll-ms") == 0 && i + 1 < argc)
      pollMs = static_cast<DWORD>(std::wcstoul(argv[++i], nullptr, 10));
  }
  return Run(pollMs, echo);
}
