#pragma once
// A scripted Kestrel SDK on a fake clock. Events are scheduled relative to an
// SDK call and delivered on the caller's thread while the flow sleeps or
// waits, so every wait of the flow runs in no real time and in a fixed order.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "app/Platform.h"
#include "kestrel/KestrelDfu.h"

#ifndef _WIN32
#include <unistd.h>
#endif

inline SdkEventRecord MakeEvent(int32_t status, int32_t msgID = 0, const char* msg = "", double value1 = 0,
                                double value2 = 0) {
  SdkEventRecord r;
  std::memset(&r, 0, sizeof(r));
  r.status = status;
  r.msgID = msgID;
  r.value1 = value1;
  r.value2 = value2;
  std::strncpy(r.msg, msg, sizeof(r.msg) - 1);
  return r;
}

class FakeKestrelSdk : public IKestrelTime {
 public:
  struct Call {
    std::string name;
    int64_t at;
    int32_t handle;  // -1 where the call takes none
    std::string text;
    int32_t arg;
  };

  // ---- script
  int32_t binInfoResult = 0;
  std::string binVersion = "2.0.1";
  std::string binCategory = "mouse";
  int32_t initResult = 0;
  int32_t handleResult = 0x70003;  // the flow must use only the low 16 bits
  // Events to deliver `offset` ms after the named call; offset 0: inside the call.
  // They come through the event callback of the session initialised last
  // before that call, as an SDK that goes on reporting after its close would.
  void After(const std::string& call, int64_t offset, const SdkEventRecord& event) {
    m_reactions[call].push_back({offset, event});
  }
  // A new script for the next attempt; events already scheduled still come.
  void NewScript() { m_reactions.clear(); }

  // ---- record
  std::vector<Call> calls;
  std::vector<uint32_t> sleeps;
  std::vector<SdkInitParams> inits;
  int64_t now = 5000000;

  std::vector<std::string> CallNames() const {
    std::vector<std::string> names;
    for (const Call& c : calls) names.push_back(c.name);
    return names;
  }
  const Call* Find(const std::string& name) const {
    for (const Call& c : calls)
      if (c.name == name) return &c;
    return nullptr;
  }

  // ---- IKestrelTime
  int64_t NowMs() override { return now; }
  void SleepMs(uint32_t ms) override {
    sleeps.push_back(ms);
    const int64_t until = now + ms;
    DeliverUntil(until);
    now = until;
  }
  void WaitForEvent(uint32_t seen, int64_t deadline) override {
    ++waits;
    if (KestrelEventSequence() != seen) return;
    if (!m_pending.empty() && m_pending.begin()->first <= deadline) {
      DeliverOne();
      return;
    }
    if (deadline > now) now = deadline;
  }
  int waits = 0;

  // ---- the SDK entry points
  int32_t OnCall(const std::string& name, int32_t handle = -1, const std::string& text = std::string(),
                 int32_t arg = 0) {
    calls.push_back({name, now, handle, text, arg});
    auto it = m_reactions.find(name);
    SdkEventCallback session = inits.empty() ? nullptr : inits.back().event;
    if (it != m_reactions.end() && session) {
      for (const auto& r : it->second) {
        if (r.first == 0) {
          session(r.second);
        } else {
          m_pending.insert({now + r.first, {session, r.second}});
        }
      }
    }
    return 0;
  }

  static KestrelSdkApi Table();
  static FakeKestrelSdk* current;

 private:
  void DeliverOne() {
    auto it = m_pending.begin();
    if (it->first > now) now = it->first;
    const auto event = it->second;
    m_pending.erase(it);
    event.first(event.second);
  }
  void DeliverUntil(int64_t until) {
    while (!m_pending.empty() && m_pending.begin()->first <= until) DeliverOne();
  }

  std::map<std::string, std::vector<std::pair<int64_t, SdkEventRecord>>> m_reactions;
  std::multimap<int64_t, std::pair<SdkEventCallback, SdkEventRecord>> m_pending;
};

inline FakeKestrelSdk* FakeKestrelSdk::current = nullptr;

namespace fake_kestrel {
inline int32_t VENDOR_CALL GetBin(const char* path, DfuBinInfo* info) {
  FakeKestrelSdk& f = *FakeKestrelSdk::current;
  f.OnCall("GetDfuDeviceBinInfoEx", -1, path);
  if (f.binInfoResult != 0) return f.binInfoResult;
  std::memcpy(info->version, f.binVersion.data(), std::min(f.binVersion.size(), sizeof(info->version)));
  std::memcpy(info->product_category, f.binCategory.data(),
              std::min(f.binCategory.size(), sizeof(info->product_category)));
  return 0;
}
inline int32_t VENDOR_CALL Init(SdkInitParams p) {
  FakeKestrelSdk::current->inits.push_back(p);
  FakeKestrelSdk::current->OnCall("InitializeKestrelSDKEx");
  return FakeKestrelSdk::current->initResult;
}
inline int32_t VENDOR_CALL Handle(SdkInitParams) {
  FakeKestrelSdk::current->OnCall("GetDeviceHandleEx");
  return FakeKestrelSdk::current->handleResult;
}
inline int32_t VENDOR_CALL Target(uint16_t h, int32_t t) {
  return FakeKestrelSdk::current->OnCall("SetTargetDeviceEx", h, "", t);
}
inline int32_t VENDOR_CALL Request(uint16_t h) { return FakeKestrelSdk::current->OnCall("RequestDFUInfoEx", h); }
inline int32_t VENDOR_CALL Path(uint16_t h, const char* path) {
  return FakeKestrelSdk::current->OnCall("SetDfuDeviceFilepathEx", h, path);
}
inline int32_t VENDOR_CALL Start(uint16_t h) { return FakeKestrelSdk::current->OnCall("StartDataTransferEx", h); }
inline int32_t VENDOR_CALL Apply(uint16_t h, int32_t a) {
  return FakeKestrelSdk::current->OnCall("ApplyNewFirmwareEx", h, "", a);
}
inline int32_t VENDOR_CALL Close() { return FakeKestrelSdk::current->OnCall("closeKestrelSDK"); }
}  // namespace fake_kestrel

inline KestrelSdkApi FakeKestrelSdk::Table() {
  using namespace fake_kestrel;
  return KestrelSdkApi{GetBin, Init, Handle, Target, Request, Path, Start, Apply, Close};
}

// A file name of this process alone: other builds may run the same tests at once.
inline std::string TempImagePath(const char* name) {
#ifdef _WIN32
  const unsigned long pid = GetCurrentProcessId();
#else
  const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
  return (std::filesystem::temp_directory_path() / (std::to_string(pid) + "_" + name)).string();
}

// The session ResetKestrelWords opened.
inline unsigned g_testSession = 0;
// An event of that session, as its SDK would send it.
inline void SendEvent(const SdkEventRecord& event) { DfuSessionCallback(g_testSession)(event); }

// Puts the process-wide words back to how a fresh process has them.
// Also opens an attempt, so that events sent with SendEvent count.
inline void ResetKestrelWords() {
  g_testSession = OpenDfuAttempt();
  g_dfu_flag = -1;
  g_bDFU = false;
  g_bEventSeen = false;
  g_device_handle = 0;
  g_pfnProgress = nullptr;
  device = KestrelDeviceInfo();
  usb_mcu_version.clear();
}
