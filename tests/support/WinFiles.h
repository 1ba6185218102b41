#pragma once
// Small file helpers for the Windows tests.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "tests/support/WinDriver.h"

namespace winfiles {

using windriver::BesideMe;

inline bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// The whole file, whatever else holds it open; "<unreadable>" when it cannot be opened.
inline std::string ReadAll(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<unreadable>";
  std::string out;
  char buf[65536];
  DWORD got = 0;
  while (ReadFile(h, buf, sizeof(buf), &got, nullptr) && got) out.append(buf, got);
  CloseHandle(h);
  return out;
}

// A fixture file; the test fails when it cannot be made.
inline void WriteText(const std::wstring& path, const std::string& text) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot create the fixture file";
    return;
  }
  DWORD written = 0;
  WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(h);
}

}  // namespace winfiles
