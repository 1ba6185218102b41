#pragma once
// Reader of the [Config] settings through the profile functions (WIN.INI on Windows).
#include <string>

#include "app/Platform.h"

// GetPrivateProfileStringW's shape; a seam so native tests can feed values.
#ifndef WINAPI
#define WINAPI
#endif
typedef DWORD(WINAPI* ProfileStringFn)(const wchar_t* section, const wchar_t* key, const wchar_t* def, wchar_t* buffer,
                                 DWORD size, const wchar_t* fileName);

class CIni {
 public:
  CIni();
  virtual ~CIni();
  CIni(const CIni&) = delete;
  CIni& operator=(const CIni&) = delete;

  std::wstring GetString(const wchar_t* key, const wchar_t* def);

  wchar_t* m_pszFileName = nullptr;  // null: the profile functions' default file
  ProfileStringFn m_pfnGetProfileString;
};
