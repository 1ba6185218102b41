#include "app/Payloads.h"

#include <string>

#include "app/Format.h"
#include "app/Log.h"
#include "app/OrvaneUpdater.h"
#include "ui/OrvaneUpdaterDlg.h"

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

  // No work folder of our own (its path did not fit, or it could not be
  // created fresh): write nothing, neither into the current directory nor
  // into a folder someone else made.
  if (theApp.m_strWorkDir.IsEmpty() || theApp.m_hWorkDir == INVALID_HANDLE_VALUE) return;
  const std::wstring path = FormatText(L"%ls%ls", static_cast<const wchar_t*>(theApp.m_strWorkDir), fileName);
  if (path.size() >= 512) return;

  HANDLE& hold = PayloadHold(id);
  ReleasePayload(hold);
  hold = WritePayloadFile(path.c_str(), m_pResData, m_dwResSize);
  m_bPayloadWritten[&hold - m_hPayloadHold] = hold != INVALID_HANDLE_VALUE;
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
  // Only the files this run wrote: a name it did not write may lead into
  // someone else's folder.
  for (HANDLE& hold : m_hPayloadHold) ReleasePayload(hold);
  const std::wstring* paths[4] = {&m_logic.m_strSfwPath, &m_logic.m_strBinPath, &m_logic.m_strUpdaterDllPath,
                                  &m_logic.m_strTmbDllPath};
  for (int i : {0, 1, 3, 2}) {  // Mouse_TMB.sfw, MouseFW.bin, Tmb.dll, FWUpdater.dll
    if (m_bPayloadWritten[i]) ::DeleteFileW(paths[i]->c_str());
    m_bPayloadWritten[i] = false;
  }
}

HANDLE& COrvaneUpdaterDlg::PayloadHold(WORD id) {
  switch (id) {
    case IDR_FIRMWARE_SFW: return m_hPayloadHold[0];
    case IDR_FIRMWARE_BIN: return m_hPayloadHold[1];
    case IDR_DLL_FWUPDATER: return m_hPayloadHold[2];
    default: return m_hPayloadHold[3];
  }
}
