// The process's entry: the one application object's start hook, a message loop
// only when the start hook asks for one, and the exit hook's result.
#include "framework/AfxWin.h"

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE, PWSTR, int) {
  CWinApp* app = AfxGetApp();
  if (!app) return -1;
  app->m_hInstance = hInstance;
  if (app->InitInstance()) {
    MSG msg;
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    app->m_nExitCode = static_cast<int>(msg.wParam);
  }
  return app->ExitInstance();
}
