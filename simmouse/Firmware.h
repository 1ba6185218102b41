#pragma once
// The simulated mouse's side of the report protocol (simmouse/Protocol.h):
// what its application and its MCU boot loader do with each request, at the
// pace of a full-speed HID link, with the injected faults striking where
// they are placed. The mouse's state stays in its Store; the transfer under
// way lives here. The virtual mouse's host feeds it the reports that reach
// the HID device; the in-memory transport of the native tests calls it
// directly.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "simmouse/Protocol.h"
#include "simmouse/SimMouse.h"

namespace simmouse {

// A re-enumerating device is gone from the bus for about this long.
constexpr double kReenumerateMs = 100.0;
// Checking the written code.
constexpr double kVerifyMs = 30.0;

class Firmware {
 public:
  // One request that reached the mouse through the interface with these IDs.
  // Its answers, if any, are appended to `answers`. A request to an identity
  // the mouse no longer shows, or while it is silent, gets none. Requests are
  // taken one at a time, in the order they came.
  void Handle(Store& store, uint16_t vid, uint16_t pid, const proto::Report& request,
              std::vector<proto::Report>* answers);

 private:
  struct Transfer {
    bool active = false;
    Stage stage = Stage::None;
    uint16_t vid = 0, pid = 0;
    uint32_t size = 0, received = 0, checksum = 0, reports = 0;
    bool hasFault = false;
    Fault fault;
    std::string version, category;  // of a Kestrel image
    std::chrono::steady_clock::time_point start, lastSync;
    int lastSyncPercent = 0;
    uint64_t unsynced = 0;  // bytes not yet counted in the store
  };

  void Begin(Store& store, uint16_t vid, uint16_t pid, const proto::Report& request, std::vector<proto::Report>* answers);
  void Data(Store& store, const proto::Report& request, std::vector<proto::Report>* answers);
  void KestrelEnd(Store& store, const proto::Report& request, std::vector<proto::Report>* answers);
  void McuVerify(Store& store, const proto::Report& request, std::vector<proto::Report>* answers);
  // A fault of the transfer placed at or below `percent` strikes: true, with
  // the mouse left where the fault leaves it.
  bool Strike(Store& store, int percent, const proto::Report& request, std::vector<proto::Report>* answers);
  // Store::Update that also counts the transfer's bytes and the reports.
  bool Update(Store& store, const std::function<void(MouseState&)>& change, MouseState* after = nullptr);

  std::mutex m_mutex;
  Transfer m_t;
  bool m_silent = false;
  bool m_mcuWritten = false;  // since the boot loader was entered
  bool m_mcuFailVerify = false;
  bool m_mcuVerified = false;
  bool m_imagePending = false;
  std::string m_pendingVersion, m_pendingCategory;
  uint64_t m_received = 0, m_sent = 0;  // reports not yet counted in the store
};

}  // namespace simmouse
