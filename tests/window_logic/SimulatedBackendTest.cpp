#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "device/HidBackends.h"
#include "resources/resource.h"
#include "simmouse/SimMouse.h"
#include "tests/support/FakeMainView.h"
#include "tests/support/TempDir.h"
#include "ui/MainDialogLogic.h"
#include "update/Progress.h"

namespace {

class SimulatedBackendTest : public ::testing::Test {
 protected:
  SimulatedBackendTest() : statePath(dir.NativePath("mouse.state")), store(statePath), backend(statePath) {
    settings.m_strVid = L"7C3E";
    settings.m_strPid = L"5D1A";
    settings.RebuildDevicePattern();
    g_iUpdateState = 0;
    simmouse::Reset(store, 0x0101, "1.1.0");
  }
  TempDir dir;
  std::string statePath;
  simmouse::Store store;
  SimulatedHidBackend backend;
  FakeMainView view;
  CDeviceSettings settings;
};

TEST_F(SimulatedBackendTest, TheMouseIsFoundOnItsVendorInterfaceWithItsRevision) {
  CMainDialogLogic logic(view, settings, backend);
  logic.ScanDevices();
  EXPECT_EQ(logic.m_dwDeviceVersion, 101u);
  EXPECT_NE(logic.m_strDevicePath.find(L"VID_7C3E&PID_5D1A&MI_02"), std::wstring::npos);
  EXPECT_EQ(view.Text(IDC_DEVICE_VERSION), L"0.1.0.1");
  EXPECT_TRUE(view.updateEnabled);
}

TEST_F(SimulatedBackendTest, UnpluggedThereIsNothingToFind) {
  simmouse::Unplug(store);
  CMainDialogLogic logic(view, settings, backend);
  logic.ScanDevices();
  EXPECT_EQ(logic.m_dwDeviceVersion, 0u);
  EXPECT_FALSE(view.updateEnabled);
}

TEST_F(SimulatedBackendTest, TheWatcherReportsEachInterfaceThatLeavesAndReturns) {
  std::mutex m;
  std::vector<std::pair<unsigned, std::wstring>> events;
  HDEVNOTIFY h = backend.Watch(
      [&](unsigned e, const std::wstring& p) {
        std::lock_guard<std::mutex> l(m);
        events.emplace_back(e, p);
      },
      5);
  size_t interfaces = simmouse::PresentInterfaces(store.Load()).size();
  ASSERT_GT(interfaces, 1u);
  simmouse::Unplug(store);
  auto waitFor = [&](size_t n) {
    for (int i = 0; i < 400; ++i) {
      {
        std::lock_guard<std::mutex> l(m);
        if (events.size() >= n) return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  };
  waitFor(interfaces);
  simmouse::Plug(store);
  waitFor(2 * interfaces);
  backend.UnregisterNotification(h);
  std::lock_guard<std::mutex> l(m);
  ASSERT_EQ(events.size(), 2 * interfaces);
  for (size_t i = 0; i < interfaces; ++i) EXPECT_EQ(events[i].first, 0x8004u);
  for (size_t i = interfaces; i < events.size(); ++i) EXPECT_EQ(events[i].first, 0x8000u);
}

TEST_F(SimulatedBackendTest, RemovalAndArrivalThroughTheWatcherSwitchTheWindow) {
  CMainDialogLogic logic(view, settings, backend);
  logic.ScanDevices();
  std::mutex m;
  HDEVNOTIFY h = backend.Watch(
      [&](unsigned e, const std::wstring& p) {
        std::lock_guard<std::mutex> l(m);
        logic.HandleDeviceChange(e, 5, p.c_str());
      },
      5);
  auto waitUntil = [&](bool enabled) {
    for (int i = 0; i < 400; ++i) {
      {
        std::lock_guard<std::mutex> l(m);
        if (view.updateEnabled == enabled) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  };
  simmouse::Unplug(store);
  EXPECT_TRUE(waitUntil(false));
  simmouse::Plug(store);
  EXPECT_TRUE(waitUntil(true));
  backend.UnregisterNotification(h);
  EXPECT_EQ(view.Text(IDC_DEVICE_VERSION), L"0.1.0.1");
}

#ifdef _WIN32
// A window left open through many plug cycles: every notification is handled,
// so none of their records stays behind.
LRESULT CALLBACK CountDeviceChanges(HWND w, UINT m, WPARAM wp, LPARAM lp) {
  if (m == WM_DEVICECHANGE) ++*reinterpret_cast<int*>(GetWindowLongPtrW(w, GWLP_USERDATA));
  return DefWindowProcW(w, m, wp, lp);
}

TEST_F(SimulatedBackendTest, HandledNotificationsLeaveNoRecordsBehind) {
  WNDCLASSW wc = {};
  wc.lpfnWndProc = &CountDeviceChanges;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"OrvaneDeviceChangeCounter";
  RegisterClassW(&wc);
  HWND window = CreateWindowW(wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  int seen = 0;
  SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&seen));
  HDEVNOTIFY h = backend.RegisterNotification(window);
  const int kCycles = 5;
  const int expected = kCycles * 2 * static_cast<int>(simmouse::PresentInterfaces(store.Load()).size());
  for (int i = 0; i < kCycles; ++i) {
    for (bool plug : {false, true}) {
      int before = seen;
      plug ? simmouse::Plug(store) : simmouse::Unplug(store);
      // Pump until this change's notifications arrived.
      for (int t = 0; t < 400 && seen - before < expected / (2 * kCycles); ++t) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        Sleep(5);
      }
    }
  }
  backend.UnregisterNotification(h);
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(backend.HeldRecords(), 0u);
  DestroyWindow(window);
}
#endif

}  // namespace
