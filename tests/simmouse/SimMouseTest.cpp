#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "simmouse/SimMouse.h"
#include "tests/simmouse/SimTestEnv.h"

using namespace simmouse;

namespace {

std::vector<std::wstring> SplitMulti(const std::wstring& multi) {
  std::vector<std::wstring> out;
  size_t start = 0;
  while (start < multi.size() && multi[start] != L'\0') {
    size_t end = multi.find(L'\0', start);
    out.push_back(multi.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

MouseState Sample() {
  MouseState s;
  s.state = DeviceState::Writing;
  s.stage = Stage::Mcu;
  s.generation = 42;
  s.kestrelVersion = "1.2.0";
  s.kestrelCategory = "keyboard";
  s.mcuVersion = 0xA10F;
  s.mcuValid = false;
  s.bootLoaderRevision = 0x0203;
  s.progress = 37;
  s.kestrelBytesWritten = 123456789012ull;
  s.mcuBytesWritten = 4096;
  s.kestrelUpdates = 3;
  s.mcuUpdates = 7;
  s.faults.push_back({FaultKind::Unplug, Stage::Mcu, 40, 1});
  s.faults.push_back({FaultKind::Silent, Stage::None, 0, 0});
  s.faults.push_back({FaultKind::Disconnect, Stage::Kestrel, 75, 3});
  return s;
}

// The text form holds every field, so equal texts mean equal states.
void ExpectSame(const MouseState& a, const MouseState& b) { EXPECT_EQ(SerializeState(a), SerializeState(b)); }

}  // namespace

TEST(SimMouseStateText, RoundTripsEveryField) {
  MouseState s = Sample();
  ExpectSame(ParseState(SerializeState(s)), s);
}

TEST(SimMouseStateText, IgnoresMalformedValuesAndKeepsDefaults) {
  MouseState s = ParseState(
      "state=exploded\r\nmcu.version=12345\nmcu.version=zz\ngeneration=-3\nprogress=101\n"
      "fault=unplug moon 40 1\nfault=melt mcu 1 1\nno equals sign\nkestrel.version=2.0.0\r\n");
  MouseState d;
  EXPECT_EQ(s.state, d.state);
  EXPECT_EQ(s.mcuVersion, d.mcuVersion);
  EXPECT_EQ(s.generation, d.generation);
  EXPECT_EQ(s.progress, d.progress);
  EXPECT_TRUE(s.faults.empty());
  EXPECT_EQ(s.kestrelVersion, "2.0.0");  // the CR of a CRLF line is not part of the value
}

TEST(SimMouseStore, MissingFileIsANewMouseInApplicationMode) {
  simtest::SimEnv env;
  Store store;
  EXPECT_EQ(store.path(), env.path());
  MouseState s = store.Load();
  EXPECT_EQ(s.state, DeviceState::Application);
  EXPECT_EQ(s.mcuVersion, 0x0101);
  EXPECT_EQ(s.kestrelVersion, "1.1.0");
  EXPECT_EQ(s.kestrelCategory, "mouse");
}

TEST(SimMouseStore, SavedStateIsWhatAnotherStoreLoads) {
  simtest::SimEnv env;
  Store writer(env.path()), reader(env.path());
  MouseState s = Sample();
  ASSERT_TRUE(writer.Save(s));
  MouseState loaded = reader.Load();
  // Other interfaces than before: the generation moved on from the saved one.
  EXPECT_EQ(loaded.generation, s.generation + 1);
  s.generation = loaded.generation;
  ExpectSame(loaded, s);
}

TEST(SimMouseStore, ConcurrentUpdatesFromSeveralThreadsAreNotLost) {
  simtest::SimEnv env;
  const int kThreads = 4, kEach = 25;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&] {
      Store mine(env.path());  // one store each, as separate processes would have
      for (int i = 0; i < kEach; ++i) EXPECT_TRUE(AddFault(mine, Fault{}));
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(Store(env.path()).Load().faults.size(), static_cast<size_t>(kThreads * kEach));
}

struct GenerationCase {
  const char* name;
  std::function<bool(Store&)> action;
  bool bumps;
};

TEST(SimMouseGeneration, MovesExactlyWhenThePresentInterfacesChange) {
  simtest::SimEnv env;
  const GenerationCase cases[] = {
      {"unplug", Unplug, true},
      {"unplug again", Unplug, false},
      {"plug", Plug, true},
      {"plug again", Plug, false},
      {"add fault", [](Store& s) { return AddFault(s, Fault{}); }, false},
      {"clear faults", ClearFaults, false},
      {"into boot loader", [](Store& s) { return s.Update([](MouseState& m) { m.state = DeviceState::BootLoader; }); },
       true},
      {"back to application",
       [](Store& s) { return s.Update([](MouseState& m) { m.state = DeviceState::Application; }); }, true},
      {"progress only", [](Store& s) { return s.Update([](MouseState& m) { m.progress = 50; }); }, false},
      {"new MCU revision", [](Store& s) { return s.Update([](MouseState& m) { m.mcuVersion = 0x0102; }); }, true},
      {"Kestrel version", [](Store& s) { return s.Update([](MouseState& m) { m.kestrelVersion = "9.9.9"; }); },
       false},
      {"reset to 0101", [](Store& s) { return Reset(s, 0x0101, "1.1.0"); }, true},
  };
  Store store;
  for (const GenerationCase& c : cases) {
    uint64_t before = store.Generation();
    ASSERT_TRUE(c.action(store)) << c.name;
    EXPECT_EQ(store.Generation() != before, c.bumps) << c.name;
  }
}

TEST(SimMousePlug, AfterAnInterruptedMcuWriteTheMouseComesUpInItsBootLoader) {
  simtest::SimEnv env;
  Store store;
  ASSERT_TRUE(store.Update([](MouseState& s) {
    s.state = DeviceState::Writing;
    s.stage = Stage::Mcu;
  }));
  ASSERT_TRUE(Unplug(store));
  EXPECT_FALSE(store.Load().mcuValid);
  ASSERT_TRUE(Plug(store));
  EXPECT_EQ(store.Load().state, DeviceState::BootLoader);
}

TEST(SimMouseInterfaces, ApplicationModeShowsFourInterfacesOfWhichOneIsTheProgrammingChannel) {
  MouseState s;
  std::vector<HidInterface> list = PresentInterfaces(s);
  ASSERT_EQ(list.size(), 4u);
  int accepted = 0;
  for (const HidInterface& i : list) {
    if (i.writable && (i.featureReportLength == 64 || i.featureReportLength == 65 || i.featureReportLength == 0))
      ++accepted;
  }
  EXPECT_EQ(accepted, 1);
  const HidInterface& vendor = list[3];
  EXPECT_EQ(vendor.path,
            L"\\\\?\\hid#vid_7c3e&pid_5d1a&mi_02#7&1a2b3c4d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}");
  EXPECT_EQ(vendor.featureReportLength, 65);
  EXPECT_TRUE(vendor.writable);
  std::vector<std::wstring> ids = SplitMulti(vendor.hardwareIds);
  ASSERT_GE(ids.size(), 2u);
  EXPECT_EQ(ids[0], L"HID\\VID_7C3E&PID_5D1A&REV_0101&MI_02");
  EXPECT_EQ(ids[1], L"HID\\VID_7C3E&PID_5D1A&MI_02");
  // A multi-string ends in two terminators.
  ASSERT_GE(vendor.hardwareIds.size(), 2u);
  EXPECT_EQ(vendor.hardwareIds.substr(vendor.hardwareIds.size() - 2), std::wstring(2, L'\0'));

  // The other collection of interface 02 comes first and has the 8-byte feature report.
  EXPECT_NE(list[2].path.find(L"mi_02&col02"), std::wstring::npos);
  EXPECT_EQ(list[2].featureReportLength, 8);
  EXPECT_FALSE(list[0].writable);
  EXPECT_FALSE(list[1].writable);
}

struct IdentityCase {
  DeviceState state;
  Stage stage;
  const wchar_t* pidText;  // null: no interfaces
  const wchar_t* firstId;  // of the MI_02 interface
};

TEST(SimMouseInterfaces, IdentityFollowsTheState) {
  const IdentityCase cases[] = {
      {DeviceState::Unplugged, Stage::None, nullptr, nullptr},
      {DeviceState::Application, Stage::None, L"pid_5d1a", L"HID\\VID_7C3E&PID_5D1A&REV_0101&MI_02"},
      {DeviceState::BootLoader, Stage::None, L"pid_5e1a", L"HID\\VID_7C3E&PID_5E1A&REV_0001&MI_02"},
      {DeviceState::Writing, Stage::Mcu, L"pid_5e1a", L"HID\\VID_7C3E&PID_5E1A&REV_0001&MI_02"},
      {DeviceState::Verifying, Stage::Mcu, L"pid_5e1a", L"HID\\VID_7C3E&PID_5E1A&REV_0001&MI_02"},
      {DeviceState::Writing, Stage::Kestrel, L"pid_5d1a", L"HID\\VID_7C3E&PID_5D1A&REV_0101&MI_02"},
  };
  for (const IdentityCase& c : cases) {
    MouseState s;
    s.state = c.state;
    s.stage = c.stage;
    std::vector<HidInterface> list = PresentInterfaces(s);
    uint16_t vid = 0, pid = 0;
    bool present = CurrentIdentity(s, &vid, &pid);
    if (!c.pidText) {
      EXPECT_TRUE(list.empty());
      EXPECT_FALSE(present);
      continue;
    }
    ASSERT_EQ(list.size(), 4u) << StateName(c.state);
    EXPECT_TRUE(present);
    for (const HidInterface& i : list) EXPECT_NE(i.path.find(c.pidText), std::wstring::npos) << StateName(c.state);
    EXPECT_EQ(SplitMulti(list[3].hardwareIds)[0], c.firstId) << StateName(c.state);
  }
}

TEST(SimMouseEnvironment, TimeScaleComesFromTheEnvironmentAndFallsBackToOne) {
  const struct {
    const char* text;
    double scale;
  } cases[] = {{"", 1.0}, {"0.1", 0.1}, {"0", 0.0}, {"2", 2.0}, {"abc", 1.0}, {"-1", 1.0}, {"1e9", 1.0}};
  for (const auto& c : cases) {
    simtest::SetEnv("ORVANE_SIMMOUSE_TIMESCALE", c.text);
    EXPECT_DOUBLE_EQ(TimeScale(), c.scale) << c.text;
  }
  simtest::SetEnv("ORVANE_SIMMOUSE_TIMESCALE", "");
}

#ifdef _WIN32
TEST(SimMouseEnvironment, AUnixPathIsReachedThroughDriveZ) {
  simtest::SetEnv("ORVANE_SIMMOUSE", "/tmp/run/mouse.state");
  EXPECT_EQ(StatePathFromEnvironment(), "Z:\\tmp\\run\\mouse.state");
  simtest::SetEnv("ORVANE_SIMMOUSE", "C:\\x\\mouse.state");
  EXPECT_EQ(StatePathFromEnvironment(), "C:\\x\\mouse.state");

  // Under Wine the Unix root is drive Z:, so the file is really there.
  std::string unixPath = FormatTextA("/tmp/orvane_simmouse_wine_%ld.state", simtest::ProcessId());
  simtest::SetEnv("ORVANE_SIMMOUSE", unixPath);
  Store store;
  ASSERT_TRUE(Unplug(store));
  EXPECT_EQ(Store(store.path()).Load().state, DeviceState::Unplugged);
  std::remove(store.path().c_str());
  simtest::SetEnv("ORVANE_SIMMOUSE", "");
}
#else
// The command-line tool is another process working on the same file.
class SimMouseCli : public testing::Test {
 protected:
  int Run(const std::string& args) {
    std::string cmd = std::string(SIMMOUSE_CLI) + " " + args + " >/dev/null 2>&1";
    int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  }
  simtest::SimEnv env;
};

TEST_F(SimMouseCli, ChangesMadeByTheToolAreSeenHereAndTheOtherWayRound) {
  Store store;
  ASSERT_EQ(Run("unplug"), 0);
  EXPECT_EQ(store.Load().state, DeviceState::Unplugged);
  ASSERT_EQ(Run("plug"), 0);
  EXPECT_EQ(store.Load().state, DeviceState::Application);
  ASSERT_EQ(Run("reset --mcu 0A0B --kestrel 2.0.1"), 0);
  EXPECT_EQ(store.Load().mcuVersion, 0x0A0B);
  EXPECT_EQ(store.Load().kestrelVersion, "2.0.1");

  ASSERT_TRUE(Unplug(store));
  ASSERT_EQ(Run("plug"), 0);  // the tool starts from what this process wrote
  EXPECT_EQ(store.Load().state, DeviceState::Application);
}

TEST_F(SimMouseCli, FaultsAreRecordedWithStagePercentAndCount) {
  Store store;
  ASSERT_EQ(Run("fault unplug mcu 40"), 0);
  ASSERT_EQ(Run("fault silent"), 0);
  ASSERT_EQ(Run("fault disconnect kestrel 75 --times 0"), 0);
  MouseState s = store.Load();
  ASSERT_EQ(s.faults.size(), 3u);
  EXPECT_EQ(s.faults[0].kind, FaultKind::Unplug);
  EXPECT_EQ(s.faults[0].stage, Stage::Mcu);
  EXPECT_EQ(s.faults[0].percent, 40);
  EXPECT_EQ(s.faults[0].remaining, 1);
  EXPECT_EQ(s.faults[1].stage, Stage::None);
  EXPECT_EQ(s.faults[2].remaining, 0);
  ASSERT_EQ(Run("clear-faults"), 0);
  EXPECT_TRUE(store.Load().faults.empty());
}

TEST_F(SimMouseCli, RejectsWhatItDoesNotUnderstandWithoutTouchingTheFile) {
  Store store;
  ASSERT_EQ(Run("unplug"), 0);
  uint64_t generation = store.Generation();
  for (const char* bad : {"", "frobnicate", "fault melt", "fault unplug mcu 140", "reset --mcu 12345",
                          "reset --mcu", "plug extra"})
    EXPECT_EQ(Run(bad), 2) << bad;
  EXPECT_EQ(store.Generation(), generation);
  EXPECT_EQ(store.Load().state, DeviceState::Unplugged);
}

#endif
