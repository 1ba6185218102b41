// A bare dialog of the updater's size, started the same way, so that the
// start-up benchmark can tell the updater's own start-up cost from Wine's.
// Built twice: bare_dialog (one button, no manifest) and bare_window (the
// updater's own template and manifest, common controls included), which
// tells what the window itself costs from what the program does behind it.
#include <windows.h>
#include <commctrl.h>

#ifdef BARE_UPDATER_WINDOW
#include "resources/resource.h"
#endif

namespace {
INT_PTR CALLBACK BareProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  if (message == WM_INITDIALOG) return TRUE;
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    EndDialog(dialog, 0);
    return TRUE;
  }
  if (message == WM_CLOSE) {
    EndDialog(dialog, 0);
    return TRUE;
  }
  return FALSE;
}
}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
#ifdef BARE_UPDATER_WINDOW
  INITCOMMONCONTROLSEX icc = {sizeof(icc), ICC_WIN95_CLASSES | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&icc);  // the template names the progress bar
#endif
  DialogBoxParamW(instance, MAKEINTRESOURCEW(BARE_DIALOG_ID), nullptr, &BareProc, 0);
  return 0;
}
