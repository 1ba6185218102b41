#pragma once
// The application object: the single-instance guard, the work folder, the
// settings and the modal run of the main dialog. GDI+ runs for its lifetime.
#include <windows.h>
// GDI+ needs the COM declarations that WIN32_LEAN_AND_MEAN leaves out.
#include <objidl.h>
#include <gdiplus.h>

#include <string>

#include "app/DllSearch.h"
#include "app/Ini.h"
#include "app/Settings.h"
#include "framework/AfxWin.h"

// m_strVid, m_strPid, m_strDevicePattern, m_strBootVid and m_strBootPid come
// from CDeviceSettings; the dialog's logic reads and may rewrite them.
class COrvaneUpdaterApp : public CWinApp, public CDeviceSettings {
 public:
  COrvaneUpdaterApp();
  ~COrvaneUpdaterApp() override;

  BOOL InitInstance() override;
  int ExitInstance() override;
  // m_strWorkDir without its trailing separator.
  std::wstring WorkFolderName() const;

  CString m_strWorkDir;  // ends with a backslash; empty until start-up sets it
  // Open while the work folder is this run's own, fresh and private; it keeps
  // the folder from being renamed or replaced. INVALID_HANDLE_VALUE when the
  // folder is not to be used.
  HANDLE m_hWorkDir = INVALID_HANDLE_VALUE;
  // The Kestrel SDK and its vendor library, loaded from checked copies in the
  // work folder; its root is null when they did not load.
  PinnedLibraries m_vendorLibraries;
  CIni m_ini;
  Gdiplus::GdiplusStartupInput m_gdiplusStartupInput;
  ULONG_PTR m_gdiplusToken = 0;
  HANDLE m_hPngWarmUp = nullptr;  // set when the PNG codec's warm-up decode is over
};

extern COrvaneUpdaterApp theApp;

#define ORVANE_MUTEX_NAME L"Global\\OrvaneTessik_mouse"
