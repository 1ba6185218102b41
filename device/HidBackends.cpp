#include "device/HidBackends.h"

#ifdef ORVANE_SIMULATED_DEVICES
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
    return std::unique_ptr<IHidBackend>(new SimulatedHidBackend(statePath));
#else
    // The shipped program: only the machine's own devices.
    return CreateSetupApiBackend();
#endif
  }();
  return *backend;
}
