#pragma once
// The world of an end-to-end run: a simulated mouse in a state file of its
// own, the stand-in libraries reading it through ORVANE_SIMMOUSE, and one
// time scale shared by the mouse and the Kestrel flow, so that a 20-second
// silence takes a fraction of a second while every wait still runs on the
// real clock and the real event wait.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "kestrel/KestrelDfu.h"
#include "simmouse/SimMouse.h"
#include "standins/FirmwareFormat.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace e2e {

inline void SetEnv(const char* name, const std::string& value) {
#ifdef _WIN32
  // The stand-in DLLs read the process environment, not this CRT's copy.
  SetEnvironmentVariableA(name, value.c_str());
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

// The flow's time at `scale` real milliseconds per flow millisecond.
using ScaledTime = ::ScaledKestrelTime;

// A name in the temporary folder of this process alone: other builds may run
// the same tests at the same time.
inline std::string TempPath(const std::string& name) {
#ifdef _WIN32
  const unsigned long pid = GetCurrentProcessId();
#else
  const unsigned long pid = static_cast<unsigned long>(getpid());
#endif
  return (std::filesystem::temp_directory_path() / (std::to_string(pid) + "_" + name)).string();
}

inline bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

inline std::vector<uint8_t> ReadFile(const std::string& path) {
  std::vector<uint8_t> bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return bytes;
  uint8_t buf[8192];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.insert(bytes.end(), buf, buf + n);
  std::fclose(f);
  return bytes;
}

// A Kestrel image of `codeBytes` bytes.
inline std::vector<uint8_t> KestrelImageBytes(const std::string& version, const std::string& category,
                                              size_t codeBytes) {
  fwformat::KestrelImage image;
  image.version = version;
  image.category = category;
  image.code.resize(codeBytes);
  for (size_t i = 0; i < codeBytes; ++i) image.code[i] = static_cast<uint8_t>(i * 7 + 3);
  return fwformat::BuildBin(image);
}

// One mouse in its own state file, fresh in application mode.
class SimMouseFile {
 public:
  explicit SimMouseFile(const std::string& name, double timeScale)
      : m_path(TempPath(name)), m_store(m_path) {
    std::remove(m_path.c_str());
    std::remove((m_path + ".lock").c_str());
    SetEnv("ORVANE_SIMMOUSE", m_path);
    SetEnv("ORVANE_SIMMOUSE_TIMESCALE", std::to_string(timeScale));
  }
  ~SimMouseFile() {
    std::remove(m_path.c_str());
    std::remove((m_path + ".lock").c_str());
  }
  simmouse::Store& store() { return m_store; }
  simmouse::MouseState State() const { return m_store.Load(); }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
  simmouse::Store m_store;
};

}  // namespace e2e
