#include "app/OrvaneUpdater.h"

#include <objbase.h>
#include <shlwapi.h>

#include <memory>

#include "app/DllSearch.h"
#include "app/FolderTree.h"
#include "app/Format.h"
#include "kestrel/KestrelDfu.h"
#include "ui/ColorButton.h"
#include "ui/OrvaneUpdaterDlg.h"

COrvaneUpdaterApp theApp;

COrvaneUpdaterApp::COrvaneUpdaterApp() : CWinApp(nullptr) {
  // Before anything loads a library by name, GDI+ and the delay-loaded
  // system libraries included: System32 only from here on.
  RestrictDllSearch();
  // Before any window exists; the result is not needed: a GDI+ that did not
  // start only leaves the button images undrawn.
  if (Gdiplus::GdiplusStartup(&m_gdiplusToken, &m_gdiplusStartupInput, nullptr) == Gdiplus::Ok)
    m_hPngWarmUp = StartPngDecoderWarmUp();  // meanwhile this thread starts the window
}

COrvaneUpdaterApp::~COrvaneUpdaterApp() {
  if (m_hPngWarmUp) {
    // A copy that ends at once (a second one, say) must not shut GDI+ down under the decode.
    ::WaitForSingleObject(m_hPngWarmUp, 5000);
    ::CloseHandle(m_hPngWarmUp);
  }
  ReleaseSharedPlates();  // GDI+ images must go before GDI+ does
  if (m_gdiplusToken) Gdiplus::GdiplusShutdown(m_gdiplusToken);
}

BOOL COrvaneUpdaterApp::InitInstance() {
  CWinApp::InitInstance();

  std::unique_ptr<CShellManager> pShellManager(new CShellManager);
  SetRegistryKey(L"Local AppWizard-Generated Applications");

  const std::wstring id =
      FormatText(L"ID:%d,--%ls", static_cast<int>(::GetProcessId(::GetCurrentProcess())), L"InitInstance");
  ::OutputDebugStringW(id.c_str());

  // Lives as long as the process; only "already exists" means another copy runs.
  ::CreateMutexW(nullptr, FALSE, ORVANE_MUTEX_NAME);
  if (::GetLastError() == ERROR_ALREADY_EXISTS) return FALSE;

  wchar_t szTemp[MAX_PATH] = {};
  const DWORD n = ::GetTempPathW(MAX_PATH, szTemp);
  // A temporary-folder path that does not fit leaves the work folder unset:
  // nothing is then written anywhere, and the dialog reports the library.
  if (n > 0 && n < MAX_PATH) {
    m_strWorkDir.Format(L"%ls\\OrvaneTessik_mouse\\", szTemp);
    // The folder lies where any program of the user can write: a leftover,
    // or a link planted in its place, goes without any link being followed;
    // then the folder must be created fresh and private, or it is not used.
    if (::PathFileExistsW(m_strWorkDir) || ::GetFileAttributesW(WorkFolderName().c_str()) != INVALID_FILE_ATTRIBUTES)
      DeleteFolderTree(WorkFolderName().c_str());
    // Folders of runs killed before their end (only this copy runs now: the
    // mutex) go the same way, lest copies of the payloads pile up.
    DeleteStaleWorkFolders(WorkFolderName().c_str());
    // A leftover that stays (a locked file, a path too long to remove) gives
    // way to a new folder of this run beside it, under a name no other
    // program can guess beforehand.
    GUID guid = {};
    ::CoCreateGuid(&guid);
    const std::wstring folder = MakeWorkFolder(WorkFolderName(), guid.Data1, [this](const std::wstring& name) {
      m_hWorkDir = CreatePrivateFolder(name.c_str());
      return m_hWorkDir != INVALID_HANDLE_VALUE;
    });
    if (!folder.empty()) m_strWorkDir.Format(L"%ls\\", folder.c_str());
  }

  // The Kestrel SDK and its vendor library from beside the program, checked
  // and loaded from copies in the work folder; none without a folder of our own.
  const std::wstring work = m_hWorkDir != INVALID_HANDLE_VALUE ? static_cast<const wchar_t*>(m_strWorkDir) : L"";
  LoadPinnedVendorLibraries(kVendorPins, kVendorPinCount, work, &m_vendorLibraries);
  BindKestrelSdk(m_vendorLibraries.root);

  LoadSettings(m_ini);

  {
    COrvaneUpdaterDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    pShellManager.reset();
    m_pMainWnd = nullptr;
  }
  return FALSE;
}

int COrvaneUpdaterApp::ExitInstance() {
  // The SDK may go on reporting from a thread of its own after it was closed,
  // and its code must not be unmapped under that thread: it is unloaded once
  // it has been quiet for half a second. One that never falls quiet within
  // ten seconds stays loaded, and its copies stay with the folder.
  if (m_vendorLibraries.root) {
    BindKestrelSdk(nullptr);
    uint32_t seen = KestrelEventSequence();
    int quiet = seen == 0 ? 5 : 0;  // no event ever came
    for (int step = 0; step < 100 && quiet < 5; ++step) {
      ::Sleep(100);
      const uint32_t now = KestrelEventSequence();
      quiet = now == seen ? quiet + 1 : 0;
      seen = now;
    }
    if (quiet >= 5) ReleasePinnedVendorLibraries(&m_vendorLibraries);
  }
  // Only a folder this run made is removed; someone else's is left as it is.
  if (!m_strWorkDir.IsEmpty() && m_hWorkDir != INVALID_HANDLE_VALUE) {
    ::CloseHandle(m_hWorkDir);
    m_hWorkDir = INVALID_HANDLE_VALUE;
    DeleteFolderTree(WorkFolderName().c_str());
  }
  return CWinApp::ExitInstance();
}

std::wstring COrvaneUpdaterApp::WorkFolderName() const {
  // The folder itself, not its contents: a trailing separator would make the
  // platform look through a link of that name.
  std::wstring name = static_cast<const wchar_t*>(m_strWorkDir);
  while (!name.empty() && name.back() == L'\\') name.pop_back();
  return name;
}
