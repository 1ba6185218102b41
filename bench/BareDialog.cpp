// A bare dialog of the updater's size, started the same way, so that the
// start-up benchmark can tell the updater's own start-up cost from Wine's.
#include <windows.h>

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
  DialogBoxParamW(instance, MAKEINTRESOURCEW(101), nullptr, &BareProc, 0);
  return 0;
}
