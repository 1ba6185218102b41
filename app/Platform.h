#pragma once
// The few Win32 types, constants and macros that the portable logic speaks in.
// On Windows they come from the SDK; elsewhere they are defined here with the
// same values, so the logic compiles and runs natively in tests.
#ifdef _WIN32
#include <windows.h>
#else
#include <cstdint>
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef int32_t LONG;
typedef uint32_t COLORREF;
typedef void* HANDLE;
typedef void* HWND;
typedef void* HDEVNOTIFY;
typedef uintptr_t WPARAM;
typedef intptr_t LPARAM;
typedef intptr_t LRESULT;
#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define RGB(r, g, b) ((COLORREF)(((BYTE)(r) | ((WORD)((BYTE)(g)) << 8)) | (((DWORD)(BYTE)(b)) << 16)))
#define MB_OK 0x00000000u
#define MB_YESNO 0x00000004u
#define IDOK 1
#define IDCANCEL 2
#define IDYES 6
#define IDNO 7
#define WM_USER 0x0400
#define CP_ACP 0
#define CP_THREAD_ACP 3
#define CP_UTF8 65001
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u
#define INVALID_FILE_ATTRIBUTES 0xFFFFFFFFu
struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
inline bool operator==(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
#endif
