#include "simmouse/Firmware.h"

#include <thread>

namespace simmouse {

namespace {

using namespace proto;

// How often a running transfer writes its progress to the store and looks
// for a cable pulled by someone else (the command-line tool): after this
// long, or after this many percent, whichever comes first.
constexpr auto kSyncInterval = std::chrono::milliseconds(50);
constexpr int kSyncPercent = 5;
// Larger than any image of either chip.
constexpr uint32_t kMaxTransferBytes = 16u << 20;

bool StageMatches(const Fault& f, Stage stage) { return f.stage == Stage::None || f.stage == stage; }

// Takes the first fault placed on `stage`, counting it down; false when none is.
bool TakeFault(MouseState& s, Stage stage, Fault* taken) {
  for (size_t i = 0; i < s.faults.size(); ++i) {
    if (!StageMatches(s.faults[i], stage)) continue;
    *taken = s.faults[i];
    if (s.faults[i].remaining > 0 && --s.faults[i].remaining == 0) s.faults.erase(s.faults.begin() + i);
    return true;
  }
  return false;
}

// Where a failed transfer leaves the mouse. The Kestrel chip keeps its old
// image until a new one is applied, so only the MCU can be left half written.
void LeaveAfterFault(MouseState& s, Stage stage, FaultKind kind) {
  s.stage = Stage::None;
  if (kind == FaultKind::Unplug) {
    s.state = DeviceState::Unplugged;
    if (stage == Stage::Mcu) s.mcuValid = false;
    return;
  }
  if (stage == Stage::Kestrel) {
    s.state = DeviceState::Application;
  } else {
    s.mcuValid = false;
    s.state = DeviceState::BootLoader;
  }
}

int PercentOf(uint32_t done, uint32_t size) {
  return size == 0 ? 100 : static_cast<int>(static_cast<uint64_t>(done) * 100 / size);
}

}  // namespace

bool Firmware::Update(Store& store, const std::function<void(MouseState&)>& change, MouseState* after) {
  uint64_t bytes = m_t.unsynced, received = m_received, sent = m_sent;
  Stage stage = m_t.stage;
  bool ok = store.Update(
      [&](MouseState& s) {
        if (stage == Stage::Kestrel) s.kestrelBytesWritten += bytes;
        if (stage == Stage::Mcu) s.mcuBytesWritten += bytes;
        s.reportsReceived += received;
        s.reportsSent += sent;
        change(s);
      },
      after);
  if (ok) {
    m_t.unsynced = 0;
    m_received = m_sent = 0;
  }
  return ok;
}

void Firmware::Handle(Store& store, uint16_t vid, uint16_t pid, const Report& request, std::vector<Report>* answers) {
  std::lock_guard<std::mutex> lock(m_mutex);
  const size_t before = answers->size();
  ++m_received;
  const uint8_t command = request[kCommandAt];
  const bool data = command == kKestrelData || command == kMcuData;
  if (m_silent && command != kIdentify) return;
  // Within a transfer the mouse knows where it is; the store is read at its
  // sync points only, as a report a millisecond cannot wait for a file.
  MouseState now;
  if (!(data && m_t.active && m_t.vid == vid && m_t.pid == pid)) {
    now = store.Load();
    uint16_t v = 0, p = 0;
    if (!CurrentIdentity(now, &v, &p) || v != vid || p != pid) return;  // not the mouse any more
  }
  const bool boot = pid == kBootProductId;
  auto answer = [&](Status status, uint32_t argument = 0) { answers->push_back(Answer(request, status, argument)); };

  switch (command) {
    case kIdentify: {
      m_silent = false;
      IdentifyAnswer a;
      a.mode = boot ? kBootLoader : kApplication;
      a.mcuVersion = boot ? now.bootLoaderRevision : now.mcuVersion;
      if (!boot) {
        a.kestrelVersion = now.kestrelVersion;
        a.kestrelCategory = now.kestrelCategory;
      }
      a.scenario = now.scenario;
      a.timeScale = TimeScale();
      answers->push_back(EncodeIdentify(request, a));
      break;
    }
    case kKestrelBegin:
    case kMcuBegin:
      if (boot != (command == kMcuBegin)) {
        answer(kWrongMode);
        break;
      }
      Begin(store, vid, pid, request, answers);
      break;
    case kKestrelData:
    case kMcuData:
      if (!m_t.active || m_t.vid != vid || m_t.pid != pid ||
          m_t.stage != (command == kMcuData ? Stage::Mcu : Stage::Kestrel)) {
        answer(kOutOfOrder);
        break;
      }
      Data(store, request, answers);
      break;
    case kKestrelEnd:
      if (!m_t.active || m_t.stage != Stage::Kestrel || m_t.vid != vid) {
        answer(boot ? kWrongMode : kOutOfOrder);
        break;
      }
      KestrelEnd(store, request, answers);
      break;
    case kKestrelApply: {
      if (boot) {
        answer(kWrongMode);
        break;
      }
      bool applied = false;
      if (m_imagePending)
        Update(store, [&](MouseState& s) {
          if (s.state != DeviceState::Application) return;
          s.kestrelVersion = m_pendingVersion;
          s.kestrelCategory = m_pendingCategory;
          ++s.kestrelUpdates;
          applied = true;
        });
      m_imagePending = false;
      answer(applied ? kOk : kOutOfOrder);
      break;
    }
    case kKestrelAbort:
      if (m_t.active && m_t.stage == Stage::Kestrel) {
        m_t.active = false;
        Update(store, [](MouseState& s) {
          if (s.state == DeviceState::Unplugged) return;
          s.state = DeviceState::Application;
          s.stage = Stage::None;
        });
      }
      break;
    case kMcuEnterBoot:
      if (boot) break;  // already there
      m_t = Transfer();
      m_mcuWritten = m_mcuFailVerify = m_mcuVerified = false;
      // The application resets into the boot loader, which enumerates anew.
      SimSleep(kReenumerateMs);
      // A Kestrel transfer under way ends with the reset.
      Update(store, [](MouseState& s) {
        if (s.state != DeviceState::Application && !(s.state == DeviceState::Writing && s.stage == Stage::Kestrel))
          return;
        s.state = DeviceState::BootLoader;
        s.stage = Stage::None;
      });
      break;
    case kMcuVerify:
      if (!boot || !m_t.active || m_t.stage != Stage::Mcu) {
        answer(boot ? kOutOfOrder : kWrongMode);
        break;
      }
      McuVerify(store, request, answers);
      break;
    case kMcuFinish:
      if (!boot || !m_mcuVerified) {
        answer(boot ? kOutOfOrder : kWrongMode);
        break;
      }
      m_mcuVerified = m_mcuWritten = false;
      SimSleep(kReenumerateMs);
      Update(store, [&](MouseState& s) {
        if (s.state != DeviceState::Verifying || s.stage != Stage::Mcu) return;
        s.state = DeviceState::Application;
        s.stage = Stage::None;
        s.mcuVersion = static_cast<uint16_t>(Argument(request));
        s.mcuValid = true;
        s.progress = 100;
        ++s.mcuUpdates;
      });
      break;
    case kMcuAbandon:
      if (!boot) break;
      m_t.active = false;
      Update(store, [&](MouseState& s) {
        if (s.state == DeviceState::Unplugged) return;
        if (m_mcuWritten) s.mcuValid = false;
        s.state = s.mcuValid ? DeviceState::Application : DeviceState::BootLoader;
        s.stage = Stage::None;
      });
      m_mcuWritten = m_mcuVerified = false;
      break;
    default:
      answer(kBadRequest);
      break;
  }
  m_sent += answers->size() - before;
}

void Firmware::Begin(Store& store, uint16_t vid, uint16_t pid, const Report& request, std::vector<Report>* answers) {
  const bool boot = pid == kBootProductId;
  const uint32_t size = Argument(request);
  Transfer t;
  t.stage = boot ? Stage::Mcu : Stage::Kestrel;
  if (size == 0 || size > kMaxTransferBytes ||
      (!boot && !GetVersionAndCategory(request, &t.version, &t.category))) {
    answers->push_back(Answer(request, kBadRequest));
    return;
  }
  m_t.active = false;
  if (!boot) m_imagePending = false;
  bool ready = false;
  if (!Update(store, [&](MouseState& s) {
        // A transfer of the same chip still under way is one its host
        // abandoned (it gave up waiting, or went away): a new begin drops it.
        ready = s.state == (boot ? DeviceState::BootLoader : DeviceState::Application) ||
                (s.state == DeviceState::Writing && s.stage == t.stage);
        if (!ready) return;
        t.hasFault = TakeFault(s, t.stage, &t.fault);
        if (t.hasFault && t.fault.kind == FaultKind::Refuse) return;
        s.state = DeviceState::Writing;
        s.stage = t.stage;
        s.progress = 0;
      })) {
    answers->push_back(Answer(request, kLinkLost));
    return;
  }
  if (!ready) {
    answers->push_back(Answer(request, kOutOfOrder));
    return;
  }
  if (t.hasFault && t.fault.kind == FaultKind::Refuse) {
    answers->push_back(Answer(request, kRefused));
    return;
  }
  t.vid = vid;
  t.pid = pid;
  t.size = size;
  t.active = true;
  t.start = t.lastSync = std::chrono::steady_clock::now();
  m_t = t;
  if (boot) {
    m_mcuWritten = true;
    m_mcuVerified = false;
    m_mcuFailVerify = t.hasFault && t.fault.kind == FaultKind::Verify;
  }
  if (Strike(store, 0, request, answers)) return;
  answers->push_back(Answer(request, kOk));
}

bool Firmware::Strike(Store& store, int percent, const Report& request, std::vector<Report>* answers) {
  if (!m_t.hasFault) return false;
  const FaultKind kind = m_t.fault.kind;
  if (kind == FaultKind::Verify || kind == FaultKind::Refuse || percent < m_t.fault.percent) return false;
  const Stage stage = m_t.stage;
  m_t.hasFault = false;
  Update(store, [&](MouseState& s) { LeaveAfterFault(s, stage, kind); });
  m_t.active = false;
  if (kind == FaultKind::Disconnect) answers->push_back(Answer(request, kLinkLost, m_t.received));
  if (kind == FaultKind::Silent) m_silent = true;
  // Unplugged, the mouse says nothing more.
  return true;
}

void Firmware::Data(Store& store, const Report& request, std::vector<Report>* answers) {
  const size_t n = DataLength(request);
  if (Argument(request) != m_t.received || n == 0 || n > m_t.size - m_t.received) {
    answers->push_back(Answer(request, kOutOfOrder, m_t.received));
    return;
  }
  if (Strike(store, PercentOf(m_t.received, m_t.size), request, answers)) return;
  if (m_t.stage == Stage::Mcu)
    for (size_t i = 0; i < n; ++i) m_t.checksum += request[kDataAt + i];
  m_t.received += static_cast<uint32_t>(n);
  m_t.unsynced += n;
  ++m_t.reports;
  // The link takes a millisecond a report.
  const double scale = TimeScale();
  if (scale > 0)
    std::this_thread::sleep_until(m_t.start + std::chrono::microseconds(static_cast<int64_t>(m_t.reports * 1000.0 * scale)));
  const int percent = PercentOf(m_t.received, m_t.size);
  auto clock = std::chrono::steady_clock::now();
  if (clock - m_t.lastSync >= kSyncInterval || percent - m_t.lastSyncPercent >= kSyncPercent) {
    m_t.lastSync = clock;
    m_t.lastSyncPercent = percent;
    MouseState after;
    if (!Update(store, [&](MouseState& s) {
          if (s.state != DeviceState::Unplugged) s.progress = percent;
        }, &after) ||
        after.state == DeviceState::Unplugged) {
      // Pulled by someone else: Unplug has marked a half-written MCU.
      m_t.active = false;
      return;
    }
  }
  if (request[kFlagsAt] & kFlagAnswer) answers->push_back(Answer(request, kOk, m_t.received));
}

void Firmware::KestrelEnd(Store& store, const Report& request, std::vector<Report>* answers) {
  if (m_t.received != m_t.size) {
    answers->push_back(Answer(request, kOutOfOrder, m_t.received));
    return;
  }
  if (Strike(store, 100, request, answers)) return;
  m_t.active = false;
  Update(store, [](MouseState& s) {
    if (s.state != DeviceState::Unplugged) s.state = DeviceState::Verifying;
  });
  SimSleep(kVerifyMs);
  bool pulled = false;
  Update(store, [&](MouseState& s) {
    pulled = s.state == DeviceState::Unplugged;
    if (pulled) return;
    s.state = DeviceState::Application;
    s.stage = Stage::None;
    s.progress = 100;
  });
  if (pulled) return;
  if (m_t.hasFault && m_t.fault.kind == FaultKind::Verify) {
    answers->push_back(Answer(request, kVerifyFailed));
    return;
  }
  m_imagePending = true;
  m_pendingVersion = m_t.version;
  m_pendingCategory = m_t.category;
  answers->push_back(Answer(request, kOk));
}

void Firmware::McuVerify(Store& store, const Report& request, std::vector<Report>* answers) {
  if (Strike(store, 100, request, answers)) return;
  m_t.active = false;
  bool present = false;
  Update(store, [&](MouseState& s) {
    present = s.state == DeviceState::Writing && s.stage == Stage::Mcu;
    if (present) s.state = DeviceState::Verifying;
  });
  if (!present) return;
  SimSleep(kVerifyMs);
  // A verification fault stands for flash that did not take the data.
  const bool ok = !m_mcuFailVerify && m_t.received == m_t.size && m_t.checksum == Argument(request);
  bool pulled = false;
  Update(store, [&](MouseState& s) {
    pulled = s.state == DeviceState::Unplugged;
    if (pulled) return;
    if (ok) {
      s.progress = 100;
      return;
    }
    s.state = DeviceState::BootLoader;
    s.stage = Stage::None;
    s.mcuValid = false;
  });
  if (pulled) return;
  m_mcuVerified = ok;
  answers->push_back(Answer(request, ok ? kOk : kVerifyFailed));
}

}  // namespace simmouse
