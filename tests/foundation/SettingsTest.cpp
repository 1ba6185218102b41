#include <gtest/gtest.h>

#include <cwchar>
#include <map>
#include <string>
#include <vector>

#include "app/Ini.h"
#include "app/Settings.h"

namespace {

// A profile reader over a map, truncating as GetPrivateProfileStringW does,
// and remembering the buffer sizes it was given.
std::map<std::wstring, std::wstring> g_values;
std::vector<DWORD> g_sizes;
std::wstring g_lastFile = L"<unset>";

DWORD WINAPI FakeProfile(const wchar_t* section, const wchar_t* key, const wchar_t* def, wchar_t* buffer, DWORD size,
                  const wchar_t* file) {
  EXPECT_STREQ(section, L"Config");
  g_sizes.push_back(size);
  g_lastFile = file ? file : L"<null>";
  auto it = g_values.find(key);
  std::wstring value = it == g_values.end() ? def : it->second;
  size_t n = value.size() < size - 1 ? value.size() : size - 1;
  wmemcpy(buffer, value.data(), n);
  buffer[n] = L'\0';
  return static_cast<DWORD>(n);
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_values.clear();
    g_sizes.clear();
    ini.m_pfnGetProfileString = &FakeProfile;
  }
  CIni ini;
  CDeviceSettings settings;
};

TEST_F(SettingsTest, MissingKeysGiveTheDefaultsAndThePattern) {
  settings.LoadSettings(ini);
  EXPECT_EQ(settings.m_strVid, L"7C3E");
  EXPECT_EQ(settings.m_strPid, L"5D1A");
  EXPECT_EQ(settings.m_strBootVid, L"7C3E");
  EXPECT_EQ(settings.m_strBootPid, L"5E1A");
  EXPECT_EQ(settings.m_strDevicePattern, L"VID_7C3E&PID_5D1A&MI_02");
  EXPECT_EQ(g_lastFile, L"<null>");  // WIN.INI: no file name is passed
}

TEST_F(SettingsTest, ValuesAreKeptExactlyAsRead) {
  g_values[L"VID"] = L"";
  g_values[L"PID"] = L"03ab";
  g_values[L"BLPID"] = L"zz";
  settings.LoadSettings(ini);
  EXPECT_EQ(settings.m_strVid, L"");  // empty, not the default
  EXPECT_EQ(settings.m_strDevicePattern, L"VID_&PID_03ab&MI_02");
  EXPECT_EQ(settings.m_strBootPid, L"zz");
}

TEST_F(SettingsTest, LongValuesAreReadWholeWithAGrowingBuffer) {
  g_values[L"VID"] = std::wstring(600, L'A');
  EXPECT_EQ(ini.GetString(L"VID", L"7C3E"), std::wstring(600, L'A'));
  EXPECT_EQ(g_sizes, std::vector<DWORD>({512, 1024}));

  g_sizes.clear();
  g_values[L"VID"] = std::wstring(510, L'B');  // fits the first read
  EXPECT_EQ(ini.GetString(L"VID", nullptr).size(), 510u);
  EXPECT_EQ(g_sizes, std::vector<DWORD>({512}));

  g_sizes.clear();
  g_values[L"VID"] = std::wstring(511, L'C');  // looks truncated: read again
  EXPECT_EQ(ini.GetString(L"VID", nullptr).size(), 511u);
  EXPECT_EQ(g_sizes, std::vector<DWORD>({512, 1024}));
}

TEST_F(SettingsTest, ANullDefaultReadsAsEmpty) { EXPECT_EQ(ini.GetString(L"NOPE", nullptr), L""); }

}  // namespace
