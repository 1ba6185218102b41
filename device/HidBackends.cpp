#include "device/HidBackends.h"

IHidBackend& SelectHidBackend() {
  // Only the machine's own devices, as Windows presents them.
  static std::unique_ptr<IHidBackend> backend = CreateSetupApiBackend();
  return *backend;
}
