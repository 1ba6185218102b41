#pragma once
// Programming the simulated mouse's two chips: the transfers take the time a
// full-speed HID link needs, move the mouse through its named states and let
// the injected faults strike where they are placed.
#include <cstdint>
#include <functional>
#include <string>

#include "simmouse/SimMouse.h"

namespace simmouse {

// A re-enumerating device is gone from the bus for about this long.
constexpr double kReenumerateMs = 100.0;
// Checking the written code.
constexpr double kVerifyMs = 30.0;

enum class TransferResult {
  Done,
  NoDevice,      // not plugged in, or not with the identity asked for
  Unplugged,     // the cable was pulled during the transfer
  Disconnected,  // the link dropped during the transfer
  Silent,        // the device stopped answering
  Refused,       // the device refused the image; nothing was written
  VerifyFailed,  // the written image did not verify
  Cancelled,     // the host gave up
  StoreError,    // the state file could not be written
};
const char* TransferResultName(TransferResult result);

struct TransferHooks {
  // Each new whole percentage of the transfer, 0 to 100, on the caller's thread.
  std::function<void(int percent)> progress;
  // Polled between reports; true stops the transfer.
  std::function<bool()> cancelled;
};

// The Kestrel chip, programmed through the application interface: the mouse
// must be in application mode. On Done the new image is stored but not yet
// running; ApplyKestrel makes it current.
TransferResult ProgramKestrel(Store& store, uint32_t imageBytes, const TransferHooks& hooks);
bool ApplyKestrel(Store& store, const std::string& version, const std::string& category);

// The MCU, programmed through its boot loader. One object is one session.
class McuProgrammer {
 public:
  explicit McuProgrammer(Store& store) : m_store(store) {}

  // The identity the mouse shows now; false when it is not plugged in.
  bool Identity(uint16_t* vid, uint16_t* pid) const;
  // Switches to the boot loader (unless it runs already) and waits for it to
  // arrive with the given IDs.
  TransferResult EnterBootLoader(uint16_t bootVid, uint16_t bootPid);
  // Writes the code, 64 bytes a report. Faults of the MCU stage strike here
  // (a verification fault only at Verify).
  TransferResult Write(const uint8_t* data, uint32_t size, const TransferHooks& hooks);
  // The boot loader's checksum of the written code against the host's.
  TransferResult Verify(uint32_t expectedChecksum);
  // Leaves the boot loader running the new code.
  TransferResult Finish(uint16_t newVersion);
  // Leaves the boot loader without new code: back to the application when
  // the old code is intact, else the boot loader stays.
  TransferResult Abandon();

  // The boot loader's checksum: the byte sum of the code, 32 bits.
  static uint32_t Checksum(const uint8_t* data, uint32_t size);

 private:
  Store& m_store;
  uint32_t m_checksum = 0;
  bool m_written = false;
  bool m_failVerify = false;
};

}  // namespace simmouse
