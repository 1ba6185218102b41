#pragma once
// A fresh folder for one test, removed with everything in it afterwards.
#include <string>

#ifdef _WIN32
#include <windows.h>
#else
#include <cstdlib>
#include <unistd.h>
#endif
#include <filesystem>

class TempDir {
 public:
  TempDir() {
    std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int i = 0;; ++i) {
#ifdef _WIN32
      std::filesystem::path p = base / ("orvane-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(i));
#else
      std::filesystem::path p = base / ("orvane-test-" + std::to_string(getpid()) + "-" + std::to_string(i));
#endif
      std::error_code ec;
      if (std::filesystem::create_directory(p, ec)) {
        path_ = p;
        break;
      }
    }
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& Path() const { return path_; }
  std::string NativePath(const std::string& rel = "") const {
    return rel.empty() ? path_.string() : (path_ / rel).string();
  }
  // The folder as the logic's wide paths name it (no trailing separator).
  std::wstring WidePath() const { return path_.wstring(); }

 private:
  std::filesystem::path path_;
};
