// The update worker: the Kestrel stage with its retry, the Tamber stage, and
// the report of the outcome.
#include <cwchar>
#include <functional>
#include <string>

#include "app/Format.h"
#include "app/Log.h"
#include "app/Thread.h"
#include "device/Version.h"
#include "kestrel/KestrelDfu.h"
#include "resources/resource.h"
#include "ui/LocalizedText.h"
#include "ui/MainDialogLogic.h"
#include "update/ErrorText.h"
#include "update/Progress.h"

namespace {

constexpr int kKestrelRetry = 2;      // the flow's "try again"
constexpr int kKestrelAttempts = 2;
constexpr DWORD kKestrelRetryPauseMs = 5000;

// The IDs travel as hexadecimal texts; the flow takes their low 16 bits.
uint16_t HexId(const std::wstring& text) {
  return static_cast<uint16_t>(std::wcstoul(text.c_str(), nullptr, 16) & 0xFFFFu);
}

#ifndef _WIN32
std::string ToUtf8(const std::wstring& path) {
  std::string out;
  for (wchar_t wc : path) {
    uint32_t c = static_cast<uint32_t>(wc);
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}
#endif

}  // namespace

bool SdkPathFrom(const std::wstring& path, const NarrowPathFn& narrow,
                 const std::function<std::wstring(const std::wstring&)>& shortForm, std::string* out) {
  auto names = [&](const std::wstring& wide) {
    std::string process;
    return !wide.empty() && narrow(CP_THREAD_ACP, wide, out) && narrow(CP_ACP, wide, &process) && *out == process;
  };
  if (names(path) || names(shortForm(path))) return true;
  out->clear();
  return false;
}

#ifdef _WIN32
bool NarrowPathIn(UINT codePage, const std::wstring& wide, std::string* narrow) {
  narrow->clear();
  if (wide.empty()) return true;
  const int units = static_cast<int>(wide.size());
  BOOL lossy = FALSE;
  DWORD flags = WC_NO_BEST_FIT_CHARS;
  BOOL* lossyOut = &lossy;
  int n = WideCharToMultiByte(codePage, flags, wide.c_str(), units, nullptr, 0, nullptr, lossyOut);
  if (n <= 0 && (GetLastError() == ERROR_INVALID_FLAGS || GetLastError() == ERROR_INVALID_PARAMETER)) {
    flags = WC_ERR_INVALID_CHARS;
    lossyOut = nullptr;
    n = WideCharToMultiByte(codePage, flags, wide.c_str(), units, nullptr, 0, nullptr, nullptr);
  }
  if (n <= 0 || lossy) return false;
  narrow->assign(static_cast<size_t>(n), '\0');
  n = WideCharToMultiByte(codePage, flags, wide.c_str(), units, &(*narrow)[0], n, nullptr, lossyOut);
  return n > 0 && !lossy;
}
#endif

// The SDK takes an 8-bit path. A character the code page lacks would turn
// into '?' or a look-alike and name another file (or none).
// Natively the file functions take UTF-8, which holds every path.
bool AnsiPathForSdk(const std::wstring& path, std::string* out) {
#ifdef _WIN32
  return SdkPathFrom(path, NarrowPathIn,
                     [](const std::wstring& wide) {
                       wchar_t shortPath[MAX_PATH];
                       const DWORD n = GetShortPathNameW(wide.c_str(), shortPath, MAX_PATH);
                       return n > 0 && n < MAX_PATH ? std::wstring(shortPath, n) : std::wstring();
                     },
                     out);
#else
  return SdkPathFrom(
      path, [](UINT, const std::wstring& wide, std::string* narrow) { return *narrow = ToUtf8(wide), true; },
      [](const std::wstring&) { return std::wstring(); }, out);
#endif
}

namespace {

void Log(const wchar_t* text) {
  if (g_bWriteLog) WriteLogFile(text);
}

void Log(const std::wstring& text) {
  if (g_bWriteLog) WriteLogFile(text);
}

}  // namespace

bool CMainDialogLogic::PackageUsable() {
  if (m_szSfwPath[0] == L'\0') {
    DebugTrace(L"debug_:no firmware package (its query failed at start-up), no update run");
    return false;
  }
  if (!m_api.fnFWU_GetFileInfo) return true;
  unsigned short vid = 0, pid = 0;
  unsigned int deviceVersion = 0, fileVersion = 0, reserved1 = 0, reserved2 = 0;
  m_api.fnFWU_GetFileInfo(m_szSfwPath, &vid, &pid, &deviceVersion, &fileVersion, &reserved1, &reserved2);
  if (fileVersion == 0) {
    DebugTrace(L"debug_:firmware package %ls is not usable, no update run", m_szSfwPath);
    return false;
  }
  return true;
}

bool CMainDialogLogic::OnCloseRequest() {
  if (CanClose()) {
    m_bAcceptsUpdates.store(false);
    return true;
  }
  // The result is out (255) and the worker is only returning: ask again
  // shortly rather than drop the user's close. The worker itself never
  // touches the window after it has cleared its running flag.
  if (g_iUpdateState.load() == 255) m_view.RequestClose();
  return false;
}

bool CMainDialogLogic::StartWorker() {
  // A worker on a dialog that is initialising or ending would outlive it, or
  // use the library and payloads its teardown releases.
  if (!m_bAcceptsUpdates.load()) {
    DebugTrace(L"debug_:the window is not open for an update, none run");
    return false;
  }
  // Claimed before the thread exists, so that the window sees the update from
  // its first instruction and a second click cannot start another.
  bool expected = false;
  if (!m_bWorkerRunning.compare_exchange_strong(expected, true)) return false;
  HoldForStages(true);
  if (!StartDetachedThread([this] { Thread_UpdateFW(); })) {
    DebugTrace(L"debug_:the update thread could not be started");
    HoldForStages(false);
    m_bWorkerRunning.store(false);
    return false;
  }
  return true;
}

void CMainDialogLogic::HoldForStages(bool hold) {
  m_bStagesRunning.store(hold);
  m_view.HoldSystem(hold);
}

void CMainDialogLogic::OnEndSession(bool ending) {
  if (!ending || !m_bStagesRunning.load()) return;
  auto stage = [] {
    const int32_t s = g_iUpdateStage.load();
    return s == 2 ? L"Kestrel" : s == 1 ? L"MCU" : L"first";
  };
  DebugTrace(L"debug_:the session ends during the %ls stage of an update: up to %u ms for it to finish", stage(),
             static_cast<unsigned>(kSessionEndWaitMs));
  // On the update's clock. The worker's and the libraries' reports reach the
  // window by SendMessageW: they are handled while this waits, or the stage
  // would stall behind it.
  IKestrelTime& time = KestrelTime();
  const int64_t deadline = time.NowMs() + kSessionEndWaitMs;
  for (int64_t now = time.NowMs(); m_bStagesRunning.load() && now < deadline; now = time.NowMs())
    m_view.WaitHandlingSentMessages(static_cast<DWORD>(deadline - now < 50 ? deadline - now : 50));
  if (!m_bStagesRunning.load()) {
    DebugTrace(L"debug_:the update's stages ended before the session");
    return;
  }
  DebugTrace(L"debug_:the session ends with the %ls stage unfinished: a mouse left in its boot loader is brought "
             L"back by the recovery program, OrvaneUpdaterRecovery.exe",
             stage());
}

UINT CMainDialogLogic::Thread_UpdateFW() {
  m_bUpdateStarted.store(1);
  // Each update shows its own progress: the high mark of an earlier one (a
  // second update through WM_START_UPDATE) would hide this one's up to there.
  g_iProgress.store(0);
  ShowProgress(0);
  Log(L"Thread_UpdateFW->OnFirmwareUpdate");
  const bool ok = OnFirmwareUpdate();
  HoldForStages(false);  // nothing writes any more
  Log(ok ? L"Thread_UpdateFW true" : L"Thread_UpdateFW false");
  g_iUpdateState.store(255);

  wchar_t message[LOCALIZED_TEXT_UNITS];
  if (ok) {
    SetVersionText(m_view, IDC_DEVICE_VERSION, m_strFileVersion);
    m_view.SetProgressPos(100);
    wchar_t finished[LOCALIZED_TEXT_UNITS];
    LoadLocalizedString(m_wLanguage, IDS_UPDATE_FINISHED, finished, LOCALIZED_TEXT_UNITS, L"Update finished.");
    m_view.SetControlText(IDC_PROGRESS_TEXT, finished);
    LoadLocalizedString(m_wLanguage, IDS_UPDATE_IS_COMPLETED, message, LOCALIZED_TEXT_UNITS, L"Update is completed.");
    m_view.SetControlText(IDC_NOTICE, message);
    Log(L"Update is completed.");
  } else {
    m_view.SetControlText(IDC_PROGRESS_TEXT, L"");
    m_view.SetControlText(IDC_NOTICE, L"");
    LoadLocalizedString(m_wLanguage, IDS_UPDATE_FAILED, message, LOCALIZED_TEXT_UNITS,
                        L"Update failed.\r\nPlease check USB connection and try again.");
    Log(L"Update failed.");
  }
  m_view.ShowMessageBox(message, m_strMsgCaption.c_str(), MB_OK);

  // The last step: from here on the window may close and unload the library.
  m_bWorkerRunning.store(false);
  return 0;
}

bool CMainDialogLogic::OnFirmwareUpdate() {
  g_iUpdateState.store(0);
  g_updateReports.Open();
  const uint16_t vid = HexId(m_settings.m_strVid);
  const uint16_t pid = HexId(m_settings.m_strPid);
  std::string binPath;
  const bool binPathUsable = m_bTamberOnly || AnsiPathForSdk(m_strBinPath, &binPath);

  // Without the updater library the Tamber stage cannot run, and a Kestrel
  // stage alone would leave the mouse half updated: run neither.
  if (!m_api.fnFWU_Update) {
    DebugTrace(L"debug_:FWUpdater.dll is not loaded (FWU_Update not bound), no update run");
    g_updateReports.Close();
    g_iUpdateState.store(10);
    return false;
  }

  // The package is settled before the mouse is touched: a Kestrel stage run
  // for a package the library cannot use would leave the mouse half updated.
  // (Alone, the Tamber stage has the library check its package itself.)
  bool result = false;
  bool proceed = m_bTamberOnly || PackageUsable();
  // The updater library refuses two mice (-6) only after the Kestrel stage
  // has written one of them: refused here, before any write. Without a
  // Kestrel stage the library's own refusal comes first and is reported.
  if (proceed && !m_bTamberOnly) {
    const int mice = CountMatchingMice();
    if (mice > 1) {
      DebugTrace(L"debug_:%d mice with %ls are plugged in, no update run: unplug all but one", mice,
                 m_settings.m_strDevicePattern.c_str());
      proceed = false;
    }
  }
  if (proceed && !binPathUsable) {
    DebugTrace(L"debug_:the image path %ls has no form the ANSI code page can represent, no update run",
               m_strBinPath.c_str());
    proceed = false;
  }
  if (proceed && !m_bTamberOnly) {
    Log(L"run_dfu_flow_wired_mouse");
    g_iUpdateStage.store(2);
    int nUpdateTimes = 0;
    int32_t ret = 0;
    for (;;) {
      Log(FormatText(L"run_dfu_flow_wired_mouse nUpdateTimes:%d", nUpdateTimes));
      ret = m_pfnKestrelFlow(vid, pid, binPath.c_str());
      if (ret != kKestrelRetry) break;
      Log(FormatText(L"run_dfu_flow_wired_mouse nUpdateTimes:%d, ret:%d", nUpdateTimes, ret));
      ++nUpdateTimes;
      m_sleep(kKestrelRetryPauseMs);
      if (nUpdateTimes >= kKestrelAttempts) break;
    }
    Log(FormatText(L"run_dfu_flow_wired_mouse return code:%d", ret));
    if (ret != 0) {
      Log(FormatText(L"run_dfu_flow_wired_mouse return false:%d", ret));
      proceed = false;
    }
  }

  if (proceed) {
    g_iUpdateStage.store(1);
    Log(L"FWU_Update UPDATE_TAMBER");
    const int r = m_api.fnFWU_Update(m_szSfwPath, UpdateProgressCallback);
    result = r != 0;
  }

  if (!result) {
    if (m_api.fnFWU_Get_FW_ErrorCode) {
      const int code = m_api.fnFWU_Get_FW_ErrorCode();
      const std::wstring text = GetUpdateErrorText(code);
      DebugTrace(L"debug_:Error Code=%d ,Error string=%ls", code, text.c_str());
      Log(FormatText(L"fnFWU_Get_FW_ErrorCode:%d--%ls", code, text.c_str()));
    } else {
      DebugTrace(L"debug_:FWU_Get_FW_ErrorCode is not bound, no error code");
    }
  }

  // Reports that come after this are late: they change nothing any more.
  g_updateReports.Close();
  g_iUpdateState.store(10);
  return result;
}
