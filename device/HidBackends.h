#pragma once
// Where the window's device list comes from: SetupAPI and the HID class driver.
// The native tests fake IHidBackend; under Wine the simulated mouse reaches this
// backend through the virtual HID bus, as a real mouse would.
#include <functional>
#include <memory>
#include <string>

#include "device/HidDeviceList.h"

// The backend for this process, chosen once.
IHidBackend& SelectHidBackend();

#ifdef _WIN32
std::unique_ptr<IHidBackend> CreateSetupApiBackend();
#endif
