#include "device/HidBackends.h"

#ifdef ORVANE_SIMULATED_DEVICES
#include "kestrel/KestrelDfu.h"
#include "simmouse/SimMouse.h"
#endif

IHidBackend& SelectHidBackend() {
  static std::unique_ptr<IHidBackend> backend = []() -> std::unique_ptr<IHidBackend> {
#ifdef ORVANE_SIMULATED_DEVICES
    std::string statePath = simmouse::StatePathFromEnvironment();
#ifdef _WIN32
    // The real machine's devices unless the simulated mouse is asked for by name.
    if (statePath.empty()) return CreateSetupApiBackend();
#endif
    // The Kestrel flow's waits run at the simulated mouse's pace.
    static ScaledKestrelTime simulatedTime(simmouse::TimeScale());
    if (simmouse::TimeScale() > 0.0 && simmouse::TimeScale() != 1.0) SetKestrelTime(&simulatedTime);
    return std::unique_ptr<IHidBackend>(new SimulatedHidBackend(statePath));
#else
    // The shipped program: only the machine's own devices.
    return CreateSetupApiBackend();
#endif
  }();
  return *backend;
}
