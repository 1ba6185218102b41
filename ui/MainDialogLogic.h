#pragma once
// The decisions of the main window, free of Win32: start-up's package query and
// device check, scanning and the ready/absent states, arrival and removal, the
// Update command, the worker's stages and progress. The Win32 dialog forwards
// its messages here and implements IMainView; tests drive this class with fakes.
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "app/Platform.h"
#include "app/Settings.h"
#include "device/HidDeviceList.h"
#include "ui/MainView.h"
#include "vendor/FWUpdater.h"

// One Kestrel DFU attempt: (vid, pid, narrow image path) -> result.
typedef int32_t (*KestrelFlowFn)(uint16_t vid, uint16_t pid, const char* path);
// The image path in the thread's ANSI code page, as the Kestrel SDK takes it:
// the path itself, else its short form; false when neither names the file.
bool AnsiPathForSdk(const std::wstring& path, std::string* out);
// A path in one code page; false when it cannot be converted without loss.
typedef std::function<bool(UINT codePage, const std::wstring& wide, std::string* narrow)> NarrowPathFn;
// The decision behind AnsiPathForSdk. The path is converted in the thread's
// ANSI code page but the SDK opens it in the process's (CP_ACP), which differ
// where the user's format locale is not the system's: a path counts only when
// both convert it without loss to the same bytes. Else its short form (empty:
// none), by the same test.
bool SdkPathFrom(const std::wstring& path, const NarrowPathFn& narrow,
                 const std::function<std::wstring(const std::wstring&)>& shortForm, std::string* out);
#ifdef _WIN32
// WideCharToMultiByte without best-fit characters or a default character;
// a UTF-8 code page (also the system's, where so set) takes neither and loses
// only lone surrogates, which it then refuses.
bool NarrowPathIn(UINT codePage, const std::wstring& wide, std::string* narrow);
#endif

class CMainDialogLogic {
 public:
  CMainDialogLogic(IMainView& view, CDeviceSettings& settings, IHidBackend& hid);
  CMainDialogLogic(const CMainDialogLogic&) = delete;
  CMainDialogLogic& operator=(const CMainDialogLogic&) = delete;

  // ---- start-up
  // First thing of the dialog's initialisation: no worker may start until the
  // window is up with a device (message boxes of the initialisation run a
  // message loop that 2039 can reach).
  void BeginInitialization() { m_bAcceptsUpdates.store(false); }
  // After the library is bound: boot-loader IDs, package query, captions.
  void QueryPackage();
  // After the start-up scan: TRUE and the ready state when a device version is
  // known, else the "No device found." box and the end of the dialog (FALSE).
  BOOL FinishInitialization();
  // The Cancel command's test: false while an update reports or a worker runs.
  bool CanClose() const;
  // CanClose for a close request from the user, on the window's thread. A
  // request refused only because the worker is taking its last steps after
  // showing the result is asked again shortly (IMainView::RequestClose).
  // Once it says yes the window is ending: no worker starts any more, not from
  // an answer to a prompt that is still open.
  bool OnCloseRequest();

  // WM_ENDSESSION, on the window's thread. When the session really ends
  // (`ending`) while the worker's stages run, the system ends the process soon
  // after this returns, whatever is being written: the running stage is given
  // up to kSessionEndWaitMs (less than the few seconds the system allows) to
  // finish, and a debugger line says how it ended. A stage cut short is not
  // saved by this: an interrupted MCU write leaves the mouse in its boot
  // loader, from which the recovery program brings it back.
  static constexpr DWORD kSessionEndWaitMs = 4000;
  void OnEndSession(bool ending);

  // ---- devices
  void ScanDevices();
  BOOL CheckDeviceEntry(const HID_DEVICE_ENTRY& entry);
  void ShowDeviceReady();
  // eventCode and deviceType as in WM_DEVICECHANGE; name is dbcc_name (null for other types).
  BOOL HandleDeviceChange(UINT eventCode, DWORD deviceType, const wchar_t* name);
  void OnDeviceArrived(const wchar_t* name);
  void ShowDeviceAbsent();

  // ---- update
  void OnBnClickedUpdate();
  // WM_START_UPDATE: the notice line and a worker, without the prompt.
  void OnStartUpdateMessage();
  // Starts Thread_UpdateFW unless one runs or the window is not open for
  // updates (initialising or ending); false when none was started.
  bool StartWorker();
  UINT Thread_UpdateFW();
  bool OnFirmwareUpdate();
  void ShowProgress(int percent);
  bool IsWorkerRunning() const { return m_bWorkerRunning.load(); }
  // No update reports and no worker runs: arrivals and removals may change the window.
  bool IsIdle() const;

  // ---- fields of the dialog that the decisions use
  std::atomic<int> m_bUpdateStarted{0};
  std::wstring m_strDevicePath;
  std::wstring m_strTmbDllPath;
  std::wstring m_strUpdaterDllPath;
  std::wstring m_strSfwPath;
  std::wstring m_strBinPath;
  wchar_t m_szSfwPath[260] = {};
  CHidDeviceList m_DeviceList;
  std::wstring m_strTitle;
  std::wstring m_strMsgCaption;
  std::wstring m_strDeviceVersion;
  std::wstring m_strFileVersion;
  DWORD m_dwDeviceVersion = 0;
  DWORD m_dwFileVersion = 0;
  WORD m_wLanguage = 0;
  bool m_bTamberOnly = false;
  UpdaterApi m_api;  // the bound entry points of the updater library

  // ---- seams
  KestrelFlowFn m_pfnKestrelFlow;         // run_dfu_flow_wired_mouse
  std::function<void(DWORD ms)> m_sleep;  // the worker's 5,000 ms pauses, on the Kestrel flow's clock

  IMainView& m_view;
  CDeviceSettings& m_settings;
  IHidBackend& m_hid;

 private:
  // The worker's check that the library accepts the package before any stage runs.
  bool PackageUsable();
  // How many mice with the device pattern are plugged in: interfaces of one
  // device (its collections) count once.
  int CountMatchingMice();
  // Set by StartWorker before the thread starts and cleared as the thread's last step.
  std::atomic<bool> m_bWorkerRunning{false};
  // From StartWorker until the worker's stages are over: the system is held meanwhile.
  std::atomic<bool> m_bStagesRunning{false};
  void HoldForStages(bool hold);
  // False while the dialog initialises and once it is ending: StartWorker refuses.
  std::atomic<bool> m_bAcceptsUpdates{true};
};

// The main window's logic, set at the start of payload preparation; the
// progress callback reaches the window through it.
extern CMainDialogLogic* g_pMainDlg;
extern bool g_bScanning;
extern const wchar_t* const g_szStatusText[8];
