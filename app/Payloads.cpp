#include "app/Payloads.h"

#include <cstring>
#include <string>

#include "app/Format.h"
#include "app/Log.h"
#include "app/OrvaneUpdater.h"
#include "ui/OrvaneUpdaterDlg.h"

BOOL PayloadMatches(HANDLE file, const void* data, DWORD size) {
  LARGE_INTEGER length = {};
  if (!::GetFileSizeEx(file, &length) || length.QuadPart != static_cast<LONGLONG>(size)) return FALSE;
  LARGE_INTEGER start = {};
  if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return FALSE;
  const BYTE* expected = static_cast<const BYTE*>(data);
  BYTE chunk[16384];
  DWORD done = 0;
  BOOL same = TRUE;
  while (same && done < size) {
    DWORD want = size - done < sizeof(chunk) ? size - done : static_cast<DWORD>(sizeof(chunk));
    DWORD got = 0;
    if (!::ReadFile(file, chunk, want, &got, nullptr) || got != want) {
      same = FALSE;
    } else {
      same = std::memcmp(chunk, expected + done, got) == 0;
      done += got;
    }
  }
  ::SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
  return same;
}

void ReleasePayload(HANDLE& hold) {
  if (hold != INVALID_HANDLE_VALUE) ::CloseHandle(hold);
  hold = INVALID_HANDLE_VALUE;
}

HANDLE WritePayloadFile(const wchar_t* path, const void* data, DWORD size, PayloadWriteFn write) {
  HANDLE file = ::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;  // skipped silently, as before

  DWORD written = 0;
  const BOOL ok = write(file, data, size, &written, nullptr);
  const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
  ::CloseHandle(file);
  if (!ok || written != size) {
    // A partial payload must not be loaded or flashed.
    ::DeleteFileW(path);
    DebugTrace(L"WriteFile fail : %d, %u of %u bytes, %ls", static_cast<int>(error), static_cast<unsigned>(written),
               static_cast<unsigned>(size), path);
    return INVALID_HANDLE_VALUE;
  }

  // From here until the payload has been used nobody may write, rename or
  // delete it. The check covers the moment between the close and the reopen.
  HANDLE hold = ::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
  if (hold == INVALID_HANDLE_VALUE) {
    DebugTrace(L"Payload hold fail : %d, %ls", static_cast<int>(::GetLastError()), path);
    ::DeleteFileW(path);
    return INVALID_HANDLE_VALUE;
  }
  if (!PayloadMatches(hold, data, size)) {
    ::CloseHandle(hold);
    ::DeleteFileW(path);
    DebugTrace(L"Payload changed after writing : %ls", path);
    return INVALID_HANDLE_VALUE;
  }
  return hold;
}

void COrvaneUpdaterDlg::ExtractResourceToFile(WORD id, const wchar_t* type, const wchar_t* fileName) {
  HINSTANCE module = AfxGetResourceHandle();
  HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(id), type);
  if (!found) {
    DebugTrace(L"FindResource fail : %d", static_cast<int>(::GetLastError()));
    return;
  }
  HGLOBAL loaded = ::LoadResource(module, found);
  if (!loaded) {
    DebugTrace(L"LoadResource fail : %d", static_cast<int>(::GetLastError()));
    return;
  }
  m_pResData = ::LockResource(loaded);
  if (!m_pResData) {
    DebugTrace(L"LockResource fail : %d", static_cast<int>(::GetLastError()));
    return;
  }
  m_dwResSize = ::SizeofResource(module, found);

  // No work folder (its path did not fit): write nothing rather than into
  // whatever the current directory is.
  if (theApp.m_strWorkDir.IsEmpty()) return;
  const std::wstring path = FormatText(L"%ls%ls", static_cast<const wchar_t*>(theApp.m_strWorkDir), fileName);
  if (path.size() >= 512) return;

  HANDLE& hold = PayloadHold(id);
  ReleasePayload(hold);
  hold = WritePayloadFile(path.c_str(), m_pResData, m_dwResSize);
}

void COrvaneUpdaterDlg::ExtractPayloads() {
  g_pMainDlg = &m_logic;
  const wchar_t* dir = theApp.m_strWorkDir;
  m_logic.m_strSfwPath = FormatText(L"%lsMouse_TMB.sfw", dir);
  m_logic.m_strBinPath = FormatText(L"%lsMouseFW.bin", dir);
  m_logic.m_strTmbDllPath = FormatText(L"%lsTmb.DLL", dir);
  m_logic.m_strUpdaterDllPath = FormatText(L"%lsFWUpdater.dll", dir);

  ExtractResourceToFile(IDR_FIRMWARE_SFW, L"FIRMWARE", L"Mouse_TMB.sfw");
  ExtractResourceToFile(IDR_FIRMWARE_BIN, L"FIRMWARE", L"MouseFW.bin");
  ExtractResourceToFile(IDR_DLL_FWUPDATER, L"DLL", L"FWUpdater.dll");
  ExtractResourceToFile(IDR_DLL_TMB, L"DLL", L"Tmb.dll");
}

void COrvaneUpdaterDlg::DeletePayloadFiles() {
  // The holds deny deletion: they go first, the library is already released.
  for (HANDLE& hold : m_hPayloadHold) ReleasePayload(hold);
  ::DeleteFileW(m_logic.m_strSfwPath.c_str());
  ::DeleteFileW(m_logic.m_strBinPath.c_str());
  ::DeleteFileW(m_logic.m_strTmbDllPath.c_str());
  ::DeleteFileW(m_logic.m_strUpdaterDllPath.c_str());
}

HANDLE& COrvaneUpdaterDlg::PayloadHold(WORD id) {
  switch (id) {
    case IDR_FIRMWARE_SFW: return m_hPayloadHold[0];
    case IDR_FIRMWARE_BIN: return m_hPayloadHold[1];
    case IDR_DLL_FWUPDATER: return m_hPayloadHold[2];
    default: return m_hPayloadHold[3];
  }
}
