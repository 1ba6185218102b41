#pragma once
// A private state file for the simulated mouse, named through the process
// environment as the libraries under test read it, and removed afterwards.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

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
    std::remove(m_path.c_str());
    std::remove((m_path + ".lock").c_str());
    SetEnv("ORVANE_SIMMOUSE", "");
    SetEnv("ORVANE_SIMMOUSE_TIMESCALE", "");
  }
  SimEnv(const SimEnv&) = delete;
  SimEnv& operator=(const SimEnv&) = delete;
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

}  // namespace simtest
