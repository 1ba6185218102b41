#include "simmouse/SimMouse.h"

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <thread>

#include "app/Format.h"
#include "simmouse/StateFile.h"

namespace simmouse {

namespace {

struct Named {
  const char* name;
  int value;
};

const Named kStates[] = {{"unplugged", static_cast<int>(DeviceState::Unplugged)},
                         {"application", static_cast<int>(DeviceState::Application)},
                         {"bootloader", static_cast<int>(DeviceState::BootLoader)},
                         {"writing", static_cast<int>(DeviceState::Writing)},
                         {"verifying", static_cast<int>(DeviceState::Verifying)}};
const Named kStages[] = {{"none", static_cast<int>(Stage::None)},
                         {"kestrel", static_cast<int>(Stage::Kestrel)},
                         {"mcu", static_cast<int>(Stage::Mcu)}};
const Named kFaults[] = {{"unplug", static_cast<int>(FaultKind::Unplug)},
                         {"silent", static_cast<int>(FaultKind::Silent)},
                         {"refuse", static_cast<int>(FaultKind::Refuse)},
                         {"verify", static_cast<int>(FaultKind::Verify)},
                         {"disconnect", static_cast<int>(FaultKind::Disconnect)}};

template <size_t N>
const char* NameOf(const Named (&table)[N], int value) {
  for (const Named& n : table)
    if (n.value == value) return n.name;
  return "?";
}

template <size_t N>
bool ValueOf(const Named (&table)[N], const std::string& text, int* value) {
  for (const Named& n : table)
    if (text == n.name) {
      *value = n.value;
      return true;
    }
  return false;
}

bool ParseUnsigned(const std::string& text, int base, uint64_t max, uint64_t* out) {
  if (text.empty()) return false;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text.c_str(), &end, base);
  if (*end != '\0' || v > max || text[0] == '-') return false;
  *out = v;
  return true;
}

// The process's own mouse when no state file is named. The lock also keeps
// threads of one process from interleaving their read-modify-write on a file.
std::mutex g_storeMutex;
MouseState g_memoryState;

// Two states show the same interfaces exactly when these agree.
std::vector<std::wstring> InterfaceSignature(const MouseState& s) {
  std::vector<std::wstring> sig;
  for (const HidInterface& i : PresentInterfaces(s)) sig.push_back(i.path + L"|" + i.hardwareIds);
  return sig;
}

}  // namespace

const char* StateName(DeviceState state) { return NameOf(kStates, static_cast<int>(state)); }
bool ParseStateName(const std::string& text, DeviceState* state) {
  int v;
  if (!ValueOf(kStates, text, &v)) return false;
  *state = static_cast<DeviceState>(v);
  return true;
}
const char* StageName(Stage stage) { return NameOf(kStages, static_cast<int>(stage)); }
bool ParseStageName(const std::string& text, Stage* stage) {
  int v;
  if (!ValueOf(kStages, text, &v)) return false;
  *stage = static_cast<Stage>(v);
  return true;
}
const char* FaultName(FaultKind kind) { return NameOf(kFaults, static_cast<int>(kind)); }
bool ParseFaultName(const std::string& text, FaultKind* kind) {
  int v;
  if (!ValueOf(kFaults, text, &v)) return false;
  *kind = static_cast<FaultKind>(v);
  return true;
}

std::string SerializeState(const MouseState& s) {
  std::string out;
  out += FormatTextA("state=%s\n", StateName(s.state));
  out += FormatTextA("stage=%s\n", StageName(s.stage));
  out += FormatTextA("generation=%llu\n", static_cast<unsigned long long>(s.generation));
  out += FormatTextA("kestrel.version=%s\n", s.kestrelVersion.c_str());
  out += FormatTextA("kestrel.category=%s\n", s.kestrelCategory.c_str());
  out += FormatTextA("mcu.version=%04X\n", s.mcuVersion);
  out += FormatTextA("mcu.valid=%d\n", s.mcuValid ? 1 : 0);
  out += FormatTextA("bootloader.revision=%04X\n", s.bootLoaderRevision);
  out += FormatTextA("progress=%d\n", s.progress);
  out += FormatTextA("kestrel.bytes_written=%llu\n", static_cast<unsigned long long>(s.kestrelBytesWritten));
  out += FormatTextA("mcu.bytes_written=%llu\n", static_cast<unsigned long long>(s.mcuBytesWritten));
  out += FormatTextA("kestrel.updates=%u\n", s.kestrelUpdates);
  out += FormatTextA("mcu.updates=%u\n", s.mcuUpdates);
  out += FormatTextA("reports.received=%llu\n", static_cast<unsigned long long>(s.reportsReceived));
  out += FormatTextA("reports.sent=%llu\n", static_cast<unsigned long long>(s.reportsSent));
  out += FormatTextA("scenario=%s\n", s.scenario.c_str());
  for (const Fault& f : s.faults)
    out += FormatTextA("fault=%s %s %d %d\n", FaultName(f.kind), StageName(f.stage), f.percent, f.remaining);
  return out;
}

MouseState ParseState(const std::string& text) {
  MouseState s;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    uint64_t n = 0;
    if (key == "state") {
      ParseStateName(value, &s.state);
    } else if (key == "stage") {
      ParseStageName(value, &s.stage);
    } else if (key == "generation") {
      if (ParseUnsigned(value, 10, UINT64_MAX, &n)) s.generation = n;
    } else if (key == "kestrel.version") {
      s.kestrelVersion = value;
    } else if (key == "kestrel.category") {
      s.kestrelCategory = value;
    } else if (key == "mcu.version") {
      if (ParseUnsigned(value, 16, 0xFFFF, &n)) s.mcuVersion = static_cast<uint16_t>(n);
    } else if (key == "mcu.valid") {
      s.mcuValid = value != "0";
    } else if (key == "bootloader.revision") {
      if (ParseUnsigned(value, 16, 0xFFFF, &n)) s.bootLoaderRevision = static_cast<uint16_t>(n);
    } else if (key == "progress") {
      if (ParseUnsigned(value, 10, 100, &n)) s.progress = static_cast<int>(n);
    } else if (key == "kestrel.bytes_written") {
      if (ParseUnsigned(value, 10, UINT64_MAX, &n)) s.kestrelBytesWritten = n;
    } else if (key == "mcu.bytes_written") {
      if (ParseUnsigned(value, 10, UINT64_MAX, &n)) s.mcuBytesWritten = n;
    } else if (key == "kestrel.updates") {
      if (ParseUnsigned(value, 10, UINT32_MAX, &n)) s.kestrelUpdates = static_cast<uint32_t>(n);
    } else if (key == "mcu.updates") {
      if (ParseUnsigned(value, 10, UINT32_MAX, &n)) s.mcuUpdates = static_cast<uint32_t>(n);
    } else if (key == "reports.received") {
      if (ParseUnsigned(value, 10, UINT64_MAX, &n)) s.reportsReceived = n;
    } else if (key == "reports.sent") {
      if (ParseUnsigned(value, 10, UINT64_MAX, &n)) s.reportsSent = n;
    } else if (key == "scenario") {
      if (IsScenarioName(value)) s.scenario = value;
    } else if (key == "fault") {
      std::istringstream parts(value);
      std::string kind, stage, percent, remaining;
      parts >> kind >> stage >> percent >> remaining;
      Fault f;
      uint64_t p = 0, r = 0;
      if (ParseFaultName(kind, &f.kind) && ParseStageName(stage, &f.stage) && ParseUnsigned(percent, 10, 100, &p) &&
          ParseUnsigned(remaining, 10, 1000000, &r)) {
        f.percent = static_cast<int>(p);
        f.remaining = static_cast<int>(r);
        s.faults.push_back(f);
      }
    }
  }
  return s;
}

bool CurrentIdentity(const MouseState& s, uint16_t* vid, uint16_t* pid) {
  if (s.state == DeviceState::Unplugged) return false;
  // While the MCU is programmed its boot loader answers; the Kestrel chip is
  // programmed through the application.
  bool boot = s.state == DeviceState::BootLoader ||
              ((s.state == DeviceState::Writing || s.state == DeviceState::Verifying) && s.stage == Stage::Mcu);
  *vid = kVendorId;
  *pid = boot ? kBootProductId : kAppProductId;
  return true;
}

std::vector<HidInterface> PresentInterfaces(const MouseState& s) {
  std::vector<HidInterface> list;
  uint16_t vid, pid;
  if (!CurrentIdentity(s, &vid, &pid)) return list;
  uint16_t rev = pid == kBootProductId ? s.bootLoaderRevision : s.mcuVersion;
  // Device instances differ between the two identities, as Windows gives a
  // re-enumerated device with another product ID a new instance.
  bool boot = pid == kBootProductId;
  const wchar_t* guid = L"{4d1e55b2-f16f-11cf-88cb-001111000030}";

  struct Layout {
    const wchar_t* mi;      // interface part of the path, lower case as Windows writes it
    const wchar_t* miIds;   // the same in the hardware IDs
    const wchar_t* appInstance;
    const wchar_t* bootInstance;
    const wchar_t* serial;  // last part of the instance
    const wchar_t* extraIds;
    const wchar_t* desc;
    unsigned driverIndex;
    uint16_t featureLength;
    bool writable;
  };
  // The system opens mice and keyboards exclusively, so those interfaces do
  // not open for writing; the vendor interface has two collections, of which
  // only the 65-byte one is the programming channel.
  const Layout layout[] = {
      {L"mi_00", L"MI_00", L"3f4e5d6c", L"4a5b6c7d", L"0000", L"HID_DEVICE_SYSTEM_MOUSE|HID_DEVICE_UP:0001_U:0002|HID_DEVICE",
       L"HID-compliant mouse", 10, 0, false},
      {L"mi_01", L"MI_01", L"2e3d4c5b", L"5b6c7d8e", L"0000", L"HID_DEVICE_SYSTEM_KEYBOARD|HID_DEVICE_UP:0001_U:0006|HID_DEVICE",
       L"HID Keyboard Device", 11, 0, false},
      {L"mi_02&col02", L"MI_02&Col02", L"1a2b3c4d", L"2b3c4d5e", L"0001", L"HID_DEVICE_UP:FF01_U:0002|HID_DEVICE",
       L"HID-compliant vendor-defined device", 12, 8, true},
      {L"mi_02", L"MI_02", L"1a2b3c4d", L"2b3c4d5e", L"0000", L"HID_DEVICE_UP:FF00_U:0001|HID_DEVICE", L"HID-compliant vendor-defined device",
       13, kVendorFeatureLength, true},
  };
  for (const Layout& l : layout) {
    HidInterface i;
    i.path = FormatText(L"\\\\?\\hid#vid_%04x&pid_%04x&%ls#7&%ls&0&%ls#%ls", vid, pid, l.mi,
                        boot ? l.bootInstance : l.appInstance, l.serial, guid);
    i.hardwareIds = FormatText(L"HID\\VID_%04X&PID_%04X&REV_%04X&%ls", vid, pid, rev, l.miIds);
    i.hardwareIds.push_back(L'\0');
    i.hardwareIds += FormatText(L"HID\\VID_%04X&PID_%04X&%ls", vid, pid, l.miIds);
    i.hardwareIds.push_back(L'\0');
    for (const wchar_t* p = l.extraIds; *p; ++p) i.hardwareIds.push_back(*p == L'|' ? L'\0' : *p);
    i.hardwareIds.push_back(L'\0');
    i.hardwareIds.push_back(L'\0');
    i.driverKey = FormatText(L"{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\%04u", l.driverIndex);
    i.deviceDesc = l.desc;
    i.featureReportLength = l.featureLength;
    i.writable = l.writable;
    list.push_back(i);
  }
  return list;
}

std::string StatePathFromEnvironment() {
  std::string path = detail::GetEnvironment("ORVANE_SIMMOUSE");
#ifdef _WIN32
  // Wine shows the Unix root as drive Z:, so a test script can hand the same
  // path to the native tool and to a program under Wine.
  if (!path.empty() && path[0] == '/') {
    std::string win = "Z:";
    for (char c : path) win.push_back(c == '/' ? '\\' : c);
    path = win;
  }
#endif
  return path;
}

double TimeScale() {
  std::string text = detail::GetEnvironment("ORVANE_SIMMOUSE_TIMESCALE");
  if (text.empty()) return 1.0;
  char* end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (end == text.c_str() || !(v >= 0.0) || v > 100.0) return 1.0;
  return v;
}

void SimSleep(double ms) {
  double scaled = ms * TimeScale();
  if (scaled <= 0) return;
  std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int64_t>(scaled * 1000.0)));
}

Store::Store() : m_path(StatePathFromEnvironment()) {}
Store::Store(std::string path) : m_path(std::move(path)) {}

MouseState Store::Load() const {
  if (m_path.empty()) {
    std::lock_guard<std::mutex> lock(g_storeMutex);
    return g_memoryState;
  }
  std::string text;
  if (!detail::ReadWholeFile(m_path, &text)) return MouseState();
  return ParseState(text);
}

bool Store::Update(const std::function<void(MouseState&)>& change, MouseState* after) {
  std::lock_guard<std::mutex> lock(g_storeMutex);
  if (m_path.empty()) {
    auto before = InterfaceSignature(g_memoryState);
    change(g_memoryState);
    if (InterfaceSignature(g_memoryState) != before) ++g_memoryState.generation;
    if (after) *after = g_memoryState;
    return true;
  }
  detail::FileLock fileLock(m_path);
  if (!fileLock.held()) return false;
  std::string text;
  MouseState s = detail::ReadWholeFile(m_path, &text) ? ParseState(text) : MouseState();
  auto before = InterfaceSignature(s);
  change(s);
  if (InterfaceSignature(s) != before) ++s.generation;
  if (after) *after = s;
  return detail::WriteFileAtomically(m_path, SerializeState(s));
}

bool Store::Save(const MouseState& state) {
  return Update([&](MouseState& s) {
    uint64_t generation = s.generation;
    s = state;
    // The counter never goes back, whatever the caller brings.
    if (s.generation < generation) s.generation = generation;
  });
}

bool Plug(Store& store) {
  return store.Update([](MouseState& s) {
    if (s.state != DeviceState::Unplugged) return;
    s.state = s.mcuValid ? DeviceState::Application : DeviceState::BootLoader;
    s.stage = Stage::None;
    s.progress = 0;
  });
}

bool Unplug(Store& store) {
  return store.Update([](MouseState& s) {
    // Pulled in the middle of an MCU write, the MCU is left half written.
    if ((s.state == DeviceState::Writing || s.state == DeviceState::Verifying) && s.stage == Stage::Mcu)
      s.mcuValid = false;
    s.state = DeviceState::Unplugged;
    s.stage = Stage::None;
  });
}

bool Reset(Store& store, uint16_t mcuVersion, const std::string& kestrelVersion) {
  return store.Update([&](MouseState& s) {
    MouseState fresh;
    fresh.generation = s.generation;
    fresh.mcuVersion = mcuVersion;
    fresh.kestrelVersion = kestrelVersion;
    s = fresh;
  });
}

bool AddFault(Store& store, const Fault& fault) {
  return store.Update([&](MouseState& s) { s.faults.push_back(fault); });
}

bool ClearFaults(Store& store) {
  return store.Update([](MouseState& s) {
    s.faults.clear();
    s.scenario = "none";
  });
}

bool SetScenario(Store& store, const std::string& name) {
  if (!IsScenarioName(name)) return false;
  return store.Update([&](MouseState& s) { s.scenario = name; });
}

}  // namespace simmouse
