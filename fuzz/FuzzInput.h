#pragma once
// Splitting one fuzz input into the texts a harness feeds: UTF-16 units (two
// bytes each, as the platform's texts are), fields separated by 0xFFFF.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline std::vector<std::wstring> FuzzTexts(const uint8_t* data, size_t size, size_t fields) {
  std::vector<std::wstring> out(1);
  for (size_t i = 0; i + 1 < size; i += 2) {
    const wchar_t unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    if (unit == 0xFFFF && out.size() < fields)
      out.emplace_back();
    else
      out.back() += unit;
  }
  out.resize(fields);
  return out;
}
