// The stand-in updater library, linked natively, against the simulated mouse.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simmouse/SimMouse.h"
#include "standins/FWUpdaterStandIn.h"
#include "standins/FirmwareFormat.h"
#include "tests/simmouse/SimTestEnv.h"

using namespace simmouse;

namespace {

std::wstring Wide(const std::string& s) { return std::wstring(s.begin(), s.end()); }

const std::string kFirmware = ORVANE_FIRMWARE_DIR;
const std::string kPackage = kFirmware + "/Mouse_TMB.sfw";
const std::string kRecovery = kFirmware + "/Mouse_TMB_recovery.sfw";

// Progress reports and the threads they came on.
std::vector<std::pair<int, int>> g_reports;
std::vector<std::thread::id> g_reportThreads;
void VENDOR_CALL RecordProgress(int status, int value) {
  g_reports.push_back({status, value});
  g_reportThreads.push_back(std::this_thread::get_id());
}

class FWUpdater : public testing::Test {
 protected:
  void SetUp() override {
    g_reports.clear();
    g_reportThreads.clear();
    FWU_UseLinkedTmb();
    Set_Bootloader_ID(0x7C3E, 0x5E1A);
  }
  void TearDown() override { FWU_UseLinkedTmb(); }
  std::string Temp(const std::string& name, const std::vector<uint8_t>& data) { return env.TempFile(name, data); }
  std::string PackageWith(uint16_t vid, uint16_t pid) {
    fwformat::SfwPackage p;
    std::vector<uint8_t> bytes = simtest::ReadBytes(kPackage);
    EXPECT_EQ(fwformat::ParseSfw(bytes.data(), bytes.size(), &p), fwformat::FormatError::None);
    p.vid = vid;
    p.pid = pid;
    return Temp(FormatTextA("ids_%04X_%04X.sfw", vid, pid), fwformat::BuildSfw(p, 77));
  }
  int Update(const std::string& path) { return FWU_Update(Wide(path).c_str(), RecordProgress); }

  simtest::SimEnv env;
  Store store;
};

}  // namespace

TEST_F(FWUpdater, FileInfoReportsThePackagesIdsAndVersions) {
  unsigned short vid = 0, pid = 0;
  unsigned int device = 0, file = 0, r1 = 0, r2 = 0;
  EXPECT_NE(FWU_GetFileInfo(Wide(kPackage).c_str(), &vid, &pid, &device, &file, &r1, &r2), 0);
  EXPECT_EQ(vid, 0x7C3E);
  EXPECT_EQ(pid, 0x5D1A);
  EXPECT_EQ(device, 0x0102u);
  EXPECT_EQ(file, 0x00010002u);
  FWU_GetFileInfo(Wide(kRecovery).c_str(), &vid, &pid, &device, &file, &r1, &r2);
  EXPECT_EQ(pid, 0x5E1A);
}

TEST_F(FWUpdater, FileInfoOfABadPackageGivesVersionZeroAndTheCause) {
  std::vector<uint8_t> bytes = simtest::ReadBytes(kPackage);
  bytes[100] ^= 1;
  std::string bad = Temp("bad.sfw", bytes);
  const struct {
    std::string path;
    int code;
  } cases[] = {{bad, FWU_ERR_INVALID_FILE}, {env.path() + ".none", FWU_ERR_FILE_NOT_EXIST}};
  for (const auto& c : cases) {
    unsigned short vid = 0, pid = 0;
    unsigned int device = 0, file = 0x55, r1 = 0, r2 = 0;
    FWU_GetFileInfo(Wide(c.path).c_str(), &vid, &pid, &device, &file, &r1, &r2);
    EXPECT_EQ(file, 0u) << c.path;
    EXPECT_EQ(device, 0u) << c.path;
    EXPECT_EQ(FWU_Get_FW_ErrorCode(), c.code) << c.path;
  }
}

TEST_F(FWUpdater, AnUpdateRewritesTheMcuAndReportsProgressUpTo100) {
  uint64_t generation = store.Generation();
  ASSERT_NE(Update(kPackage), 0);
  EXPECT_EQ(FWU_Get_FW_ErrorCode(), 0);
  ASSERT_FALSE(g_reports.empty());
  EXPECT_EQ(g_reports.front().second, 0);
  EXPECT_EQ(g_reports.back().second, 100);
  for (size_t i = 0; i < g_reports.size(); ++i) {
    EXPECT_EQ(g_reports[i].first, 7);
    if (i) {
      EXPECT_GT(g_reports[i].second, g_reports[i - 1].second);
    }
  }
  EXPECT_GT(g_reports.size(), 20u);  // the write moves the bar, not just start and end
  MouseState s = store.Load();
  EXPECT_EQ(s.state, DeviceState::Application);
  EXPECT_EQ(s.mcuVersion, 0x0102);
  EXPECT_EQ(s.mcuBytesWritten, 92941u - 40);  // the package less its header and checks
  EXPECT_GE(s.generation, generation + 2);  // left as the application, came back after the boot loader
}

TEST_F(FWUpdater, WorksWithoutAProgressCallback) {
  EXPECT_NE(FWU_Update(Wide(kPackage).c_str(), nullptr), 0);
  EXPECT_EQ(store.Load().mcuVersion, 0x0102);
}

// Failures found before the mouse is touched: code, and nothing written,
// not even the switch into the boot loader.
TEST_F(FWUpdater, EachEarlyFailureHasItsCodeAndLeavesTheMouseAlone) {
  std::vector<uint8_t> good = simtest::ReadBytes(kPackage);
  auto damaged = [&](const char* name, std::function<void(std::vector<uint8_t>&)> f) {
    std::vector<uint8_t> b = good;
    f(b);
    return Temp(name, b);
  };
  const std::string truncated = damaged("trunc.sfw", [](std::vector<uint8_t>& b) { b.resize(b.size() / 2); });
  const std::string magic = damaged("magic.sfw", [](std::vector<uint8_t>& b) { b[0] = 'T'; });
  const std::string format1 = damaged("fmt.sfw", [](std::vector<uint8_t>& b) { b[3] = 1; });
  const std::string payload = damaged("payload.sfw", [](std::vector<uint8_t>& b) { b[b.size() - 100] ^= 0x10; });
  const std::string empty = Temp("empty.sfw", {});
  const std::string wrongVid = PackageWith(0x1234, 0x5D1A);
  const std::string wrongPid = PackageWith(0x7C3E, 0x1111);
  std::string dir = testing::TempDir();
  if (!dir.empty() && dir.back() == '/') dir.pop_back();

  const struct {
    const char* name;
    std::string path;
    std::function<void()> setup;
    int code;
  } cases[] = {
      {"missing file", env.path() + ".missing", nullptr, FWU_ERR_FILE_NOT_EXIST},
      {"empty path", "", nullptr, FWU_ERR_FILE_NOT_EXIST},
      {"a folder", dir, nullptr, FWU_ERR_FILE_OPEN},
      {"empty file", empty, nullptr, FWU_ERR_INVALID_FILE},
      {"truncated", truncated, nullptr, FWU_ERR_INVALID_FILE},
      {"bad magic", magic, nullptr, FWU_ERR_INVALID_FILE},
      {"format 1", format1, nullptr, FWU_ERR_INVALID_FILE},
      {"bad check", payload, nullptr, FWU_ERR_INVALID_FILE},
      {"wrong vendor", wrongVid, nullptr, FWU_ERR_WRONG_VID},
      {"wrong product", wrongPid, nullptr, FWU_ERR_WRONG_PID},
      {"recovery package for a working mouse", kRecovery, nullptr, FWU_ERR_WRONG_PID},
      {"no mouse", kPackage, [&] { Unplug(store); }, FWU_ERR_NO_DEVICE},
      {"no Tmb.dll", kPackage, [] { FWU_SetTmbApi(nullptr); }, FWU_ERR_NO_TMB},
      {"incomplete Tmb.dll",
       kPackage,
       [] {
         TmbApi partial;
         partial.FindDevice = TMB_FindDevice;
         FWU_SetTmbApi(&partial);
       },
       FWU_ERR_NO_TMB},
  };
  for (const auto& c : cases) {
    Reset(store, 0x0101, "1.1.0");
    FWU_UseLinkedTmb();
    if (c.setup) c.setup();
    g_reports.clear();
    MouseState before = store.Load();
    EXPECT_EQ(Update(c.path), 0) << c.name;
    EXPECT_EQ(FWU_Get_FW_ErrorCode(), c.code) << c.name;
    MouseState after = store.Load();
    EXPECT_EQ(after.mcuBytesWritten, 0u) << c.name;
    EXPECT_EQ(after.state, before.state) << c.name;
    EXPECT_EQ(after.generation, before.generation) << c.name;
    EXPECT_TRUE(g_reports.empty()) << c.name;
  }
}

struct DeviceFaultCase {
  FaultKind kind;
  int percent;
  int code;
  DeviceState after;
};

TEST_F(FWUpdater, DeviceFaultsDuringTheWriteGiveTheirCodes) {
  const DeviceFaultCase cases[] = {
      {FaultKind::Unplug, 40, FWU_ERR_WRITE, DeviceState::Unplugged},
      {FaultKind::Disconnect, 70, FWU_ERR_WRITE, DeviceState::BootLoader},
      {FaultKind::Silent, 10, FWU_ERR_HANDSHAKE, DeviceState::BootLoader},
      {FaultKind::Refuse, 0, FWU_ERR_NOT_FOR_DEVICE, DeviceState::Application},
      {FaultKind::Verify, 0, FWU_ERR_VERIFY, DeviceState::BootLoader},
  };
  for (const DeviceFaultCase& c : cases) {
    Reset(store, 0x0101, "1.1.0");
    AddFault(store, Fault{c.kind, Stage::Mcu, c.percent, 1});
    g_reports.clear();
    EXPECT_EQ(Update(kPackage), 0) << FaultName(c.kind);
    EXPECT_EQ(FWU_Get_FW_ErrorCode(), c.code) << FaultName(c.kind);
    MouseState s = store.Load();
    EXPECT_EQ(s.state, c.after) << FaultName(c.kind);
    EXPECT_EQ(s.mcuVersion, 0x0101) << FaultName(c.kind);
    ASSERT_FALSE(g_reports.empty());
    EXPECT_LT(g_reports.back().second, 100) << FaultName(c.kind);
  }
}

TEST_F(FWUpdater, ABootLoaderUnderOtherIdsIsNotFound) {
  // Named wrongly, or not named at all: the library's own default is not this mouse's.
  for (const std::function<void()>& name : {std::function<void()>([] { Set_Bootloader_ID(0x7C3E, 0x9999); }),
                                            std::function<void()>(FWU_ForgetBootloaderId)}) {
    Reset(store, 0x0101, "1.1.0");
    name();
    EXPECT_EQ(Update(kPackage), 0);
    EXPECT_EQ(FWU_Get_FW_ErrorCode(), FWU_ERR_NO_HID_DEVICE);
    EXPECT_EQ(store.Load().mcuBytesWritten, 0u);
  }
}

TEST_F(FWUpdater, TheUpdaterThreadScenarioReportsFromItsOwnThreadRepeatsAndGoesBackOnce) {
  ASSERT_TRUE(SetScenario(store, "updater-thread"));
  ASSERT_NE(Update(kPackage), 0);
  EXPECT_EQ(store.Load().mcuVersion, 0x0102);
  ASSERT_GT(g_reports.size(), 2u);
  int repeats = 0, backs = 0;
  for (size_t i = 1; i < g_reports.size(); ++i) {
    repeats += g_reports[i].second == g_reports[i - 1].second;
    backs += g_reports[i].second < g_reports[i - 1].second;
  }
  EXPECT_GT(repeats, 10);
  EXPECT_EQ(backs, 1);
  EXPECT_EQ(g_reports.back().second, 100);
  for (std::thread::id t : g_reportThreads) EXPECT_NE(t, std::this_thread::get_id());
}

TEST_F(FWUpdater, TheRecoveryPackageBringsBackAMouseLeftInItsBootLoader) {
  AddFault(store, Fault{FaultKind::Unplug, Stage::Mcu, 40, 1});
  ASSERT_EQ(Update(kPackage), 0);
  Plug(store);
  ASSERT_EQ(store.Load().state, DeviceState::BootLoader);

  // The ordinary package no longer finds its product ID.
  EXPECT_EQ(Update(kPackage), 0);
  EXPECT_EQ(FWU_Get_FW_ErrorCode(), FWU_ERR_WRONG_PID);

  ASSERT_NE(Update(kRecovery), 0);
  MouseState s = store.Load();
  EXPECT_EQ(s.state, DeviceState::Application);
  EXPECT_TRUE(s.mcuValid);
  EXPECT_EQ(s.mcuVersion, 0x0102);
  EXPECT_NE(PresentInterfaces(s)[3].hardwareIds.find(L"PID_5D1A&REV_0102&MI_02"), std::wstring::npos);
}

TEST_F(FWUpdater, ASuccessClearsTheLastErrorCode) {
  Update(env.path() + ".missing");
  ASSERT_EQ(FWU_Get_FW_ErrorCode(), FWU_ERR_FILE_NOT_EXIST);
  ASSERT_NE(Update(kPackage), 0);
  EXPECT_EQ(FWU_Get_FW_ErrorCode(), 0);
}
