// The transport of the native builds: the simulated mouse in this process.
// A channel belongs to the device it was opened on; once the mouse's
// interfaces change (unplugged, re-enumerated) it is gone, as a HID handle is.
#include <chrono>
#include <deque>
#include <thread>

#include "simmouse/Firmware.h"
#include "simmouse/SimMouse.h"
#include "standins/MouseLink.h"

namespace standins {

namespace {

using simmouse::proto::Report;

// One mouse, so one firmware, whichever library or thread talks to it.
simmouse::Firmware& TheFirmware() {
  static simmouse::Firmware firmware;
  return firmware;
}

bool Shows(const simmouse::MouseState& s, uint16_t vid, uint16_t pid) {
  uint16_t v = 0, p = 0;
  return simmouse::CurrentIdentity(s, &v, &p) && v == vid && p == pid;
}

class MemoryTransport : public Transport {
 public:
  bool Present(uint16_t vid, uint16_t pid) override { return Shows(m_store.Load(), vid, pid); }

  bool Open(uint16_t vid, uint16_t pid) override {
    Close();
    simmouse::MouseState s = m_store.Load();
    if (!Shows(s, vid, pid)) return false;
    m_open = true;
    m_vid = vid;
    m_pid = pid;
    m_generation = s.generation;
    return true;
  }

  void Close() override {
    m_open = false;
    m_answers.clear();
  }

  Io Send(const Report& report) override {
    if (Gone()) return Io::Gone;
    std::vector<Report> answers;
    TheFirmware().Handle(m_store, m_vid, m_pid, report, &answers);
    m_answers.insert(m_answers.end(), answers.begin(), answers.end());
    return Io::Ok;
  }

  Io Receive(Report* report, uint32_t timeoutMs) override {
    if (!m_answers.empty()) {
      *report = m_answers.front();
      m_answers.pop_front();
      return Io::Ok;
    }
    if (Gone()) return Io::Gone;
    // The mouse answers as it takes a request, so nothing more will come.
    std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
    return Gone() ? Io::Gone : Io::Timeout;
  }

 private:
  bool Gone() const { return !m_open || m_store.Load().generation != m_generation; }

  simmouse::Store m_store;
  bool m_open = false;
  uint16_t m_vid = 0, m_pid = 0;
  uint64_t m_generation = 0;
  std::deque<Report> m_answers;
};

}  // namespace

std::unique_ptr<Transport> MakeTransport() { return std::unique_ptr<Transport>(new MemoryTransport()); }

}  // namespace standins
