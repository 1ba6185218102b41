#include "app/Format.h"

#include <cstdio>
#include <cwchar>
#include <vector>

std::wstring FormatTextV(const wchar_t* format, va_list args) {
  // vswprintf reports only failure when the buffer is short, so grow until it fits.
  std::vector<wchar_t> buf(256);
  for (;;) {
    va_list copy;
    va_copy(copy, args);
    int n = std::vswprintf(buf.data(), buf.size(), format, copy);
    va_end(copy);
    if (n >= 0 && static_cast<size_t>(n) < buf.size()) return std::wstring(buf.data(), static_cast<size_t>(n));
    if (buf.size() >= (1u << 24)) return std::wstring();  // a format that never fits: give up empty
    buf.resize(buf.size() * 2);
  }
}

std::wstring FormatText(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  std::wstring s = FormatTextV(format, args);
  va_end(args);
  return s;
}

std::string FormatTextAV(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (n <= 0) return std::string();
  std::string s(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(&s[0], s.size(), format, args);
  s.resize(static_cast<size_t>(n));
  return s;
}

std::string FormatTextA(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string s = FormatTextAV(format, args);
  va_end(args);
  return s;
}
