#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cwctype>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "device/HidBackends.h"
#include "simmouse/SimMouse.h"

#ifdef _WIN32
#include <dbt.h>
#endif

namespace {

// Handles of the simulated interfaces: a tag in the high bits, the index below.
constexpr intptr_t kHandleTag = 0x51000000;

bool SamePath(const std::wstring& a, const wchar_t* b) {
  size_t n = a.size();
  for (size_t i = 0; i < n; ++i) {
    if (!b[i] || std::towupper(a[i]) != std::towupper(b[i])) return false;
  }
  return b[n] == L'\0';
}

}  // namespace

struct SimulatedHidBackend::Watcher {
  std::thread thread;
  std::atomic<bool> stop{false};
};

struct SimulatedHidBackend::Impl {
  explicit Impl(std::string path) : store(std::move(path)) {}
  simmouse::Store store;
  std::mutex lock;
  // What the last open saw, so that a handle's capabilities can be read.
  std::vector<simmouse::HidInterface> opened;
  std::vector<std::unique_ptr<Watcher>> watchers;
  std::vector<std::unique_ptr<std::vector<BYTE>>> records;
};

SimulatedHidBackend::SimulatedHidBackend(std::string statePath) : m_impl(new Impl(std::move(statePath))) {}

SimulatedHidBackend::~SimulatedHidBackend() {
  std::vector<std::unique_ptr<Watcher>> watchers;
  {
    std::lock_guard<std::mutex> l(m_impl->lock);
    watchers.swap(m_impl->watchers);
  }
  for (auto& w : watchers) {
    w->stop = true;
    if (w->thread.joinable()) w->thread.join();
  }
}

void SimulatedHidBackend::EnumerateInterfaces(const GUID&, const std::function<bool(const Interface&)>& sink) {
  for (const simmouse::HidInterface& hi : simmouse::PresentInterfaces(m_impl->store.Load())) {
    Interface i;
    i.path = hi.path;
    i.hardwareIds = hi.hardwareIds;
    i.driverKey = hi.driverKey;
    i.locationInfo = hi.locationInfo;
    i.deviceDesc = hi.deviceDesc;
    if (!sink(i)) return;
  }
}

HANDLE SimulatedHidBackend::OpenForWrite(const wchar_t* path) {
  if (!path) return INVALID_HANDLE_VALUE;
  for (const simmouse::HidInterface& hi : simmouse::PresentInterfaces(m_impl->store.Load())) {
    if (!SamePath(hi.path, path)) continue;
    if (!hi.writable) return INVALID_HANDLE_VALUE;
    std::lock_guard<std::mutex> l(m_impl->lock);
    m_impl->opened.push_back(hi);
    return reinterpret_cast<HANDLE>(kHandleTag + static_cast<intptr_t>(m_impl->opened.size()));
  }
  return INVALID_HANDLE_VALUE;
}

bool SimulatedHidBackend::GetFeatureReportLength(HANDLE device, USHORT* length) {
  intptr_t index = reinterpret_cast<intptr_t>(device) - kHandleTag - 1;
  std::lock_guard<std::mutex> l(m_impl->lock);
  if (index < 0 || static_cast<size_t>(index) >= m_impl->opened.size()) return false;
  *length = m_impl->opened[static_cast<size_t>(index)].featureReportLength;
  return true;
}

void SimulatedHidBackend::Close(HANDLE) {}

HDEVNOTIFY SimulatedHidBackend::Watch(ChangeSink sink, unsigned pollMs) {
  auto watcher = std::make_unique<Watcher>();
  Watcher* w = watcher.get();
  const simmouse::Store* store = &m_impl->store;
  auto paths = [store](uint64_t* generation) {
    simmouse::MouseState state = store->Load();
    *generation = state.generation;
    std::set<std::wstring> out;
    for (const simmouse::HidInterface& hi : simmouse::PresentInterfaces(state)) out.insert(hi.path);
    return out;
  };
  uint64_t generation = 0;
  std::set<std::wstring> present = paths(&generation);
  w->thread = std::thread([w, sink, pollMs, paths, generation, present]() mutable {
    while (!w->stop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
      uint64_t now = 0;
      std::set<std::wstring> next = paths(&now);
      if (now == generation) continue;
      generation = now;
      // Removals first, as a real re-enumeration tears down before it builds up.
      for (const std::wstring& p : present)
        if (!next.count(p) && !w->stop) sink(0x8004, p);
      for (const std::wstring& p : next)
        if (!present.count(p) && !w->stop) sink(0x8000, p);
      present.swap(next);
    }
  });
  std::lock_guard<std::mutex> l(m_impl->lock);
  m_impl->watchers.push_back(std::move(watcher));
  return reinterpret_cast<HDEVNOTIFY>(w);
}

HDEVNOTIFY SimulatedHidBackend::RegisterNotification(HWND window) {
#ifdef _WIN32
  Impl* impl = m_impl.get();
  return Watch([window, impl](unsigned event, const std::wstring& path) {
    // The same record a real WM_DEVICECHANGE carries, name and all.
    auto record = std::make_unique<std::vector<BYTE>>(
        sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) + (path.size() + 1) * sizeof(wchar_t), 0);
    auto* b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(record->data());
    b->dbcc_size = static_cast<DWORD>(record->size());
    b->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    b->dbcc_classguid = reinterpret_cast<const ::GUID&>(kHidInterfaceClass);
    std::copy(path.begin(), path.end(), b->dbcc_name);
    b->dbcc_name[path.size()] = L'\0';
    LPARAM data = reinterpret_cast<LPARAM>(record->data());
    const std::vector<BYTE>* sent = record.get();
    {
      // A message that times out may still be handled later: its record stays
      // valid for the life of the backend.
      std::lock_guard<std::mutex> l(impl->lock);
      impl->records.push_back(std::move(record));
    }
    // With a time-out, so that a window busy tearing the watcher down is never waited for long.
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(window, WM_DEVICECHANGE, event, data, SMTO_NORMAL, 250, &result)) {
      // Handled: nothing reads the record again. Keeping it would grow the
      // process by every plug and unplug for as long as the window is open.
      std::lock_guard<std::mutex> l(impl->lock);
      auto& held = impl->records;
      held.erase(std::remove_if(held.begin(), held.end(), [sent](const auto& r) { return r.get() == sent; }),
                 held.end());
    }
  });
#else
  (void)window;
  return Watch([](unsigned, const std::wstring&) {});
#endif
}

size_t SimulatedHidBackend::HeldRecords() const {
  std::lock_guard<std::mutex> l(m_impl->lock);
  return m_impl->records.size();
}

void SimulatedHidBackend::UnregisterNotification(HDEVNOTIFY notify) {
  std::unique_ptr<Watcher> found;
  {
    std::lock_guard<std::mutex> l(m_impl->lock);
    auto& ws = m_impl->watchers;
    for (auto it = ws.begin(); it != ws.end(); ++it) {
      if (reinterpret_cast<HDEVNOTIFY>(it->get()) == notify) {
        found = std::move(*it);
        ws.erase(it);
        break;
      }
    }
  }
  if (!found) return;
  found->stop = true;
  if (found->thread.joinable()) found->thread.join();
}
