#pragma once
// How the stand-in vendor libraries reach the mouse: its programming channel
// (the HID interface 02 collection with 64-byte reports) found by its IDs,
// and the report protocol of simmouse/Protocol.h spoken over it. A library
// opens the channel anew after every re-enumeration, as the old handle dies
// with the device it belonged to.
#include <cstdint>
#include <memory>
#include <string>

#include "simmouse/Protocol.h"

namespace standins {

// One open channel to the mouse. Under Windows it is the HID device, found
// through SetupAPI and written and read as a file; natively it is the
// simulated mouse in the same process.
class Transport {
 public:
  enum class Io { Ok, Timeout, Gone };
  virtual ~Transport() = default;
  // Whether a mouse's programming channel shows with these IDs now.
  virtual bool Present(uint16_t vid, uint16_t pid) = 0;
  // Opens it (closing what was open); false when it is not there.
  virtual bool Open(uint16_t vid, uint16_t pid) = 0;
  virtual void Close() = 0;
  // One output report. Gone: the device this channel was opened on is not
  // there any more (unplugged, or re-enumerated).
  virtual Io Send(const simmouse::proto::Report& report) = 0;
  // The next input report, waiting at most `timeoutMs`.
  virtual Io Receive(simmouse::proto::Report* report, uint32_t timeoutMs) = 0;
};

// The platform's transport.
std::unique_ptr<Transport> MakeTransport();

class MouseLink {
 public:
  MouseLink();
  explicit MouseLink(std::unique_ptr<Transport> transport);

  // The mouse's IDs now, in either mode; false when it is not plugged in.
  bool Find(uint16_t* vid, uint16_t* pid);
  // Opens the channel with these IDs and asks the mouse who it is.
  simmouse::TransferResult Open(uint16_t vid, uint16_t pid);
  void Close();
  // What the mouse said when it was opened, or asked again.
  const simmouse::proto::IdentifyAnswer& identity() const { return m_identity; }
  simmouse::TransferResult Identify();

  // The Kestrel chip, through the application: the image goes over and is
  // checked; ApplyKestrel makes it current.
  simmouse::TransferResult ProgramKestrel(const uint8_t* code, uint32_t size, const std::string& version,
                                          const std::string& category, const simmouse::TransferHooks& hooks);
  simmouse::TransferResult ApplyKestrel();

  // The MCU, through its boot loader. EnterBootLoader switches (unless the
  // boot loader runs already) and reopens the channel with the given IDs.
  simmouse::TransferResult EnterBootLoader(uint16_t bootVid, uint16_t bootPid);
  simmouse::TransferResult WriteMcu(const uint8_t* code, uint32_t size, const simmouse::TransferHooks& hooks);
  // The boot loader's byte sum of what it got against the package's.
  simmouse::TransferResult VerifyMcu(uint32_t checksum);
  // Out of the boot loader running the new code, back with the application's IDs.
  simmouse::TransferResult FinishMcu(uint16_t newVersion);
  // Out of the boot loader without new code, when the old code is intact.
  simmouse::TransferResult AbandonMcu();

  // The mouse's time scale: the factor on every simulated delay.
  double timeScale() const { return m_identity.timeScale; }

 private:
  // Sends `request` and waits for its answer (same command and sequence).
  simmouse::TransferResult Exchange(simmouse::proto::Report request, simmouse::proto::Report* answer);
  // Waits for the answer to the request of `command` with `sequence`; a
  // refusal of any request of that command ends the wait as well.
  simmouse::TransferResult Await(uint8_t command, uint8_t sequence, simmouse::proto::Report* answer);
  simmouse::TransferResult Stream(simmouse::proto::Command command, const uint8_t* code, uint32_t size,
                                  const simmouse::TransferHooks& hooks);
  // Waits until a channel with these IDs shows, then opens it.
  simmouse::TransferResult Reappear(uint16_t vid, uint16_t pid);
  uint32_t AnswerTimeoutMs() const;

  std::unique_ptr<Transport> m_transport;
  bool m_open = false;
  uint16_t m_vid = 0, m_pid = 0;
  uint8_t m_sequence = 0;
  simmouse::proto::IdentifyAnswer m_identity;
};

}  // namespace standins
