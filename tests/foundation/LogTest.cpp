#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "app/Log.h"
#include "tests/support/TempDir.h"

namespace {

std::vector<std::wstring> g_debugLines;
void CaptureDebug(const wchar_t* text) { g_debugLines.push_back(text); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(ConsoleTime, EndsInAFullStopAndThreeDigitMilliseconds) {
  const int64_t second = int64_t(1700000000) * 10000000;
  std::string text = FormatConsoleTime(second + 7 * 10000);
  ASSERT_EQ(text.size(), 12u) << text;  // HH:MM:SS.mmm
  EXPECT_EQ(text.substr(8), ".007");
  EXPECT_EQ(text[2], ':');
  EXPECT_EQ(FormatConsoleTime(second + 999 * 10000 + 9999).substr(8), ".999");
}

TEST(ConsoleLogSink, IsSilentWhileTheStreamIsClosedButTracePrintWrites) {
  ASSERT_EQ(g_fpConsoleLog, nullptr);
  testing::internal::CaptureStdout();
  ConsoleLog("hidden %d\n", 1);
  TracePrint("shown %d\n", 2);
  OnSdkLog(0, "sdk line");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "shown 2\n");
}

TEST(ConsoleLogSink, AVeryLongMessageReachesTheStreamWholeAndIsEchoed) {
  TempDir dir;
  std::string path = dir.NativePath("console.log");
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  g_fpConsoleLog = f;
  std::string message(20000, 'x');
  message[19999] = 'Z';
  testing::internal::CaptureStdout();
  ConsoleLog("%s", message.c_str());
  OnSdkLog(3, "from the sdk");
  std::string echoed = testing::internal::GetCapturedStdout();
  g_fpConsoleLog = nullptr;
  std::fclose(f);

  EXPECT_EQ(echoed, message + "\n");
  std::string written = ReadFile(path);
  size_t tag = written.find(" [console] ");
  ASSERT_NE(tag, std::string::npos);
  EXPECT_EQ(tag, 12u);  // preceded by the time of day
  std::string firstLine = written.substr(tag + 11, written.find('\n') - tag - 11);
  EXPECT_EQ(firstLine, message);
  EXPECT_NE(written.find(" from the sdk\n"), std::string::npos);
}

TEST(DebugTraceSink, FormatsAndEndsEachLineWithALineFeed) {
  g_debugLines.clear();
  SetDebugOutput(&CaptureDebug);
  DebugTrace(L"debug_:Error Code=%d ,Error string=%ls", -4, L"No Device");
  SetDebugOutput(nullptr);
  ASSERT_EQ(g_debugLines.size(), 2u);
  EXPECT_EQ(g_debugLines[0], L"debug_:Error Code=-4 ,Error string=No Device");
  EXPECT_EQ(g_debugLines[1], L"\n");
}

TEST(DebugTraceSink, ALongMessageIsCutToTheBufferNotOverrun) {
  g_debugLines.clear();
  SetDebugOutput(&CaptureDebug);
  std::wstring longText(3000, L'a');
  DebugTrace(L"%ls", longText.c_str());
  SetDebugOutput(nullptr);
  ASSERT_EQ(g_debugLines.size(), 2u);
  EXPECT_EQ(g_debugLines[0], std::wstring(1023, L'a'));
}

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override { g_strLogDir = dir.WidePath(); }
  void TearDown() override { g_strLogDir.clear(); }
  TempDir dir;
};

TEST_F(LogFileTest, EachCallAddsAStampedEntryFollowedByAnEmptyLine) {
  WriteLogFile(L"first");
  WriteLogFile(std::wstring(L"second"));
  std::string text = ReadFile(dir.NativePath("Log/log.txt"));
  // [YYYY-MM-DD HH:MM:SS] + blank, a second blank, the text, two line ends.
  ASSERT_EQ(text.size(), 2 * (22 + 1 + 4) + 5 + 6) << text;
  EXPECT_EQ(text[0], '[');
  EXPECT_EQ(text.substr(20, 3), "]  ");
  EXPECT_EQ(text.substr(23, 9), "first\r\n\r\n");
  EXPECT_EQ(text.substr(32 + 23, 10), "second\r\n\r\n");
}

TEST_F(LogFileTest, AFolderThatCannotBeMadeGetsNothingWritten) {
  // The log folder's place is taken by a file: the open fails and nothing is written.
  std::ofstream(dir.NativePath("Log"), std::ios::binary) << "not a folder";
  WriteLogFile(L"lost");
  EXPECT_EQ(ReadFile(dir.NativePath("Log")), "not a folder");
}

TEST(LogSwitches, AreOffAsDelivered) {
  EXPECT_FALSE(g_bWriteLog);
  EXPECT_EQ(g_fpConsoleLog, nullptr);
  EXPECT_TRUE(g_strLogDir.empty());
}

}  // namespace
