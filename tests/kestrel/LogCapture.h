#pragma once
// Turns the two switched-off sinks on for one test: the console log into a
// temporary stream and the log file into a folder of this process. Reads
// back what they received and switches them off again.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>

#include "app/Log.h"
#include "tests/kestrel/FakeKestrelSdk.h"

class LogCapture {
 public:
  LogCapture() : m_dir(TempImagePath("logcapture")) {
    std::filesystem::create_directories(m_dir);
    g_strLogDir = m_dir.wstring();
    g_bWriteLog = true;
    g_fpConsoleLog = std::tmpfile();
  }
  ~LogCapture() {
    g_bWriteLog = false;
    g_strLogDir.clear();
    if (g_fpConsoleLog) std::fclose(g_fpConsoleLog);
    g_fpConsoleLog = nullptr;
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string Console() const {
    std::string out;
    if (!g_fpConsoleLog) return out;
    std::fflush(g_fpConsoleLog);
    std::rewind(g_fpConsoleLog);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, g_fpConsoleLog)) > 0) out.append(buf, n);
    std::fseek(g_fpConsoleLog, 0, SEEK_END);
    return out;
  }
  std::string File() const {
    std::string out;
    FILE* f = std::fopen((m_dir / "Log" / "log.txt").string().c_str(), "rb");
    if (!f) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    std::fclose(f);
    return out;
  }

 private:
  std::filesystem::path m_dir;
};

// True when every fragment occurs in `text`, each after the one before.
inline bool InOrder(const std::string& text, const std::vector<std::string>& fragments, std::string* missing) {
  size_t at = 0;
  for (const std::string& f : fragments) {
    size_t found = text.find(f, at);
    if (found == std::string::npos) {
      *missing = f;
      return false;
    }
    at = found + f.size();
  }
  return true;
}
