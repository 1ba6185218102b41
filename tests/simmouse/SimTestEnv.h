#pragma once
// A private state file for the simulated mouse, named through the process
// environment as the libraries under test read it, and removed afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#include <cstdlib>
#endif

#include "app/Format.h"

namespace simtest {

inline void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
  std::wstring wname(name, name + std::char_traits<char>::length(name));
  std::wstring wvalue(value.begin(), value.end());
  SetEnvironmentVariableW(wname.c_str(), value.empty() ? nullptr : wvalue.c_str());
#else
  if (value.empty())
    unsetenv(name);
  else
    setenv(name, value.c_str(), 1);
#endif
}

inline long ProcessId() {
#ifdef _WIN32
  return static_cast<long>(GetCurrentProcessId());
#else
  return static_cast<long>(getpid());
#endif
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::vector<uint8_t> out;
  FILE* f = std::fopen(path.c_str(), "rb");
  uint8_t buf[4096];
  size_t n;
  while (f && (n = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + n);
  if (f) std::fclose(f);
  return out;
}

class SimEnv {
 public:
  // `scale` shortens every simulated delay.
  explicit SimEnv(double scale = 0.05) {
    static int counter = 0;
    const testing::TestInfo* t = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = t ? std::string(t->test_suite_name()) + "_" + t->name() : "sim";
    for (char& c : name)
      if (c == '/') c = '_';
    m_path = FormatTextA("%ssimmouse_%ld_%d_%s.state", testing::TempDir().c_str(), ProcessId(), ++counter,
                         name.c_str());
    std::remove(m_path.c_str());
    SetEnv("ORVANE_SIMMOUSE", m_path);
    SetEnv("ORVANE_SIMMOUSE_TIMESCALE", FormatTextA("%g", scale));
  }
  ~SimEnv() {
    for (const std::string& f : m_files) std::remove(f.c_str());
    std::remove(m_path.c_str());
    std::remove((m_path + ".lock").c_str());
    SetEnv("ORVANE_SIMMOUSE", "");
    SetEnv("ORVANE_SIMMOUSE_TIMESCALE", "");
  }
  SimEnv(const SimEnv&) = delete;
  SimEnv& operator=(const SimEnv&) = delete;
  const std::string& path() const { return m_path; }

  // A file of the test's own beside the state file, removed with it.
  std::string TempFile(const std::string& name, const std::vector<uint8_t>& data) {
    std::string path = m_path + "." + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    EXPECT_NE(f, nullptr) << path;
    if (f && !data.empty()) std::fwrite(data.data(), 1, data.size(), f);
    if (f) std::fclose(f);
    m_files.push_back(path);
    return path;
  }

 private:
  std::string m_path;
  std::vector<std::string> m_files;
};

}  // namespace simtest
