#include "device/HidBackends.h"

#include "simmouse/SimMouse.h"

IHidBackend& SelectHidBackend() {
  static std::unique_ptr<IHidBackend> backend = [] {
    std::string statePath = simmouse::StatePathFromEnvironment();
#ifdef _WIN32
    // The real machine's devices unless the simulated mouse is asked for by name.
    if (statePath.empty()) return CreateSetupApiBackend();
#endif
    return std::unique_ptr<IHidBackend>(new SimulatedHidBackend(statePath));
  }();
  return *backend;
}
