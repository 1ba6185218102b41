#pragma once
// The main window: the Win32 side of the updater's one dialog. It prepares the
// payloads and the updater library, lays out and paints the window, and hands
// every decision to CMainDialogLogic, for which it is the IMainView.
#include <windows.h>

#include <string>

#include "framework/AfxWin.h"
#include "resources/resource.h"
#include "ui/ColorButton.h"
#include "ui/DialogLayout.h"
#include "ui/MainDialogLogic.h"

class COrvaneUpdaterDlg : public CDialogEx, public IMainView {
 public:
  enum { IDD = IDD_MAIN };
  // HoldSystem from another thread: the hold belongs to the window's thread.
  enum { WM_HOLD_SYSTEM = WM_APP + 1 };
  explicit COrvaneUpdaterDlg(CWnd* pParent = nullptr);
  ~COrvaneUpdaterDlg() override;

  // ---- IMainView (SetControlText and SetProgressPos from any thread)
  void SetControlText(int controlId, const std::wstring& text) override;
  void SetProgressPos(int pos) override;
  void EnableUpdateButton(bool enable) override;
  void SetUpdateAppearance(UINT normalPng, UINT hoverPng, COLORREF text, const wchar_t* face,
                           const wchar_t* caption) override;
  int ShowMessageBox(const std::wstring& text, const wchar_t* caption, UINT type) override;
  void EndDialog(int result) override { CDialogEx::EndDialog(result); }
  void RequestClose() override;
  void HoldSystem(bool hold) override;
  void WaitHandlingSentMessages(DWORD ms) override;

  // ---- the framework's hooks
  void DoDataExchange(CDataExchange* pDX) override { BindControls(pDX); }
  BOOL OnInitDialog() override { return InitializeDialog(); }
  BOOL PreTranslateMessage(MSG* pMsg) override { return FilterDialogKeys(pMsg); }
  LRESULT DefWindowProc(UINT msg, WPARAM wParam, LPARAM lParam) override {
    return HandleDefaultMessage(msg, wParam, lParam);
  }

  void BindControls(CDataExchange* pDX);
  BOOL InitializeDialog();
  BOOL FilterDialogKeys(MSG* pMsg);
  LRESULT HandleDefaultMessage(UINT msg, WPARAM wParam, LPARAM lParam);

  // Payloads (written into the work folder, held until the dialog closes).
  void PreparePayloads();
  void ExtractResourceToFile(WORD id, const wchar_t* type, const wchar_t* fileName);

  // Layout and painting.
  void LayoutControls();
  int ProgressTextWidth();
  BOOL DrawBackground(HDC dc);
  HBRUSH SelectControlColors(HDC dc, HWND control, UINT kind);
  HCURSOR QueryDragIcon() { return reinterpret_cast<HCURSOR>(m_hIcon); }

  void OnBnClickedCancel();
  void OnBnClickedUpdate() { m_logic.OnBnClickedUpdate(); }

  BEGIN_MSG_MAP(COrvaneUpdaterDlg)
    MESSAGE_HANDLER(WM_PAINT, OnPaint)
    MESSAGE_HANDLER(WM_QUERYDRAGICON, OnQueryDragIcon)
    MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBkgnd)
    COMMAND_HANDLER(IDOK, BN_CLICKED, OnBnClickedUpdate)
    COMMAND_HANDLER(IDCANCEL, BN_CLICKED, OnBnClickedCancel)
    MESSAGE_RANGE_HANDLER(WM_CTLCOLORMSGBOX, WM_CTLCOLORSTATIC, OnCtlColor)
    MESSAGE_HANDLER(WM_DEVICECHANGE, OnDeviceChange)
    MESSAGE_HANDLER(WM_TIMER, OnTimer)
    MESSAGE_HANDLER(WM_QUERYENDSESSION, OnQueryEndSession)
    MESSAGE_HANDLER(WM_ENDSESSION, OnEndSession)
    MESSAGE_HANDLER(WM_HOLD_SYSTEM, OnHoldSystem)
    CHAIN_MSG_MAP(CDialogEx)
  END_MSG_MAP()

  // The decisions, and the fields of the dialog they keep (paths, versions,
  // captions, the device list).
  CMainDialogLogic m_logic;

  // The system's DPI, read once at start; every measure of the layout goes through it.
  CDialogScale m_scale;
  HFONT m_pFontNormal = nullptr;
  HFONT m_pFontLarge = nullptr;
  HBITMAP m_bmpBackground = nullptr;
  HBRUSH m_brBackground = nullptr;
  HMODULE m_hUpdaterDll = nullptr;
  const void* m_pResData = nullptr;
  DWORD m_dwResSize = 0;
  HICON m_hIcon = nullptr;
  CColorButton m_btnUpdate;
  CButton m_btnCancel;
  CComboBox m_cboLayout;
  CProgressCtrl m_progress;
  CStatic m_stNotice;
  CStatic m_stExtra;

 private:
  LRESULT OnPaint(UINT, WPARAM, LPARAM, BOOL& bHandled);
  LRESULT OnQueryDragIcon(UINT, WPARAM, LPARAM, BOOL&) { return reinterpret_cast<LRESULT>(QueryDragIcon()); }
  LRESULT OnEraseBkgnd(UINT, WPARAM wParam, LPARAM, BOOL&) { return DrawBackground(reinterpret_cast<HDC>(wParam)); }
  LRESULT OnCtlColor(UINT msg, WPARAM wParam, LPARAM lParam, BOOL&) {
    return reinterpret_cast<LRESULT>(
        SelectControlColors(reinterpret_cast<HDC>(wParam), reinterpret_cast<HWND>(lParam), msg - WM_CTLCOLORMSGBOX));
  }
  LRESULT OnDeviceChange(UINT, WPARAM wParam, LPARAM lParam, BOOL&);
  LRESULT OnTimer(UINT, WPARAM wParam, LPARAM, BOOL& bHandled);
  // A sign-out or shutdown is refused while an update writes.
  LRESULT OnQueryEndSession(UINT, WPARAM, LPARAM, BOOL&) { return m_bHoldingSystem ? FALSE : TRUE; }
  // The session ends all the same (the user forced it): the logic decides how
  // long the running stage may still take.
  LRESULT OnEndSession(UINT, WPARAM wParam, LPARAM, BOOL&) {
    m_logic.OnEndSession(wParam != FALSE);
    return 0;
  }
  LRESULT OnHoldSystem(UINT, WPARAM wParam, LPARAM, BOOL&) {
    ApplyHold(wParam != 0);
    return 0;
  }
  void ApplyHold(bool hold);

  void ExtractPayloads();
  void LoadUpdaterLibrary();
  void DeletePayloadFiles();
  void ReleaseUpdaterLibrary();
  HANDLE& PayloadHold(WORD id);

  // Each payload file stays open, denying writes and deletion, from its
  // writing until the dialog closes: Mouse_TMB.sfw, MouseFW.bin, FWUpdater.dll, Tmb.dll.
  HANDLE m_hPayloadHold[4] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE,
                              INVALID_HANDLE_VALUE};
  // Which payloads this run wrote: only those are deleted when it closes.
  bool m_bPayloadWritten[4] = {false, false, false, false};
  // Tmb.dll, loaded by its full path before the updater library so that the
  // library's use of it by name resolves to this module.
  HMODULE m_hTmbDll = nullptr;
  // Set (on the window's thread) while an update writes: the window refuses
  // the end of the session and gives the reason, and idle sleep is kept away.
  bool m_bHoldingSystem = false;
};
