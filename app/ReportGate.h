#pragma once
// Reports that a library sends from a thread of its own can still arrive after
// their source has ended (an SDK closed, a worker finished). A gate lets them
// through only while it is open. A report is handled while holding the gate,
// so Close() waits for one in progress: once it returns, none is acted on.
#include <mutex>

template <class Mutex>
class CReportGate {
 public:
  explicit CReportGate(bool open) : m_bOpen(open) {}
  void Open() { Set(true); }
  void Close() { Set(false); }
  // Hold the result for the whole handling of one report; owns_lock() is false
  // when the gate is closed and the report is to be dropped.
  std::unique_lock<Mutex> Enter() {
    std::unique_lock<Mutex> lock(m_lock);
    if (!m_bOpen) lock.unlock();
    return lock;
  }

 private:
  void Set(bool open) {
    std::lock_guard<Mutex> lock(m_lock);
    m_bOpen = open;
  }
  Mutex m_lock;
  bool m_bOpen;  // guarded by m_lock
};
