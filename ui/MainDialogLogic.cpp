#include "ui/MainDialogLogic.h"

#include <chrono>
#include <cwchar>
#include <thread>

#include "app/Format.h"
#include "app/Log.h"
#include "device/Version.h"
#include "kestrel/KestrelDfu.h"
#include "resources/resource.h"
#include "ui/LocalizedText.h"
#include "update/Progress.h"

CMainDialogLogic* g_pMainDlg = nullptr;

CMainDialogLogic::CMainDialogLogic(IMainView& view, CDeviceSettings& settings, IHidBackend& hid)
    : m_DeviceList(hid),
      m_pfnKestrelFlow(run_dfu_flow_wired_mouse),
      // The pause between Kestrel attempts runs on the flow's clock.
      m_sleep([](DWORD ms) { KestrelTime().SleepMs(ms); }),
      m_view(view),
      m_settings(settings),
      m_hid(hid) {}

// ---- start-up

namespace {
const wchar_t kTitleDefault[] = L"Orvane Tessik - Firmware Updater";
const wchar_t kTitlePackage[] = L"Orvane Dravik Mouse\u2013 Firmware Updater";
const wchar_t kMessageCaption[] = L"Orvane Firmware Updater";

// Low 16 bits of a hexadecimal ID text; anything unreadable counts as 0.
uint16_t HexId(const std::wstring& text) {
  return static_cast<uint16_t>(std::wcstoul(text.c_str(), nullptr, 16) & 0xFFFFu);
}
}  // namespace

void CMainDialogLogic::QueryPackage() {
  const uint16_t bootVid = HexId(m_settings.m_strBootVid);
  const uint16_t bootPid = HexId(m_settings.m_strBootPid);
  if (m_api.fnSet_Bootloader_ID) m_api.fnSet_Bootloader_ID(bootVid, bootPid);

  m_strTitle = kTitleDefault;
  if (m_api.fnFWU_GetFileInfo) {
    unsigned short vid = 0, pid = 0;
    unsigned int deviceVersion = m_dwDeviceVersion, fileVersion = m_dwFileVersion;
    unsigned int reserved1 = 0, reserved2 = 0;
    m_api.fnFWU_GetFileInfo(m_strSfwPath.c_str(), &vid, &pid, &deviceVersion, &fileVersion, &reserved1, &reserved2);
    m_dwDeviceVersion = deviceVersion;
    m_dwFileVersion = fileVersion;
    if (m_dwFileVersion != 0) {
      m_bTamberOnly = vid == bootVid && pid == bootPid;
      m_strFileVersion = FormatFileVersion(m_dwFileVersion);
      m_strDeviceVersion = FormatDeviceVersion(m_dwDeviceVersion);
      m_settings.m_strVid = FormatText(L"%04X", static_cast<unsigned>(vid));
      m_settings.m_strPid = FormatText(L"%04X", static_cast<unsigned>(pid));
      m_settings.RebuildDevicePattern();
      // The library gets the whole path or none: a cut path would name another file.
      if (m_strSfwPath.size() < sizeof(m_szSfwPath) / sizeof(m_szSfwPath[0])) {
        std::wmemcpy(m_szSfwPath, m_strSfwPath.c_str(), m_strSfwPath.size() + 1);
      } else {
        m_szSfwPath[0] = L'\0';
        DebugTrace(L"Package path too long : %ls", m_strSfwPath.c_str());
      }
    }
  }
  if (m_dwFileVersion != 0) m_strTitle = kTitlePackage;
  m_strMsgCaption = kMessageCaption;
}

BOOL CMainDialogLogic::FinishInitialization() {
  if (m_dwDeviceVersion == 0) {
    // The box runs a message loop; the dialog ends after it.
    m_bAcceptsUpdates.store(false);
    if (g_bWriteLog) WriteLogFile(L"No device found.");
    wchar_t szText[LOCALIZED_TEXT_UNITS];
    LoadLocalizedString(m_wLanguage, IDS_NO_DEVICE, szText, LOCALIZED_TEXT_UNITS,
                        L"No device found.\r\nPlease connect your device to get started.");
    m_view.ShowMessageBox(szText, m_strMsgCaption.c_str(), MB_OK);
    m_view.EndDialog(0);
    return FALSE;
  }
  m_bAcceptsUpdates.store(true);
  ShowDeviceReady();
  return TRUE;
}

bool CMainDialogLogic::CanClose() const {
  // Never while a worker runs: it uses the library, the payloads and the
  // window. The state word reads 0 from a worker's start until its first
  // report, so the running flag decides in that gap.
  if (IsWorkerRunning()) return false;
  const int32_t state = g_iUpdateState.load();
  if (state == 0 || state == 255) return true;
  // A report that arrives after the worker has shown its result (the SDK's
  // own thread may still send one) must not lock the window open for good.
  return m_bUpdateStarted.load() != 0;
}
