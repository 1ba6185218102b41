#include <gtest/gtest.h>

#include <cwchar>
#include <map>

#include "ui/LocalizedText.h"

namespace {

std::map<UINT, std::wstring> g_table;

bool FakeLoader(UINT id, wchar_t* buffer, size_t cch) {
  auto it = g_table.find(id);
  if (it == g_table.end()) return false;
  // As LoadString: truncated to the buffer.
  size_t n = it->second.size() < cch - 1 ? it->second.size() : cch - 1;
  wmemcpy(buffer, it->second.data(), n);
  buffer[n] = L'\0';
  return true;
}

class LocalizedTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_table = {{10014, L"Update finished."}, {11014, L"更新完成"}, {12014, L"更新完成。"}, {10006, L"No device"},
               {11006, L"沒有裝置"}};
    SetStringResourceLoader(&FakeLoader);
  }
  void TearDown() override { SetStringResourceLoader(nullptr); }
  wchar_t buffer[512];
};

TEST_F(LocalizedTextTest, PicksTheBlockOfTheLanguageThenEnglishThenTheDefault) {
  LoadLocalizedString(1, 10014, buffer, 512, L"default");
  EXPECT_STREQ(buffer, L"更新完成");
  LoadLocalizedString(2, 10014, buffer, 512, L"default");
  EXPECT_STREQ(buffer, L"更新完成。");
  LoadLocalizedString(2, 10006, buffer, 512, L"default");  // no Simplified Chinese text
  EXPECT_STREQ(buffer, L"No device");
  LoadLocalizedString(0, 10009, buffer, 512, L"fallback");
  EXPECT_STREQ(buffer, L"fallback");
}

TEST_F(LocalizedTextTest, NeverWritesPastTheCallersBuffer) {
  wchar_t small[6];
  wmemset(small, L'#', 6);
  LoadLocalizedString(0, 10009, small, 4, L"a long default");
  EXPECT_STREQ(small, L"a l");
  EXPECT_EQ(small[4], L'#');
  LoadLocalizedString(0, 10014, small, 4, L"x");
  EXPECT_STREQ(small, L"Upd");
  EXPECT_EQ(small[4], L'#');
}

TEST_F(LocalizedTextTest, NoStringResourcesAtAllGivesTheDefault) {
  SetStringResourceLoader(nullptr);
#ifndef _WIN32
  LoadLocalizedString(0, 10014, buffer, 512, L"Update finished.");
  EXPECT_STREQ(buffer, L"Update finished.");
#endif
}

}  // namespace
