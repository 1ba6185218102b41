// The stand-in updater library as the application meets it on Windows: a
// DLL copied into a folder of its own with Tmb.dll beside it, loaded by path
// and bound by name.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "simmouse/SimMouse.h"
#include "tests/simmouse/SimTestEnv.h"
#include "tests/support/WinDriver.h"
#include "vendor/FWUpdater.h"

using namespace simmouse;

namespace {

std::wstring ExeDir() {
  wchar_t buf[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, buf, MAX_PATH);
  std::wstring path(buf, n);
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// <build>/bin holds the DLLs, <build>/firmware the files they read.
std::wstring Firmware(const wchar_t* name) { return ExeDir() + L"..\\firmware\\" + name; }

std::vector<std::pair<int, int>> g_reports;
void VENDOR_CALL RecordProgress(int status, int value) { g_reports.push_back({status, value}); }

template <typename T>
T Bind(HMODULE m, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(m, name)));
}

class WineUpdater : public testing::Test {
 protected:
  void SetUp() override {
    g_reports.clear();
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    m_dir = std::wstring(temp) + L"orvane_fwu_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
            std::to_wstring(++s_count) + L"\\";
    ASSERT_TRUE(CreateDirectoryW(m_dir.c_str(), nullptr));
  }
  void TearDown() override {
    if (m_module) FreeLibrary(m_module);
    for (const wchar_t* f : {L"FWUpdater.dll", L"Tmb.dll"}) DeleteFileW((m_dir + f).c_str());
    RemoveDirectoryW(m_dir.c_str());
  }

  // Copies the libraries into the private folder and loads the updater from there.
  void Load(bool withTmb) {
    ASSERT_TRUE(CopyFileW((ExeDir() + L"FWUpdater.dll").c_str(), (m_dir + L"FWUpdater.dll").c_str(), FALSE));
    if (withTmb) {
      ASSERT_TRUE(CopyFileW((ExeDir() + L"Tmb.dll").c_str(), (m_dir + L"Tmb.dll").c_str(), FALSE));
    }
    m_module = LoadLibraryW((m_dir + L"FWUpdater.dll").c_str());
    ASSERT_NE(m_module, nullptr);
    EXPECT_NE(GetProcAddress(m_module, FWU_NAME_GETDLLVERSION), nullptr);
    api.fnFWU_GetFileInfo = Bind<PFN_FWU_GetFileInfo>(m_module, FWU_NAME_GETFILEINFO);
    api.fnFWU_Update = Bind<PFN_FWU_Update>(m_module, FWU_NAME_UPDATE);
    api.fnFWU_Get_FW_ErrorCode = Bind<PFN_FWU_Get_FW_ErrorCode>(m_module, FWU_NAME_GETERRORCODE);
    api.fnSet_Bootloader_ID = Bind<PFN_Set_Bootloader_ID>(m_module, FWU_NAME_SETBOOTLOADERID);
    ASSERT_TRUE(api.fnFWU_GetFileInfo && api.fnFWU_Update && api.fnFWU_Get_FW_ErrorCode && api.fnSet_Bootloader_ID);
  }

  simtest::SimEnv env{0.1};
  // The library finds the mouse on the virtual HID bus, served from the state file.
  windriver::MouseHost host{std::wstring(env.path().begin(), env.path().end())};
  UpdaterApi api;
  std::wstring m_dir;
  HMODULE m_module = nullptr;
  static int s_count;
};
int WineUpdater::s_count = 0;

}  // namespace

TEST_F(WineUpdater, AnUpdateThroughTheLoadedLibraryRewritesTheMouse) {
  Load(true);
  api.fnSet_Bootloader_ID(0x7C3E, 0x5E1A);
  unsigned short vid = 0, pid = 0;
  unsigned int device = 0, file = 0, r1 = 0, r2 = 0;
  api.fnFWU_GetFileInfo(Firmware(L"Mouse_TMB.sfw").c_str(), &vid, &pid, &device, &file, &r1, &r2);
  EXPECT_EQ(vid, 0x7C3E);
  EXPECT_EQ(pid, 0x5D1A);
  EXPECT_EQ(file, 0x00010002u);

  ASSERT_NE(api.fnFWU_Update(Firmware(L"Mouse_TMB.sfw").c_str(), RecordProgress), 0)
      << api.fnFWU_Get_FW_ErrorCode();
  ASSERT_FALSE(g_reports.empty());
  EXPECT_EQ(g_reports.back(), std::make_pair(7, 100));
  MouseState s = Store().Load();
  EXPECT_EQ(s.state, DeviceState::Application);
  EXPECT_EQ(s.mcuVersion, 0x0102);

  // Tmb.dll was released with the update, so it can be deleted while the
  // updater stays loaded, as the application's clean-up expects.
  EXPECT_TRUE(DeleteFileW((m_dir + L"Tmb.dll").c_str()));
}

TEST_F(WineUpdater, WithoutTmbDllBesideItTheUpdateFailsWithMinus5) {
  Load(false);
  EXPECT_EQ(api.fnFWU_Update(Firmware(L"Mouse_TMB.sfw").c_str(), RecordProgress), 0);
  EXPECT_EQ(api.fnFWU_Get_FW_ErrorCode(), -5);
  EXPECT_TRUE(g_reports.empty());
  EXPECT_EQ(Store().Load().mcuBytesWritten, 0u);
}

TEST_F(WineUpdater, AMissingPackageIsMinus1AndABadOneIs6) {
  Load(true);
  EXPECT_EQ(api.fnFWU_Update((m_dir + L"none.sfw").c_str(), RecordProgress), 0);
  EXPECT_EQ(api.fnFWU_Get_FW_ErrorCode(), -1);
  // The Kestrel image is no Tamber package.
  EXPECT_EQ(api.fnFWU_Update(Firmware(L"MouseFW.bin").c_str(), RecordProgress), 0);
  EXPECT_EQ(api.fnFWU_Get_FW_ErrorCode(), 6);
  EXPECT_EQ(Store().Load().mcuBytesWritten, 0u);
}
