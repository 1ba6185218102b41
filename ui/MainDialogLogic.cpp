#include "ui/MainDialogLogic.h"

#include <chrono>
#include <thread>

#include "kestrel/KestrelDfu.h"

CMainDialogLogic* g_pMainDlg = nullptr;

CMainDialogLogic::CMainDialogLogic(IMainView& view, CDeviceSettings& settings, IHidBackend& hid)
    : m_DeviceList(hid),
      m_pfnKestrelFlow(run_dfu_flow_wired_mouse),
      m_sleep([](DWORD ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }),
      m_view(view),
      m_settings(settings),
      m_hid(hid) {}
