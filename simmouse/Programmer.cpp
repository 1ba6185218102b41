#include "simmouse/Programmer.h"

#include <chrono>
#include <thread>

namespace simmouse {

namespace {

// How often a running transfer writes its progress and looks for a cable
// pulled by someone else (the command-line tool): after this long, or after
// this many percent, whichever comes first.
constexpr auto kSyncInterval = std::chrono::milliseconds(50);
constexpr int kSyncPercent = 5;

bool StageMatches(const Fault& f, Stage stage) { return f.stage == Stage::None || f.stage == stage; }

// Takes the first fault placed on `stage`, counting it down; returns false
// when none is placed.
bool TakeFault(MouseState& s, Stage stage, Fault* taken) {
  for (size_t i = 0; i < s.faults.size(); ++i) {
    if (!StageMatches(s.faults[i], stage)) continue;
    *taken = s.faults[i];
    if (s.faults[i].remaining > 0 && --s.faults[i].remaining == 0) s.faults.erase(s.faults.begin() + i);
    return true;
  }
  return false;
}

void AddBytes(MouseState& s, Stage stage, uint64_t bytes) {
  if (stage == Stage::Kestrel)
    s.kestrelBytesWritten += bytes;
  else
    s.mcuBytesWritten += bytes;
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

TransferResult ResultOf(FaultKind kind) {
  switch (kind) {
    case FaultKind::Unplug: return TransferResult::Unplugged;
    case FaultKind::Disconnect: return TransferResult::Disconnected;
    case FaultKind::Silent: return TransferResult::Silent;
    case FaultKind::Refuse: return TransferResult::Refused;
    case FaultKind::Verify: return TransferResult::VerifyFailed;
  }
  return TransferResult::Refused;
}

// Sends `size` bytes in reports one simulated millisecond apart. `fault`
// (Unplug, Disconnect or Silent) strikes when the transfer reaches its percent.
TransferResult RunTransfer(Store& store, Stage stage, const uint8_t* data, uint32_t size, const Fault* fault,
                           const TransferHooks& hooks, uint32_t* checksum) {
  const uint32_t reports = (size + kReportBytes - 1) / kReportBytes;
  const double scale = TimeScale();
  const auto start = std::chrono::steady_clock::now();
  auto lastSync = start;
  int lastSyncPercent = 0;
  uint64_t unsynced = 0;
  int lastPercent = -1;

  auto flush = [&](int percent, bool* pulled) {
    MouseState after;
    bool ok = store.Update(
        [&](MouseState& s) {
          AddBytes(s, stage, unsynced);
          if (s.state == DeviceState::Unplugged) return;
          s.progress = percent;
        },
        &after);
    unsynced = 0;
    *pulled = after.state == DeviceState::Unplugged;
    return ok;
  };

  for (uint32_t r = 0; r <= reports; ++r) {
    int percent = reports == 0 ? 100 : static_cast<int>(static_cast<uint64_t>(r) * 100 / reports);
    if (percent != lastPercent) {
      if (fault && percent >= fault->percent && fault->kind != FaultKind::Verify &&
          fault->kind != FaultKind::Refuse) {
        Fault f = *fault;
        store.Update([&](MouseState& s) {
          AddBytes(s, stage, unsynced);
          LeaveAfterFault(s, stage, f.kind);
        });
        return ResultOf(f.kind);
      }
      lastPercent = percent;
      if (hooks.progress) hooks.progress(percent);
    }
    if (r == reports) break;
    if (hooks.cancelled && hooks.cancelled()) {
      bool pulled = false;
      flush(percent, &pulled);
      return TransferResult::Cancelled;
    }
    uint32_t offset = r * kReportBytes;
    uint32_t n = size - offset < kReportBytes ? size - offset : kReportBytes;
    if (data && checksum) *checksum += McuProgrammer::Checksum(data + offset, n);
    unsynced += n;
    if (scale > 0) {
      std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<int64_t>((r + 1) * 1000.0 * scale)));
    }
    auto now = std::chrono::steady_clock::now();
    if (now - lastSync >= kSyncInterval || percent - lastSyncPercent >= kSyncPercent) {
      lastSync = now;
      lastSyncPercent = percent;
      bool pulled = false;
      if (!flush(percent, &pulled)) return TransferResult::StoreError;
      if (pulled) return TransferResult::Unplugged;  // Unplug() has already marked a half-written MCU
    }
  }
  bool pulled = false;
  if (!flush(100, &pulled)) return TransferResult::StoreError;
  return pulled ? TransferResult::Unplugged : TransferResult::Done;
}

}  // namespace

const char* TransferResultName(TransferResult result) {
  switch (result) {
    case TransferResult::Done: return "done";
    case TransferResult::NoDevice: return "no device";
    case TransferResult::Unplugged: return "unplugged";
    case TransferResult::Disconnected: return "disconnected";
    case TransferResult::Silent: return "silent";
    case TransferResult::Refused: return "refused";
    case TransferResult::VerifyFailed: return "verify failed";
    case TransferResult::Cancelled: return "cancelled";
    case TransferResult::StoreError: return "state file error";
  }
  return "?";
}

TransferResult ProgramKestrel(Store& store, uint32_t imageBytes, const TransferHooks& hooks) {
  bool present = false, hasFault = false;
  Fault fault;
  if (!store.Update([&](MouseState& s) {
        present = s.state == DeviceState::Application;
        if (!present) return;
        hasFault = TakeFault(s, Stage::Kestrel, &fault);
        if (hasFault && fault.kind == FaultKind::Refuse) return;
        s.state = DeviceState::Writing;
        s.stage = Stage::Kestrel;
        s.progress = 0;
      }))
    return TransferResult::StoreError;
  if (!present) return TransferResult::NoDevice;
  if (hasFault && fault.kind == FaultKind::Refuse) return TransferResult::Refused;

  TransferResult r = RunTransfer(store, Stage::Kestrel, nullptr, imageBytes, hasFault ? &fault : nullptr, hooks,
                                 nullptr);
  if (r != TransferResult::Done) {
    if (r == TransferResult::Cancelled)
      store.Update([](MouseState& s) {
        if (s.state != DeviceState::Unplugged) s.state = DeviceState::Application;
        s.stage = Stage::None;
      });
    return r;
  }

  store.Update([](MouseState& s) {
    if (s.state != DeviceState::Unplugged) s.state = DeviceState::Verifying;
  });
  SimSleep(kVerifyMs);
  bool pulled = false;
  store.Update([&](MouseState& s) {
    pulled = s.state == DeviceState::Unplugged;
    if (pulled) return;
    s.state = DeviceState::Application;
    s.stage = Stage::None;
  });
  if (pulled) return TransferResult::Unplugged;
  if (hasFault && fault.kind == FaultKind::Verify) return TransferResult::VerifyFailed;
  return TransferResult::Done;
}

bool ApplyKestrel(Store& store, const std::string& version, const std::string& category) {
  bool applied = false;
  store.Update([&](MouseState& s) {
    if (s.state != DeviceState::Application) return;
    s.kestrelVersion = version;
    s.kestrelCategory = category;
    ++s.kestrelUpdates;
    applied = true;
  });
  return applied;
}

bool McuProgrammer::Identity(uint16_t* vid, uint16_t* pid) const { return CurrentIdentity(m_store.Load(), vid, pid); }

TransferResult McuProgrammer::EnterBootLoader(uint16_t bootVid, uint16_t bootPid) {
  bool present = false, switched = false;
  if (!m_store.Update([&](MouseState& s) {
        present = s.state == DeviceState::Application || s.state == DeviceState::BootLoader;
        if (s.state == DeviceState::Application) {
          s.state = DeviceState::BootLoader;
          switched = true;
        }
      }))
    return TransferResult::StoreError;
  if (!present) return TransferResult::NoDevice;
  if (switched) SimSleep(kReenumerateMs);
  uint16_t vid = 0, pid = 0;
  MouseState s = m_store.Load();
  if (!CurrentIdentity(s, &vid, &pid) || s.state != DeviceState::BootLoader) return TransferResult::NoDevice;
  return vid == bootVid && pid == bootPid ? TransferResult::Done : TransferResult::NoDevice;
}

TransferResult McuProgrammer::Write(const uint8_t* data, uint32_t size, const TransferHooks& hooks) {
  bool ready = false, hasFault = false;
  Fault fault;
  if (!m_store.Update([&](MouseState& s) {
        ready = s.state == DeviceState::BootLoader;
        if (!ready) return;
        hasFault = TakeFault(s, Stage::Mcu, &fault);
        if (hasFault && fault.kind == FaultKind::Refuse) return;
        s.state = DeviceState::Writing;
        s.stage = Stage::Mcu;
        s.progress = 0;
      }))
    return TransferResult::StoreError;
  if (!ready) return TransferResult::NoDevice;
  if (hasFault && fault.kind == FaultKind::Refuse) return TransferResult::Refused;
  m_failVerify = hasFault && fault.kind == FaultKind::Verify;
  m_checksum = 0;
  m_written = true;
  TransferResult r = RunTransfer(m_store, Stage::Mcu, data, size, hasFault ? &fault : nullptr, hooks, &m_checksum);
  if (r == TransferResult::Cancelled)
    m_store.Update([](MouseState& s) {
      if (s.state == DeviceState::Unplugged) return;
      s.state = DeviceState::BootLoader;
      s.stage = Stage::None;
      s.mcuValid = false;
    });
  return r;
}

TransferResult McuProgrammer::Verify(uint32_t expectedChecksum) {
  bool present = false;
  m_store.Update([&](MouseState& s) {
    present = s.state == DeviceState::Writing && s.stage == Stage::Mcu;
    if (present) s.state = DeviceState::Verifying;
  });
  if (!present || !m_written) return TransferResult::NoDevice;
  SimSleep(kVerifyMs);
  // A verification fault stands for flash that did not take the data.
  bool ok = !m_failVerify && m_checksum == expectedChecksum;
  bool pulled = false;
  m_store.Update([&](MouseState& s) {
    pulled = s.state == DeviceState::Unplugged;
    if (pulled) return;
    s.state = ok ? DeviceState::Verifying : DeviceState::BootLoader;
    if (!ok) {
      s.stage = Stage::None;
      s.mcuValid = false;
    }
  });
  if (pulled) return TransferResult::Unplugged;
  return ok ? TransferResult::Done : TransferResult::VerifyFailed;
}

TransferResult McuProgrammer::Finish(uint16_t newVersion) {
  bool ready = false;
  m_store.Update([&](MouseState& s) {
    ready = s.state == DeviceState::Verifying && s.stage == Stage::Mcu;
    if (!ready) return;
    s.state = DeviceState::Application;
    s.stage = Stage::None;
    s.mcuVersion = newVersion;
    s.mcuValid = true;
    s.progress = 100;
    ++s.mcuUpdates;
  });
  if (!ready) return TransferResult::NoDevice;
  SimSleep(kReenumerateMs);
  return TransferResult::Done;
}

TransferResult McuProgrammer::Abandon() {
  bool present = false;
  m_store.Update([&](MouseState& s) {
    present = s.state != DeviceState::Unplugged;
    if (!present) return;
    if (m_written) s.mcuValid = false;
    s.state = s.mcuValid ? DeviceState::Application : DeviceState::BootLoader;
    s.stage = Stage::None;
  });
  return present ? TransferResult::Done : TransferResult::NoDevice;
}

uint32_t McuProgrammer::Checksum(const uint8_t* data, uint32_t size) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i < size; ++i) sum += data[i];
  return sum;
}

}  // namespace simmouse
