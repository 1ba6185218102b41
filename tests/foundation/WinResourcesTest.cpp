// Runs only in the Windows build: the string tables as compiled resources, and
// the settings read from the prefix's WIN.INI through the profile functions.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "app/Ini.h"
#include "app/Settings.h"
#include "ui/LocalizedText.h"

namespace {

std::wstring Lookup(WORD language, UINT id, const wchar_t* def) {
  wchar_t buffer[LOCALIZED_TEXT_UNITS];
  LoadLocalizedString(language, id, buffer, LOCALIZED_TEXT_UNITS, def);
  return buffer;
}

TEST(CompiledStringTables, EachLanguageIndexSelectsItsBlock) {
  EXPECT_EQ(Lookup(0, 10006, L"x"), L"No device found.\r\nPlease connect your device to get started.");
  EXPECT_EQ(Lookup(1, 10014, L"x"), L"更新完成");
  EXPECT_EQ(Lookup(2, 10014, L"x"), L"更新完成。");
  EXPECT_EQ(Lookup(1, 10011, L"x"), L"更新失敗。\r\n請檢察USB裝置連線，然後再試一次。");
  EXPECT_EQ(Lookup(1, 10012, L"x"), L"已經是最新版本韌體，仍然要更新嗎?");
  EXPECT_EQ(Lookup(2, 10013, L"x"), L"新固件版本可用，是否更新？");
  EXPECT_EQ(Lookup(0, 10015, L"x"), L"Completed ");
  EXPECT_EQ(Lookup(2, 10015, L"x"), L"完成 ");
}

TEST(CompiledStringTables, FallBackToTheEnglishTextThenToTheDefault) {
  // No block for index 3: the English text of the same identifier.
  EXPECT_EQ(Lookup(3, 10018, L"default"), L"Update is completed.");
  EXPECT_EQ(Lookup(0, 10009, L"the default"), L"the default");
  EXPECT_EQ(Lookup(2, 10010, L"the default"), L"the default");
  // The table's text wins over the caller's default.
  EXPECT_EQ(Lookup(0, 10007, L"Can't load DLL."), L"Can't load DLL");
  EXPECT_EQ(Lookup(0, 10004, L"New firmware version :"), L"New FW version :");
}

class WinIniSettings : public ::testing::Test {
 protected:
  void SetUp() override { WriteProfileStringW(L"Config", nullptr, nullptr); }
  void TearDown() override { WriteProfileStringW(L"Config", nullptr, nullptr); }
  CIni ini;
  CDeviceSettings settings;
};

TEST_F(WinIniSettings, DefaultsApplyWhenTheSectionIsAbsent) {
  settings.LoadSettings(ini);
  EXPECT_EQ(settings.m_strVid, L"7C3E");
  EXPECT_EQ(settings.m_strPid, L"5D1A");
  EXPECT_EQ(settings.m_strBootVid, L"7C3E");
  EXPECT_EQ(settings.m_strBootPid, L"5E1A");
  EXPECT_EQ(settings.m_strDevicePattern, L"VID_7C3E&PID_5D1A&MI_02");
}

TEST_F(WinIniSettings, ValuesComeFromWinIniAsWritten) {
  ASSERT_TRUE(WriteProfileStringW(L"Config", L"VID", L"03ab"));
  ASSERT_TRUE(WriteProfileStringW(L"Config", L"PID", L""));
  std::wstring longValue(600, L'7');
  longValue[599] = L'E';
  ASSERT_TRUE(WriteProfileStringW(L"Config", L"BLPID", longValue.c_str()));
  settings.LoadSettings(ini);
  EXPECT_EQ(settings.m_strVid, L"03ab");
  EXPECT_EQ(settings.m_strPid, L"");
  EXPECT_EQ(settings.m_strDevicePattern, L"VID_03ab&PID_&MI_02");
  EXPECT_EQ(settings.m_strBootVid, L"7C3E");
  EXPECT_EQ(settings.m_strBootPid, longValue);
}

}  // namespace
