#include "framework/AfxWin.h"

#include <cstring>
#include <vector>

#include "app/Format.h"
#include "app/Thread.h"

// ---------------------------------------------------------------- string

void CString::Format(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  m_str = FormatTextV(format, args);
  va_end(args);
}

// ---------------------------------------------------------------- windows

namespace {
// The window property that ties a window to the object that subclassed it.
const wchar_t kObjectProp[] = L"OrvaneFramework.CWnd";
}  // namespace

CWnd::~CWnd() {
  if (m_hWnd && FromHandlePermanent(m_hWnd) == this) Unsubclass();
}

CWnd* CWnd::FromHandlePermanent(HWND hWnd) {
  return hWnd ? static_cast<CWnd*>(::GetPropW(hWnd, kObjectProp)) : nullptr;
}

BOOL CWnd::SubclassWindow(HWND hWnd) {
  if (!hWnd || m_hWnd) return FALSE;
  m_hWnd = hWnd;
  if (!::SetPropW(hWnd, kObjectProp, this)) {
    m_hWnd = nullptr;
    return FALSE;
  }
  PreSubclassWindow();
  m_pfnSuper = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrW(hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CWnd::WndProc)));
  return TRUE;
}

void CWnd::Unsubclass() {
  if (!m_hWnd) return;
  if (m_pfnSuper) ::SetWindowLongPtrW(m_hWnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_pfnSuper));
  ::RemovePropW(m_hWnd, kObjectProp);
  m_pfnSuper = nullptr;
  m_hWnd = nullptr;
}

LRESULT CWnd::DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam) {
  if (m_pfnSuper) return ::CallWindowProcW(m_pfnSuper, m_hWnd, msg, wParam, lParam);
  return ::DefWindowProcW(m_hWnd, msg, wParam, lParam);
}

void CWnd::CenterWindow() {
  RECT rcWnd, rcArea;
  ::GetWindowRect(m_hWnd, &rcWnd);
  HWND owner = ::GetWindow(m_hWnd, GW_OWNER);
  if (owner && ::IsWindowVisible(owner) && !::IsIconic(owner)) {
    ::GetWindowRect(owner, &rcArea);
  } else {
    HMONITOR mon = ::MonitorFromWindow(m_hWnd, MONITOR_DEFAULTTOPRIMARY);
    MONITORINFO mi = {};
    mi.cbSize = sizeof(mi);
    ::GetMonitorInfoW(mon, &mi);
    rcArea = mi.rcWork;
  }
  const int w = rcWnd.right - rcWnd.left, h = rcWnd.bottom - rcWnd.top;
  const int x = rcArea.left + ((rcArea.right - rcArea.left) - w) / 2;
  const int y = rcArea.top + ((rcArea.bottom - rcArea.top) - h) / 2;
  ::SetWindowPos(m_hWnd, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

BOOL CWnd::ReflectToChild(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) {
  HWND child = nullptr;
  if (msg == WM_DRAWITEM && wParam != 0) {
    child = reinterpret_cast<LPDRAWITEMSTRUCT>(lParam)->hwndItem;
  } else if (msg >= WM_CTLCOLORMSGBOX && msg <= WM_CTLCOLORSTATIC) {
    child = reinterpret_cast<HWND>(lParam);
  } else {
    return FALSE;
  }
  CWnd* target = FromHandlePermanent(child);
  if (!target) return FALSE;
  LRESULT result = 0;
  if (!target->ProcessWindowMessage(OCM__BASE + msg, wParam, lParam, result)) return FALSE;
  // A colour handler that returns no brush leaves the choice to the parent.
  if (msg != WM_DRAWITEM && result == 0) return FALSE;
  lResult = result;
  return TRUE;
}

LRESULT CWnd::Dispatch(UINT msg, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  if (ReflectToChild(msg, wParam, lParam, result)) return result;
  if (!ProcessWindowMessage(msg, wParam, lParam, result)) result = DefWindowProc(msg, wParam, lParam);
  if (msg == WM_NCDESTROY) Unsubclass();
  return result;
}

LRESULT CALLBACK CWnd::WndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  CWnd* wnd = FromHandlePermanent(hWnd);
  if (!wnd) return ::DefWindowProcW(hWnd, msg, wParam, lParam);
  return wnd->Dispatch(msg, wParam, lParam);
}

// ---------------------------------------------------------------- dialogs

void DDX_Control(CDataExchange* pDX, int id, CWnd& control) {
  if (control.m_hWnd) return;  // bound once
  HWND item = ::GetDlgItem(pDX->m_pDlgWnd->m_hWnd, id);
  if (item) control.SubclassWindow(item);
}

namespace {
// The dialog whose window is being created on this thread; its first dialog
// message ties the window to it.
thread_local CDialogEx* t_pCreatingDialog = nullptr;
}  // namespace

INT_PTR CALLBACK CDialogEx::StartDialogProc(HWND hWnd, UINT msg, WPARAM, LPARAM) {
  if (t_pCreatingDialog && !FromHandlePermanent(hWnd)) {
    CDialogEx* dlg = t_pCreatingDialog;
    t_pCreatingDialog = nullptr;
    dlg->SubclassWindow(hWnd);
    if (msg == WM_INITDIALOG) return dlg->OnInitDialog();
  }
  // Everything else has been through the message map already.
  return FALSE;
}

BOOL CDialogEx::OnInitDialog() {
  CDataExchange dx(this, FALSE);
  DoDataExchange(&dx);
  return TRUE;
}

BOOL CDialogEx::PreTranslateMessage(MSG* msg) { return ::IsDialogMessageW(m_hWnd, msg); }

void CDialogEx::EndDialog(int result) {
  m_nResult = result;
  m_bEnded = true;
  if (m_hWnd) ::PostMessageW(m_hWnd, WM_NULL, 0, 0);  // wakes the loop
}

INT_PTR CDialogEx::DoModal() {
  HINSTANCE res = AfxGetResourceHandle();
  HRSRC found = ::FindResourceW(res, MAKEINTRESOURCEW(m_nIDTemplate), MAKEINTRESOURCEW(5) /* RT_DIALOG */);
  HGLOBAL loaded = found ? ::LoadResource(res, found) : nullptr;
  const void* data = loaded ? ::LockResource(loaded) : nullptr;
  const DWORD size = found ? ::SizeofResource(res, found) : 0;
  if (!data || size < sizeof(DLGTEMPLATE) || size > 0x100000) return -1;

  // A private copy without WS_VISIBLE: the window appears only once the
  // initialisation has decided that the dialog goes on.
  std::vector<DWORD> copy((size + 3) / 4);
  std::memcpy(copy.data(), data, size);
  WORD* words = reinterpret_cast<WORD*>(copy.data());
  const bool extended = words[0] == 1 && words[1] == 0xFFFF;
  DWORD* style = extended ? copy.data() + 3 : copy.data();
  *style &= ~static_cast<DWORD>(WS_VISIBLE);

  m_bEnded = false;
  m_nResult = -1;
  t_pCreatingDialog = this;
  HWND owner = m_pParentWnd ? m_pParentWnd->m_hWnd : nullptr;
  HWND hWnd = ::CreateDialogIndirectParamW(AfxGetInstanceHandle(), reinterpret_cast<LPCDLGTEMPLATEW>(copy.data()),
                                           owner, &CDialogEx::StartDialogProc, 0);
  t_pCreatingDialog = nullptr;
  if (!hWnd) return -1;

  if (!m_bEnded) ::ShowWindow(hWnd, SW_SHOWNORMAL);
  MSG msg;
  while (!m_bEnded) {
    const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == -1) break;
    if (got == 0) {
      ::PostQuitMessage(static_cast<int>(msg.wParam));  // for the caller's loop
      break;
    }
    const bool ours = msg.hwnd == hWnd || ::IsChild(hWnd, msg.hwnd);
    if (ours && PreTranslateMessage(&msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  if (::IsWindow(hWnd)) ::DestroyWindow(hWnd);
  return m_nResult;
}

// ---------------------------------------------------------------- application

namespace {
CWinApp* g_pApp = nullptr;
}

CWinApp::CWinApp(const wchar_t*) { g_pApp = this; }
CWinApp::~CWinApp() {
  if (g_pApp == this) g_pApp = nullptr;
}

BOOL CWinApp::InitInstance() {
  // The dialog templates name common controls (the progress bar).
  INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
  ::InitCommonControlsEx(&icc);
  return TRUE;
}

int CWinApp::ExitInstance() { return m_nExitCode; }

CWinApp* AfxGetApp() { return g_pApp; }
HINSTANCE AfxGetInstanceHandle() { return ::GetModuleHandleW(nullptr); }
HINSTANCE AfxGetResourceHandle() { return ::GetModuleHandleW(nullptr); }

// ---------------------------------------------------------------- file search

BOOL CFileFind::FindFile(const wchar_t* pattern) {
  Close();
  m_hFind = ::FindFirstFileW(pattern, &m_next);
  m_bHaveNext = m_hFind != INVALID_HANDLE_VALUE;
  return m_bHaveNext;
}

BOOL CFileFind::FindNextFile() {
  if (!m_bHaveNext) return FALSE;
  m_found = m_next;
  m_bHaveCurrent = true;
  m_bHaveNext = ::FindNextFileW(m_hFind, &m_next) != FALSE;
  return m_bHaveNext;
}

BOOL CFileFind::IsDots() const {
  if (!m_bHaveCurrent) return FALSE;
  const wchar_t* n = m_found.cFileName;
  return (n[0] == L'.' && n[1] == 0) || (n[0] == L'.' && n[1] == L'.' && n[2] == 0);
}

void CFileFind::Close() {
  if (m_hFind != INVALID_HANDLE_VALUE) ::FindClose(m_hFind);
  m_hFind = INVALID_HANDLE_VALUE;
  m_bHaveNext = m_bHaveCurrent = false;
}

// ---------------------------------------------------------------- threads

BOOL AfxBeginThread(AFX_THREADPROC proc, LPVOID param) {
  return StartDetachedThread([proc, param] { proc(param); }) ? TRUE : FALSE;
}
