#pragma once
// Reports that a library sends from a thread of its own can still arrive after
// their source has ended (an SDK closed, a worker finished). A gate lets them
// through only while it is open, and only those of the session it was opened
// for: a source that outlives its session must not report into the next one.
// A report is handled while holding the gate, so Close() waits for one in
// progress: once it returns, none is acted on.
#include <mutex>

template <class Mutex>
class CReportGate {
 public:
  explicit CReportGate(bool open) : m_bOpen(open) {}
  void Open(unsigned session = 0) {
    std::lock_guard<Mutex> lock(m_lock);
    m_bOpen = true;
    m_session = session;
  }
  void Close() {
    std::lock_guard<Mutex> lock(m_lock);
    m_bOpen = false;
  }
  // Hold the result for the whole handling of one report; owns_lock() is false
  // when the gate is closed, or open for another session, and the report is to be dropped.
  std::unique_lock<Mutex> Enter(unsigned session = 0) {
    std::unique_lock<Mutex> lock(m_lock);
    if (!m_bOpen || session != m_session) lock.unlock();
    return lock;
  }

 private:
  Mutex m_lock;
  bool m_bOpen;             // guarded by m_lock
  unsigned m_session = 0;  // guarded by m_lock
};
