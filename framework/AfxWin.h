#pragma once
// A small application framework over Win32: the application object and its
// hooks, windows with visible message maps, a modal dialog with data exchange
// and pre-translation, a subclassable owner-draw button, a string, a file
// search and a thread start. Only what this program uses; each class is a thin
// wrapper that keeps the Win32 handle in view.
#include <windows.h>
#include <commctrl.h>

#include <string>

// ---------------------------------------------------------------- string

class CString {
 public:
  CString() = default;
  CString(const wchar_t* text) : m_str(text ? text : L"") {}
  CString(const std::wstring& text) : m_str(text) {}

  operator const wchar_t*() const { return m_str.c_str(); }
  const std::wstring& Str() const { return m_str; }
  int GetLength() const { return static_cast<int>(m_str.size()); }
  bool IsEmpty() const { return m_str.empty(); }
  void Empty() { m_str.clear(); }
  CString& operator=(const wchar_t* text) {
    m_str = text ? text : L"";
    return *this;
  }
  CString& operator+=(const wchar_t* text) {
    m_str += text ? text : L"";
    return *this;
  }
  bool operator==(const wchar_t* text) const { return m_str == (text ? text : L""); }
  // printf-style, through FormatText (wide strings are %ls).
  void Format(const wchar_t* format, ...);

 private:
  std::wstring m_str;
};

// ---------------------------------------------------------------- message maps
// A window's map is one function that tries its entries in order and reports
// whether one handled the message; unhandled messages reach DefWindowProc.
// Handlers: LRESULT Handler(UINT msg, WPARAM, LPARAM, BOOL& bHandled); a
// handler that clears bHandled lets the message go on.

#define BEGIN_MSG_MAP(theClass)                                                               \
 public:                                                                                      \
  BOOL ProcessWindowMessage(UINT uMsg, WPARAM wParam, LPARAM lParam, LRESULT& lResult) override { \
    BOOL bHandled = TRUE;                                                                     \
    (void)bHandled;

#define MESSAGE_HANDLER(msg, func)                      \
  if (uMsg == (msg)) {                                  \
    bHandled = TRUE;                                    \
    lResult = func(uMsg, wParam, lParam, bHandled);     \
    if (bHandled) return TRUE;                          \
  }

#define MESSAGE_RANGE_HANDLER(msgFirst, msgLast, func)  \
  if (uMsg >= (msgFirst) && uMsg <= (msgLast)) {        \
    bHandled = TRUE;                                    \
    lResult = func(uMsg, wParam, lParam, bHandled);     \
    if (bHandled) return TRUE;                          \
  }

// WM_COMMAND with a control ID and notification code; the handler takes no arguments.
#define COMMAND_HANDLER(id, code, func)                                               \
  if (uMsg == WM_COMMAND && LOWORD(wParam) == (id) && HIWORD(wParam) == (code)) {     \
    func();                                                                           \
    lResult = 0;                                                                      \
    return TRUE;                                                                      \
  }

#define CHAIN_MSG_MAP(theBase)                                           \
  if (theBase::ProcessWindowMessage(uMsg, wParam, lParam, lResult)) return TRUE;

#define END_MSG_MAP() \
  return FALSE;       \
  }

// Messages a parent reflects back to the child control they concern.
#define OCM__BASE (WM_USER + 0x1c00)
#define OCM_DRAWITEM (OCM__BASE + WM_DRAWITEM)
#define OCM_CTLCOLORBTN (OCM__BASE + WM_CTLCOLORBTN)
#define OCM_CTLCOLORMSGBOX (OCM__BASE + WM_CTLCOLORMSGBOX)
#define OCM_CTLCOLORSTATIC (OCM__BASE + WM_CTLCOLORSTATIC)

// ---------------------------------------------------------------- windows

class CWnd {
 public:
  CWnd() = default;
  virtual ~CWnd();
  CWnd(const CWnd&) = delete;
  CWnd& operator=(const CWnd&) = delete;

  HWND m_hWnd = nullptr;
  operator HWND() const { return m_hWnd; }

  // Makes this object the owner of an existing window: its messages reach the
  // map first. PreSubclassWindow runs before the window procedure is replaced.
  BOOL SubclassWindow(HWND hWnd);
  // Ties the object to a window without taking its messages.
  void Attach(HWND hWnd) { m_hWnd = hWnd; }
  // The object that subclassed hWnd, if any.
  static CWnd* FromHandlePermanent(HWND hWnd);

  virtual BOOL ProcessWindowMessage(UINT, WPARAM, LPARAM, LRESULT&) { return FALSE; }
  virtual LRESULT DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam);
  virtual void PreSubclassWindow() {}

  // Thin forwards to the Win32 calls of the same names.
  HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
  void SetWindowText(const wchar_t* text) { ::SetWindowTextW(m_hWnd, text); }
  void EnableWindow(BOOL enable) { ::EnableWindow(m_hWnd, enable); }
  BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
  void Invalidate(BOOL erase = TRUE) { ::InvalidateRect(m_hWnd, nullptr, erase); }
  void GetClientRect(RECT* rc) const { ::GetClientRect(m_hWnd, rc); }
  void GetWindowRect(RECT* rc) const { ::GetWindowRect(m_hWnd, rc); }
  // Centres over the owner, or over the work area when there is none.
  void CenterWindow();
  LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) {
    return ::SendMessageW(m_hWnd, msg, wParam, lParam);
  }

 protected:
  static LRESULT CALLBACK WndProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
  // Hands WM_DRAWITEM and WM_CTLCOLOR* to the child they concern; TRUE when it answered.
  static BOOL ReflectToChild(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& lResult);
  LRESULT Dispatch(UINT msg, WPARAM wParam, LPARAM lParam);
  void Unsubclass();

  WNDPROC m_pfnSuper = nullptr;
};

class CButton : public CWnd {
 public:
  virtual void DrawItem(LPDRAWITEMSTRUCT) {}
  BEGIN_MSG_MAP(CButton)
    MESSAGE_HANDLER(OCM_DRAWITEM, OnReflectedDrawItem)
  END_MSG_MAP()

 private:
  LRESULT OnReflectedDrawItem(UINT, WPARAM, LPARAM lParam, BOOL&) {
    DrawItem(reinterpret_cast<LPDRAWITEMSTRUCT>(lParam));
    return TRUE;
  }
};

class CStatic : public CWnd {};
class CComboBox : public CWnd {};
class CProgressCtrl : public CWnd {
 public:
  int SetPos(int pos) { return static_cast<int>(SendMessage(PBM_SETPOS, pos)); }
};

// ---------------------------------------------------------------- dialogs

class CDataExchange {
 public:
  CDataExchange(CWnd* dlg, BOOL save) : m_pDlgWnd(dlg), m_bSaveAndValidate(save) {}
  CWnd* m_pDlgWnd;
  BOOL m_bSaveAndValidate;
};

// Binds a control of the dialog to a member: the member subclasses the control.
void DDX_Control(CDataExchange* pDX, int id, CWnd& control);

class CDialogEx : public CWnd {
 public:
  explicit CDialogEx(UINT idTemplate, CWnd* parent = nullptr) : m_nIDTemplate(idTemplate), m_pParentWnd(parent) {}

  // Creates the dialog from its template, runs its own loop until EndDialog,
  // destroys it and returns the result (-1 when it could not be created). The
  // window is shown only after initialisation, and never when
  // initialisation already ended the dialog.
  INT_PTR DoModal();
  void EndDialog(int result);

  virtual void DoDataExchange(CDataExchange*) {}
  // Runs the data exchange; TRUE lets the dialog manager set the focus.
  virtual BOOL OnInitDialog();
  // Sees each message for the dialog and its controls before it is
  // dispatched; TRUE swallows it. The base does the dialog keyboard handling.
  virtual BOOL PreTranslateMessage(MSG* msg);
  // Message box owned by the dialog.
  int MessageBox(const wchar_t* text, const wchar_t* caption, UINT type) {
    return ::MessageBoxW(m_hWnd, text, caption, type);
  }

  BEGIN_MSG_MAP(CDialogEx)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialogMessage)
  END_MSG_MAP()

 protected:
  UINT m_nIDTemplate;
  CWnd* m_pParentWnd;

 private:
  static INT_PTR CALLBACK StartDialogProc(HWND hWnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT OnInitDialogMessage(UINT, WPARAM, LPARAM, BOOL&) { return OnInitDialog(); }
  bool m_bEnded = false;
  int m_nResult = -1;
};

// ---------------------------------------------------------------- application

class CShellManager {};

class CWinApp {
 public:
  explicit CWinApp(const wchar_t* appName = nullptr);
  virtual ~CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;

  // Start hook: TRUE runs a message loop, FALSE ends the process with ExitInstance's result.
  virtual BOOL InitInstance();
  // Exit hook: its result is the process exit status.
  virtual int ExitInstance();
  void SetRegistryKey(const wchar_t* company) { m_strRegistryKey = company; }

  HINSTANCE m_hInstance = nullptr;
  CWnd* m_pMainWnd = nullptr;
  CString m_strRegistryKey;
  int m_nExitCode = 0;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetInstanceHandle();
HINSTANCE AfxGetResourceHandle();

// ---------------------------------------------------------------- file search

class CFileFind {
 public:
  CFileFind() = default;
  ~CFileFind() { Close(); }
  CFileFind(const CFileFind&) = delete;
  CFileFind& operator=(const CFileFind&) = delete;

  // Starts a search; TRUE when something matched. FindNextFile must be called
  // before the first entry is read.
  BOOL FindFile(const wchar_t* pattern);
  // Moves to the next entry; FALSE when the entry now current is the last one.
  BOOL FindNextFile();
  BOOL IsDots() const;
  BOOL IsDirectory() const { return MatchesMask(FILE_ATTRIBUTE_DIRECTORY); }
  BOOL MatchesMask(DWORD mask) const { return m_bHaveCurrent && (m_found.dwFileAttributes & mask) != 0; }
  const wchar_t* GetFileName() const { return m_found.cFileName; }
  void Close();

 private:
  HANDLE m_hFind = INVALID_HANDLE_VALUE;
  WIN32_FIND_DATAW m_found = {};
  WIN32_FIND_DATAW m_next = {};
  bool m_bHaveNext = false;
  bool m_bHaveCurrent = false;
};

// ---------------------------------------------------------------- threads

typedef UINT(__cdecl* AFX_THREADPROC)(LPVOID);
// Starts a detached thread running proc(param); FALSE when it could not start.
BOOL AfxBeginThread(AFX_THREADPROC proc, LPVOID param);
