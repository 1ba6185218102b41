#pragma once
// The simulated mouse: a device model with a Kestrel chip and an MCU, the HID
// interfaces it shows to the host, and its state kept in a small text file so
// that the program under test, the stand-in libraries and the command-line
// tool (possibly in different processes, under Wine or not) see one mouse.
//
// The file is named by the environment variable ORVANE_SIMMOUSE. Without it
// the mouse lives in the memory of the process only.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "simmouse/Protocol.h"

namespace simmouse {

enum class DeviceState { Unplugged, Application, BootLoader, Writing, Verifying };
// Which chip Writing and Verifying are about.
enum class Stage { None, Kestrel, Mcu };

const char* StateName(DeviceState state);
bool ParseStateName(const std::string& text, DeviceState* state);
const char* StageName(Stage stage);
bool ParseStageName(const std::string& text, Stage* stage);

enum class FaultKind {
  Unplug,      // the cable is pulled at `percent` of the stage's transfer
  Silent,      // the device stops answering: no events, no replies
  Refuse,      // the device refuses the image before anything is written
  Verify,      // the written image fails verification
  Disconnect,  // the link drops at `percent`; the mouse stays plugged in
};
const char* FaultName(FaultKind kind);
bool ParseFaultName(const std::string& text, FaultKind* kind);

struct Fault {
  FaultKind kind = FaultKind::Unplug;
  Stage stage = Stage::Mcu;  // None: either stage
  int percent = 0;           // where Unplug and Disconnect strike
  int remaining = 1;         // how many more times it fires; 0: every time
};

struct MouseState {
  DeviceState state = DeviceState::Application;
  Stage stage = Stage::None;
  // Changes whenever the set of present interfaces changes (plug, unplug,
  // application <-> boot loader, new revision), so a watcher can poll it.
  uint64_t generation = 1;
  std::string kestrelVersion = "1.1.0";
  std::string kestrelCategory = "mouse";
  uint16_t mcuVersion = 0x0101;
  // False after an interrupted or failed MCU write: the mouse then comes up
  // in its boot loader until a package rewrites the MCU.
  bool mcuValid = true;
  // The boot loader's own revision, shown while it runs.
  uint16_t bootLoaderRevision = 0x0001;
  int progress = 0;  // percent of the running transfer, for `show`
  // Bytes that reached each chip, ever; tests use them to prove that nothing
  // was written.
  uint64_t kestrelBytesWritten = 0;
  uint64_t mcuBytesWritten = 0;
  // Completed programming runs of each chip.
  uint32_t kestrelUpdates = 0;
  uint32_t mcuUpdates = 0;
  // Reports the mouse took from the host and gave back, ever: what an update
  // costs on the link.
  uint64_t reportsReceived = 0;
  uint64_t reportsSent = 0;
  std::vector<Fault> faults;
  // How the vendor libraries behave, one of ScenarioNames(); "none" is the
  // plain behaviour.
  std::string scenario = "none";
};

// The vendor libraries' behaviours that the mouse carries (ScenarioNames()
// in simmouse/Protocol.h), chosen by name through the state file
// (`simmouse scenario`) and told to the libraries by Identify:
//   all-events      the Kestrel SDK sends every kind of event it has during a
//                   successful transfer: statuses 6 and 7, the 30023/30024
//                   answers, the LEA link rows, unknown statuses and IDs
//   early-N         the SDK reports status N (1, 2, 3, 4, 7, 8) at once when
//                   it is given the image path, before any transfer
//   late-events     the SDK keeps reporting (progress, outcomes) for seconds
//                   after it has been closed
//   late-retry      the first attempt times out (2), and its closed SDK
//                   reports success for 30 s, past the pause and the next
//                   initialisation; the retry hears nothing of its own
//   chatty          the SDK sends progress every second and never finishes
//   updater-thread  the updater library reports from a thread of its own,
//                   repeats values and goes back once

// Text form of the state file (key=value lines) and back. Unknown keys and
// malformed values are ignored; missing keys keep their defaults.
std::string SerializeState(const MouseState& state);
MouseState ParseState(const std::string& text);

// One HID interface as the host sees it.
struct HidInterface {
  std::wstring path;         // \\?\hid#vid_7c3e&pid_5d1a&mi_02#...#{4d1e55b2-...}
  std::wstring hardwareIds;  // multi-string: strings separated by L'\0', ending in two
  std::wstring driverKey, locationInfo, deviceDesc;
  uint16_t featureReportLength = 0;
  bool writable = false;  // opens with GENERIC_WRITE
};

// The USB identity visible now; false while unplugged.
bool CurrentIdentity(const MouseState& state, uint16_t* vid, uint16_t* pid);
// The present interfaces in enumeration order (empty while unplugged).
std::vector<HidInterface> PresentInterfaces(const MouseState& state);

// The state file, or the process's own state when the path is empty.
class Store {
 public:
  // Path from ORVANE_SIMMOUSE.
  Store();
  explicit Store(std::string path);

  const std::string& path() const { return m_path; }
  bool inMemory() const { return m_path.empty(); }

  // A missing or unreadable file reads as a new mouse.
  MouseState Load() const;
  uint64_t Generation() const { return Load().generation; }
  // Read, change and write back under the store's lock. The generation is
  // bumped when the present interfaces differ afterwards. Returns false when
  // the file could not be written; `after` gets the state as written.
  bool Update(const std::function<void(MouseState&)>& change, MouseState* after = nullptr);
  // Replaces the whole state (still bumping the generation as Update does).
  bool Save(const MouseState& state);

 private:
  std::string m_path;
};

// The path named by ORVANE_SIMMOUSE, made usable by this process (under
// Windows a Unix path becomes Z:\...). Empty when unset.
std::string StatePathFromEnvironment();
// ORVANE_SIMMOUSE_TIMESCALE: factor on every simulated delay; 1 when unset.
double TimeScale();
// Sleeps `ms` simulated milliseconds (scaled).
void SimSleep(double ms);

// What the command-line tool does, for tests and scripts alike.
bool Plug(Store& store);
bool Unplug(Store& store);
// Back to a new mouse in application mode with the given versions; the
// generation keeps counting so that watchers notice.
bool Reset(Store& store, uint16_t mcuVersion, const std::string& kestrelVersion);
bool AddFault(Store& store, const Fault& fault);
// Also sets the scenario back to "none".
bool ClearFaults(Store& store);
// False for a name not in ScenarioNames() or when the file cannot be written.
bool SetScenario(Store& store, const std::string& name);

}  // namespace simmouse
