#include "update/Progress.h"

#include "app/Format.h"
#include "resources/resource.h"
#include "ui/LocalizedText.h"
#include "ui/MainDialogLogic.h"

std::atomic<int32_t> g_iUpdateState{0};
std::atomic<int32_t> g_iUpdateStage{0};
std::atomic<int32_t> g_iProgress{0};

int32_t ScaleProgress(int32_t stage, int value) {
  // Single precision, in this order: the shown numbers depend on its rounding.
  const float v = static_cast<float>(value);
  if (stage == 2) {
    const float scaled = v * 0.49f;
    return static_cast<int32_t>(scaled);
  }
  if (stage == 1) {
    const float part = v * 0.98f;
    const float half = part * 0.5f;
    const float shifted = half + 50.0f;
    return static_cast<int32_t>(shifted);
  }
  return 0;
}

CReportGate<std::mutex> g_updateReports(true);

void VENDOR_CALL UpdateProgressCallback(int status, int value) {
  const std::unique_lock<std::mutex> open = g_updateReports.Enter();
  if (!open.owns_lock()) return;
  if (status == 7) {
    // A stage reports 0..100; anything outside would show impossible percentages
    // and push the high mark past the next stage.
    if (value < 0) value = 0;
    if (value > 100) value = 100;
    int32_t iProgress = ScaleProgress(g_iUpdateStage.load(), value);
    if (iProgress > g_iProgress.load()) {
      if (CMainDialogLogic* dlg = g_pMainDlg) dlg->ShowProgress(iProgress);
      g_iProgress.store(iProgress);
    }
  }
  g_iUpdateState.store(status);
}

void CMainDialogLogic::ShowProgress(int percent) {
  m_view.SetProgressPos(percent);
  wchar_t completed[LOCALIZED_TEXT_UNITS];
  LoadLocalizedString(m_wLanguage, IDS_COMPLETED, completed, LOCALIZED_TEXT_UNITS, L"Completed ");
  m_view.SetControlText(IDC_PROGRESS_TEXT, FormatText(L"%ls %d%%", completed, percent));
}
