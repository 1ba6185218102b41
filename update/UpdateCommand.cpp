// The Update command and the message that starts an update without a prompt.
#include "device/Version.h"
#include "resources/resource.h"
#include "ui/LocalizedText.h"
#include "ui/MainDialogLogic.h"

// Status texts; only entry 2 is ever shown.
const wchar_t* const g_szStatusText[8] = {
    L"",
    L"Device detected.",
    L"Please DO NOT unplug Device",
    L"Your device has been successfully updated.",
    L"Update is completed",
    L"Update Failed",
    L"Firmware version error!",
    L"Unknow error!",
};

namespace {
void DisableUpdate(IMainView& view) {
  view.EnableUpdateButton(false);
  view.SetUpdateAppearance(IDB_PNG_INACTIVE, IDB_PNG_INACTIVE, RGB(176, 176, 176), L"Arial", nullptr);
}
}  // namespace

void CMainDialogLogic::OnBnClickedUpdate() {
  DisableUpdate(m_view);

  wchar_t prompt[LOCALIZED_TEXT_UNITS];
  if (IsPackageNewer(m_dwDeviceVersion, m_dwFileVersion))
    LoadLocalizedString(m_wLanguage, IDS_NEW_AVAILABLE, prompt, LOCALIZED_TEXT_UNITS, L"New version available, update?");
  else
    LoadLocalizedString(m_wLanguage, IDS_ALREADY_LATEST, prompt, LOCALIZED_TEXT_UNITS,
                        L"Already latest version, still update?");
  if (m_view.ShowMessageBox(prompt, m_strMsgCaption.c_str(), MB_YESNO) != IDYES) return;
  // An arrival while the prompt was open may have enabled the button again.
  DisableUpdate(m_view);
  // The prompt runs a message loop: an update may have started meanwhile.
  if (m_bUpdateStarted.load() || IsWorkerRunning()) return;

  wchar_t notice[LOCALIZED_TEXT_UNITS];
  LoadLocalizedString(m_wLanguage, IDS_DO_NOT_UNPLUG, notice, LOCALIZED_TEXT_UNITS, L"Please DO NOT unplug Device.");
  m_view.SetControlText(IDC_NOTICE, notice);
  StartWorker();
}

void CMainDialogLogic::OnStartUpdateMessage() {
  // Two workers on one device and one set of process-wide words would corrupt
  // the update: a request while one runs is ignored.
  if (IsWorkerRunning()) return;
  m_view.SetControlText(IDC_NOTICE, g_szStatusText[2]);
  StartWorker();
}
