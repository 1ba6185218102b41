#include "app/Ini.h"

#include <cstdlib>
#include <cwchar>
#include <vector>

namespace {

#ifndef _WIN32
// Without WIN.INI every key is missing: the profile function copies the default,
// truncated as GetPrivateProfileStringW truncates.
DWORD WINAPI NoSettingsFile(const wchar_t*, const wchar_t*, const wchar_t* def, wchar_t* buffer, DWORD size, const wchar_t*) {
  if (size == 0) return 0;
  size_t len = wcslen(def);
  if (len > size - 1) len = size - 1;
  wmemcpy(buffer, def, len);
  buffer[len] = L'\0';
  return static_cast<DWORD>(len);
}
#endif

}  // namespace

CIni::CIni()
#ifdef _WIN32
    : m_pfnGetProfileString(&GetPrivateProfileStringW)
#else
    : m_pfnGetProfileString(&NoSettingsFile)
#endif
{
}

CIni::~CIni() {
  if (m_pszFileName) {
    std::free(m_pszFileName);
    m_pszFileName = nullptr;
  }
}

std::wstring CIni::GetString(const wchar_t* key, const wchar_t* def) {
  if (!def) def = L"";
  // A profile value cannot exceed 64 K units; stop growing there whatever the reader says.
  const DWORD kLimit = 65536 + 512;
  for (DWORD n = 512;; n += 512) {
    std::vector<wchar_t> buffer(n + 1, L'\0');
    DWORD len = m_pfnGetProfileString(L"Config", key, def, buffer.data(), n, m_pszFileName);
    if (len + 1 < n || n >= kLimit) {
      if (len > n) len = n;
      return std::wstring(buffer.data(), len);
    }
  }
}
