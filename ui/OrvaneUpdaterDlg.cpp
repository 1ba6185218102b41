#include "ui/OrvaneUpdaterDlg.h"

#include <dbt.h>

#include "app/Format.h"
#include "app/Log.h"
#include "app/OrvaneUpdater.h"
#include "app/Payloads.h"
#include "device/HidBackends.h"
#include "device/Version.h"
#include "ui/DialogLayout.h"
#include "ui/LocalizedText.h"

namespace {

// Not looked up by language: the same line in every block.
const wchar_t kLegalLine[] = L"Copyright (C) 2026 Orvane. All rights reserved.";

const COLORREF kNoticeText = RGB(216, 38, 39);
const COLORREF kStaticText = RGB(255, 255, 255);
const COLORREF kProgressBar = RGB(216, 38, 39);
const COLORREF kProgressBack = RGB(176, 176, 176);

// The timer that asks the close command again (RequestClose).
const UINT_PTR kCloseRetryTimer = 1;
const UINT kCloseRetryMs = 100;

HFONT CreateArial(int height) {
  return ::CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, 0, 0, 0, 0, FF_SWISS, L"Arial");
}

// Under visual styles a progress bar ignores its colours; switching theming
// off for that one control brings them back. A class list that names no
// theme class does that everywhere (some implementations refuse an empty
// one). uxtheme comes from System32.
void UnthemeControl(HWND control) {
  typedef HRESULT(WINAPI * SetWindowThemeFn)(HWND, LPCWSTR, LPCWSTR);
  static HMODULE uxtheme = ::LoadLibraryExW(L"uxtheme.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!uxtheme) return;
  auto setTheme = reinterpret_cast<SetWindowThemeFn>(
      reinterpret_cast<void*>(::GetProcAddress(uxtheme, "SetWindowTheme")));
  if (setTheme) setTheme(control, L" ", L" ");
}

}  // namespace

COrvaneUpdaterDlg::COrvaneUpdaterDlg(CWnd* pParent)
    : CDialogEx(IDD_MAIN, pParent), m_logic(*this, theApp, SelectHidBackend()) {
  m_hIcon = ::LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME));
}

COrvaneUpdaterDlg::~COrvaneUpdaterDlg() {
  ReleaseUpdaterLibrary();
  if (m_pFontNormal) ::DeleteObject(m_pFontNormal);
  if (m_pFontLarge) ::DeleteObject(m_pFontLarge);
  if (m_brBackground) ::DeleteObject(m_brBackground);
  if (m_bmpBackground) ::DeleteObject(m_bmpBackground);
  for (HANDLE& hold : m_hPayloadHold) ReleasePayload(hold);
  if (g_pMainDlg == &m_logic) g_pMainDlg = nullptr;
}

// ---------------------------------------------------------------- IMainView

void COrvaneUpdaterDlg::SetControlText(int controlId, const std::wstring& text) {
  ::SetWindowTextW(::GetDlgItem(m_hWnd, controlId), text.c_str());
}

void COrvaneUpdaterDlg::SetProgressPos(int pos) {
  ::SendMessageW(::GetDlgItem(m_hWnd, IDC_PROGRESS), PBM_SETPOS, static_cast<WPARAM>(pos), 0);
}

void COrvaneUpdaterDlg::EnableUpdateButton(bool enable) { ::EnableWindow(m_btnUpdate.m_hWnd, enable ? TRUE : FALSE); }

void COrvaneUpdaterDlg::SetUpdateAppearance(UINT normalPng, UINT hoverPng, COLORREF text, const wchar_t* face,
                                            const wchar_t* caption) {
  m_btnUpdate.SetAppearance(normalPng, hoverPng, text, face, caption);
}

int COrvaneUpdaterDlg::ShowMessageBox(const std::wstring& text, const wchar_t* caption, UINT type) {
  return ::MessageBoxW(m_hWnd, text.c_str(), caption, type);
}

// ---------------------------------------------------------------- life

void COrvaneUpdaterDlg::BindControls(CDataExchange* pDX) {
  DDX_Control(pDX, IDOK, m_btnUpdate);
  DDX_Control(pDX, IDCANCEL, m_btnCancel);
  DDX_Control(pDX, IDC_LAYOUT_LIST, m_cboLayout);
  DDX_Control(pDX, IDC_PROGRESS, m_progress);
  DDX_Control(pDX, IDC_NOTICE, m_stNotice);
  DDX_Control(pDX, IDC_EXTRA_TEXT, m_stExtra);
}

BOOL COrvaneUpdaterDlg::InitializeDialog() {
  m_logic.BeginInitialization();
  CDialogEx::OnInitDialog();
  SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
  m_logic.m_wLanguage = 0;
  PreparePayloads();
  LayoutControls();
  // What the package query left here is the version the package was made
  // for, not a connected mouse: only a matching interface found by the scan
  // may count as a device, or the window would offer an update to nothing.
  m_logic.m_dwDeviceVersion = 0;
  m_logic.m_DeviceList.RegisterNotification(m_hWnd);
  m_logic.ScanDevices();
  // The "No device found." box and the end of the dialog, or the ready state.
  return m_logic.FinishInitialization();
}

void COrvaneUpdaterDlg::PreparePayloads() {
  ExtractPayloads();
  m_logic.m_dwDeviceVersion = 0;
  LoadUpdaterLibrary();
  // Boot-loader IDs, package query, captions.
  m_logic.QueryPackage();

  // The system's DPI, once: the window is laid out for it and keeps it.
  HDC screen = ::GetDC(nullptr);
  m_scale = CDialogScale(screen ? ::GetDeviceCaps(screen, LOGPIXELSX) : CDialogScale::kDesignDpi);
  if (screen) ::ReleaseDC(nullptr, screen);
  m_btnUpdate.m_scale = m_scale;

  HINSTANCE module = AfxGetResourceHandle();
  m_bmpBackground = ::LoadBitmapW(module, MAKEINTRESOURCEW(IDB_BACKGROUND));
  if (m_bmpBackground && !m_scale.IsDesignSize()) {
    // Smoothed once to the scaled client area; at 96 DPI the bitmap is drawn as it is.
    HBITMAP scaled = ScaleBitmapSmoothly(m_bmpBackground, m_scale.Scale(kDesignClientWidth),
                                         m_scale.Scale(kDesignClientHeight));
    if (scaled) {
      ::DeleteObject(m_bmpBackground);
      m_bmpBackground = scaled;
    }
  }
  m_brBackground = ::CreatePatternBrush(m_bmpBackground);
  m_pFontNormal = CreateArial(m_scale.Scale(kDesignFontNormal));
  m_pFontLarge = CreateArial(m_scale.Scale(kDesignFontLarge));
}

void COrvaneUpdaterDlg::LoadUpdaterLibrary() {
  // Only libraries that were written whole and are still held are loaded,
  // each by its full path, their own imports from System32 only. The work
  // folder is never added to the search: Tmb.dll goes first, so that the
  // updater library's import of it, or a later load of it by name, resolves
  // to the module already loaded.
  if (m_hPayloadHold[2] != INVALID_HANDLE_VALUE && m_hPayloadHold[3] != INVALID_HANDLE_VALUE) {
    m_hTmbDll = ::LoadLibraryExW(m_logic.m_strTmbDllPath.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (m_hTmbDll) {
      m_hUpdaterDll =
          ::LoadLibraryExW(m_logic.m_strUpdaterDllPath.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    }
  }
  // The same box when the Kestrel SDK did not load (a vendor file beside the
  // program missing or not the recorded one): no update could write a byte.
  if (!m_hUpdaterDll || !theApp.m_vendorLibraries.root) {
    wchar_t szText[LOCALIZED_TEXT_UNITS];
    LoadLocalizedString(m_logic.m_wLanguage, IDS_CANT_LOAD_DLL, szText, LOCALIZED_TEXT_UNITS, L"Can't load DLL.");
    ::MessageBoxW(m_hWnd, szText, nullptr, MB_OK);  // the platform's default caption
  }
  if (!m_hUpdaterDll) return;
  auto bind = [this](const char* name) { return reinterpret_cast<void*>(::GetProcAddress(m_hUpdaterDll, name)); };
  bind(FWU_NAME_GETDLLVERSION);  // looked up, never called
  m_logic.m_api.fnFWU_GetFileInfo = reinterpret_cast<PFN_FWU_GetFileInfo>(bind(FWU_NAME_GETFILEINFO));
  m_logic.m_api.fnFWU_Update = reinterpret_cast<PFN_FWU_Update>(bind(FWU_NAME_UPDATE));
  m_logic.m_api.fnFWU_Get_FW_ErrorCode = reinterpret_cast<PFN_FWU_Get_FW_ErrorCode>(bind(FWU_NAME_GETERRORCODE));
  m_logic.m_api.fnSet_Bootloader_ID = reinterpret_cast<PFN_Set_Bootloader_ID>(bind(FWU_NAME_SETBOOTLOADERID));
}

void COrvaneUpdaterDlg::ReleaseUpdaterLibrary() {
  if (m_hUpdaterDll) {
    m_logic.m_api = UpdaterApi();  // the bound pointers die with the library
    ::FreeLibrary(m_hUpdaterDll);
    m_hUpdaterDll = nullptr;
  }
  if (m_hTmbDll) ::FreeLibrary(m_hTmbDll);  // after the library that uses it
  m_hTmbDll = nullptr;
}

BOOL COrvaneUpdaterDlg::FilterDialogKeys(MSG* pMsg) {
  // Enter must not press the default Update button, Escape must not close.
  if (pMsg->message == WM_KEYDOWN && (pMsg->wParam == VK_ESCAPE || pMsg->wParam == VK_RETURN)) return TRUE;
  return CDialogEx::PreTranslateMessage(pMsg);
}

LRESULT COrvaneUpdaterDlg::HandleDefaultMessage(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_START_UPDATE) m_logic.OnStartUpdateMessage();
  return CDialogEx::DefWindowProc(msg, wParam, lParam);
}

void COrvaneUpdaterDlg::OnBnClickedCancel() {
  // Not while an update reports progress, nor while a worker still runs (it
  // uses the library, the payloads and this object). A close refused only
  // because the worker is finishing comes back through RequestClose.
  if (!m_logic.OnCloseRequest()) return;
  CHidDeviceList& list = m_logic.m_DeviceList;
  if (list.m_hDevNotify) {
    list.m_backend.UnregisterNotification(list.m_hDevNotify);
    list.m_hDevNotify = nullptr;
  }
  if (list.m_hDevice != INVALID_HANDLE_VALUE) {
    list.m_backend.Close(list.m_hDevice);
    list.m_hDevice = INVALID_HANDLE_VALUE;
  }
  ReleaseUpdaterLibrary();
  DeletePayloadFiles();
  CDialogEx::EndDialog(IDCANCEL);
}

void COrvaneUpdaterDlg::RequestClose() { ::SetTimer(m_hWnd, kCloseRetryTimer, kCloseRetryMs, nullptr); }

void COrvaneUpdaterDlg::HoldSystem(bool hold) {
  if (::GetWindowThreadProcessId(m_hWnd, nullptr) == ::GetCurrentThreadId())
    ApplyHold(hold);
  else
    ::SendMessageW(m_hWnd, WM_HOLD_SYSTEM, hold ? 1 : 0, 0);
}

void COrvaneUpdaterDlg::WaitHandlingSentMessages(DWORD ms) {
  // Wakes for a message another thread sends; PeekMessageW with
  // PM_QS_SENDMESSAGE delivers those and leaves every posted one queued.
  ::MsgWaitForMultipleObjectsEx(0, nullptr, ms, QS_SENDMESSAGE, 0);
  MSG msg;
  ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
}

void COrvaneUpdaterDlg::ApplyHold(bool hold) {
  if (hold == m_bHoldingSystem) return;
  m_bHoldingSystem = hold;
  if (hold) {
    // The reason the system shows beside the window is the window's own notice.
    wchar_t reason[LOCALIZED_TEXT_UNITS];
    LoadLocalizedString(m_logic.m_wLanguage, IDS_DO_NOT_UNPLUG, reason, LOCALIZED_TEXT_UNITS,
                        L"Please DO NOT unplug Device.");
    ::ShutdownBlockReasonCreate(m_hWnd, reason);
    // Per thread, and this thread lives as long as the window. It keeps only
    // idle sleep away: a sleep the user chooses or a closed lid still comes.
    ::SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
  } else {
    ::ShutdownBlockReasonDestroy(m_hWnd);
    ::SetThreadExecutionState(ES_CONTINUOUS);
  }
}

LRESULT COrvaneUpdaterDlg::OnTimer(UINT, WPARAM wParam, LPARAM, BOOL& bHandled) {
  if (wParam != kCloseRetryTimer) {
    bHandled = FALSE;
    return 0;
  }
  ::KillTimer(m_hWnd, kCloseRetryTimer);
  OnBnClickedCancel();
  return 0;
}

LRESULT COrvaneUpdaterDlg::OnDeviceChange(UINT, WPARAM wParam, LPARAM lParam, BOOL&) {
  DWORD type = 0;
  const wchar_t* name = nullptr;
  if (lParam) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    type = header->dbch_devicetype;
    if (type == DBT_DEVTYP_DEVICEINTERFACE) name = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header)->dbcc_name;
  }
  return m_logic.HandleDeviceChange(static_cast<UINT>(wParam), type, name);
}

// ---------------------------------------------------------------- layout and painting

// The progress text is as wide as the longest it shows in any language,
// "Completed  100%" or "Update finished.", so that none is wrapped or cut.
int COrvaneUpdaterDlg::ProgressTextWidth() {
  int widest = 0;
  HDC dc = ::GetDC(m_hWnd);
  if (!dc) return FitProgressTextWidth(0, m_scale);
  HGDIOBJ old = ::SelectObject(dc, m_pFontNormal);
  for (WORD language = 0; language < 3; ++language) {
    wchar_t completed[LOCALIZED_TEXT_UNITS], finished[LOCALIZED_TEXT_UNITS];
    LoadLocalizedString(language, IDS_COMPLETED, completed, LOCALIZED_TEXT_UNITS, L"Completed ");
    LoadLocalizedString(language, IDS_UPDATE_FINISHED, finished, LOCALIZED_TEXT_UNITS, L"Update finished.");
    for (const std::wstring& text : {FormatText(L"%ls %d%%", completed, 100), std::wstring(finished)}) {
      SIZE size = {0, 0};
      if (::GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size) && size.cx > widest)
        widest = size.cx;
    }
  }
  ::SelectObject(dc, old);
  ::ReleaseDC(m_hWnd, dc);
  return FitProgressTextWidth(widest, m_scale);
}

void COrvaneUpdaterDlg::LayoutControls() {
  RECT rcWnd, rcClient;
  GetWindowRect(&rcWnd);
  GetClientRect(&rcClient);
  SetWindowText(m_logic.m_strTitle.c_str());

  // The client area becomes exactly the background's 565 x 242 (scaled), whatever the frame.
  const int width = (rcWnd.right - rcWnd.left) - (rcClient.right - rcClient.left) + m_scale.Scale(kDesignClientWidth);
  const int height =
      (rcWnd.bottom - rcWnd.top) - (rcClient.bottom - rcClient.top) + m_scale.Scale(kDesignClientHeight);
  ::MoveWindow(m_hWnd, 0, 0, width, height, TRUE);
  CenterWindow();
  GetWindowRect(&rcWnd);
  GetClientRect(&rcClient);
  const int clientWidth = rcClient.right - rcClient.left;
  const int progressTextWidth = ProgressTextWidth();

  auto place = [&](int id, HFONT font) {
    HWND item = GetDlgItem(id);
    // The font first: a control that sizes itself by its font (the combo box)
    // then lays itself out once, at its final size.
    if (font) ::SendMessageW(item, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    for (const ControlPlacement& c : kControlLayout) {
      if (c.id != id) continue;
      const PlacedRect r = PlaceControl(c, m_scale, clientWidth, progressTextWidth);
      ::MoveWindow(item, r.x, r.y, r.w, r.h, TRUE);
    }
    return item;
  };
  auto text = [this](UINT id, const wchar_t* def) {
    wchar_t szText[LOCALIZED_TEXT_UNITS];
    LoadLocalizedString(m_logic.m_wLanguage, id, szText, LOCALIZED_TEXT_UNITS, def);
    return std::wstring(szText);
  };

  place(IDC_EXTRA_TEXT, nullptr);
  ::SetWindowTextW(place(IDC_CURRENT_LABEL, m_pFontNormal),
                   text(IDS_CURRENT_VERSION, L"Current device version :").c_str());
  ::SetWindowTextW(place(IDC_DEVICE_VERSION, m_pFontNormal), L"");
  ::SetWindowTextW(place(IDC_NEW_LABEL, m_pFontNormal), text(IDS_NEW_VERSION, L"New firmware version :").c_str());
  place(IDC_FILE_VERSION, m_pFontNormal);
  SetVersionText(*this, IDC_FILE_VERSION, m_logic.m_strFileVersion);
  ::SetWindowTextW(place(IDC_NOTICE, m_pFontLarge), L"");
  ::SetWindowTextW(place(IDC_LEGAL_LINE, m_pFontNormal), kLegalLine);
  ::SetWindowTextW(place(IDC_PROGRESS_TEXT, m_pFontNormal), L"");
  HWND progress = place(IDC_PROGRESS, nullptr);
  place(IDC_LAYOUT_LABEL, m_pFontNormal);
  ::EnableWindow(place(IDC_LAYOUT_LIST, m_pFontNormal), FALSE);
  const std::wstring caption = text(IDS_UPDATE, L"Update");
  ::SetWindowTextW(place(IDOK, nullptr), caption.c_str());

  UnthemeControl(progress);
  ::SendMessageW(progress, PBM_SETBKCOLOR, 0, static_cast<LPARAM>(kProgressBack));
  ::SendMessageW(progress, PBM_SETBARCOLOR, 0, static_cast<LPARAM>(kProgressBar));
  ::SendMessageW(progress, PBM_SETPOS, 0, 0);

  m_btnUpdate.SetAppearance(IDB_PNG_INACTIVE, IDB_PNG_INACTIVE, RGB(128, 128, 128), L"Arial", caption.c_str());
  m_btnUpdate.EnableWindow(FALSE);  // only the ready state enables it
}

LRESULT COrvaneUpdaterDlg::OnPaint(UINT, WPARAM, LPARAM, BOOL& bHandled) {
  if (!IsIconic()) {
    bHandled = FALSE;  // the dialog's default painting
    return 0;
  }
  PAINTSTRUCT ps;
  HDC dc = ::BeginPaint(m_hWnd, &ps);
  SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  RECT rc;
  GetClientRect(&rc);
  const int x = (rc.right - rc.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
  const int y = (rc.bottom - rc.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
  ::DrawIcon(dc, x, y, m_hIcon);
  ::EndPaint(m_hWnd, &ps);
  return 0;
}

BOOL COrvaneUpdaterDlg::DrawBackground(HDC dc) {
  RECT rc;
  GetClientRect(&rc);
  HDC memory = ::CreateCompatibleDC(dc);
  HGDIOBJ previous = ::SelectObject(memory, m_bmpBackground);
  ::BitBlt(dc, 0, 0, rc.right - rc.left, rc.bottom - rc.top, memory, 0, 0, SRCCOPY);
  ::SelectObject(memory, previous);
  ::DeleteDC(memory);
  return TRUE;
}

HBRUSH COrvaneUpdaterDlg::SelectControlColors(HDC dc, HWND control, UINT kind) {
  HBRUSH brush = reinterpret_cast<HBRUSH>(CDialogEx::DefWindowProc(
      WM_CTLCOLORMSGBOX + kind, reinterpret_cast<WPARAM>(dc), reinterpret_cast<LPARAM>(control)));
  if (kind != CTLCOLOR_STATIC) return brush;
  ::SetBkMode(dc, TRANSPARENT);
  ::SetTextColor(dc, control == m_stNotice.m_hWnd ? kNoticeText : kStaticText);
  if (control == m_cboLayout.m_hWnd) return brush;
  return m_brBackground;
}
