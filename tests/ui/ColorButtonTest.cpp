// The image button drawn for real under Wine: its plates, hover and pressed
// images, the caption shift, and what many appearance changes cost.
#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>

#include "framework/AfxWin.h"
#include "resources/resource.h"
#include "ui/ColorButton.h"

namespace {

// GDI+ runs for this process as for the program: started before any button
// exists, the shared plates released before it shuts down. (Wine's GDI+ also
// draws without a start; the platform's does not.)
class GdiplusForTheProcess : public ::testing::Environment {
 public:
  void SetUp() override { Gdiplus::GdiplusStartup(&m_token, &m_input, nullptr); }
  void TearDown() override {
    ReleaseSharedPlates();
    if (m_token) Gdiplus::GdiplusShutdown(m_token);
  }

 private:
  ULONG_PTR m_token = 0;
  Gdiplus::GdiplusStartupInput m_input;
};
::testing::Environment* const g_gdiplus = ::testing::AddGlobalTestEnvironment(new GdiplusForTheProcess);

// A black parent that reflects its children's drawing, and one button in it.
class ButtonHost {
 public:
  ButtonHost() {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszClassName = L"H3ButtonHost";
    RegisterClassW(&wc);
    HWND parent = CreateWindowExW(WS_EX_TOPMOST, L"H3ButtonHost", L"host", WS_POPUP | WS_VISIBLE, 40, 40, 200, 100,
                                  nullptr, nullptr, wc.hInstance, nullptr);
    HWND button = CreateWindowExW(0, L"BUTTON", L"Update", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 10, 10, 74, 31,
                                  parent, reinterpret_cast<HMENU>(1), wc.hInstance, nullptr);
    m_parent.SubclassWindow(parent);
    m_button.SubclassWindow(button);
    Pump();
  }
  ~ButtonHost() { DestroyWindow(m_parent.m_hWnd); }

  void Pump() {
    RedrawWindow(m_parent.m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    MSG msg;
    for (int i = 0; i < 20; ++i) {
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
      Sleep(5);
    }
    UpdateWindow(m_button.m_hWnd);
  }
  COLORREF Pixel(int x, int y) {
    HDC dc = GetDC(m_button.m_hWnd);
    COLORREF c = GetPixel(dc, x, y);
    ReleaseDC(m_button.m_hWnd, dc);
    return c;
  }
  // Bounding box of the caption's bright pixels inside the plate.
  RECT TextBox() {
    RECT box = {1000, 1000, -1, -1};
    HDC dc = GetDC(m_button.m_hWnd);
    for (int y = 4; y < 27; ++y)
      for (int x = 4; x < 70; ++x) {
        COLORREF c = GetPixel(dc, x, y);
        if (GetRValue(c) > 200 && GetGValue(c) > 200 && GetBValue(c) > 200) {
          box.left = std::min<LONG>(box.left, x);
          box.top = std::min<LONG>(box.top, y);
          box.right = std::max<LONG>(box.right, x);
          box.bottom = std::max<LONG>(box.bottom, y);
        }
      }
    ReleaseDC(m_button.m_hWnd, dc);
    return box;
  }

  CWnd m_parent;
  CColorButton m_button;
};

bool IsRed(COLORREF c) { return GetRValue(c) > 150 && GetGValue(c) < 90 && GetBValue(c) < 90; }
bool IsGrey(COLORREF c) {
  return GetRValue(c) > 100 && std::abs(GetRValue(c) - GetGValue(c)) < 16 && std::abs(GetRValue(c) - GetBValue(c)) < 16;
}
// The frame's left edge, half way down: 95 x 31 plates are scaled to 74 x 31.
const int kFrameX = 1, kFrameY = 15;

}  // namespace

TEST(ColorButton, BecomesOwnerDrawnWhenSubclassed) {
  ButtonHost host;
  EXPECT_EQ(GetWindowLongW(host.m_button.m_hWnd, GWL_STYLE) & BS_TYPEMASK, BS_OWNERDRAW);
  EXPECT_EQ(host.m_button.m_nDrawMode, 0);
}

TEST(ColorButton, ShowsTheNormalHoverAndPressedPlates) {
  ButtonHost host;
  // Red plate normally, grey when hovered: the two can be told apart.
  host.m_button.SetAppearance(IDB_PNG_READY, IDB_PNG_INACTIVE, RGB(255, 255, 255), nullptr, nullptr);
  host.Pump();
  EXPECT_TRUE(IsRed(host.Pixel(kFrameX, kFrameY))) << std::hex << host.Pixel(kFrameX, kFrameY);
  EXPECT_LT(GetRValue(host.Pixel(37, 8)), 60) << "the dark plate inside the frame";

  SendMessageW(host.m_button.m_hWnd, WM_MOUSEHOVER, 0, 0);
  host.Pump();
  EXPECT_TRUE(IsGrey(host.Pixel(kFrameX, kFrameY))) << std::hex << host.Pixel(kFrameX, kFrameY);

  SendMessageW(host.m_button.m_hWnd, WM_MOUSELEAVE, 0, 0);
  host.Pump();
  EXPECT_TRUE(IsRed(host.Pixel(kFrameX, kFrameY)));

  // Pressed always shows the grey-framed plate, also in the active look.
  host.m_button.SetAppearance(IDB_PNG_READY, IDB_PNG_READY, RGB(255, 255, 255), nullptr, nullptr);
  SendMessageW(host.m_button.m_hWnd, BM_SETSTATE, TRUE, 0);
  host.Pump();
  EXPECT_TRUE(IsGrey(host.Pixel(kFrameX, kFrameY))) << std::hex << host.Pixel(kFrameX, kFrameY);
  SendMessageW(host.m_button.m_hWnd, BM_SETSTATE, FALSE, 0);
  host.Pump();
  EXPECT_TRUE(IsRed(host.Pixel(kFrameX, kFrameY)));
}

TEST(ColorButton, TheCaptionMovesRightAndDownWhileTheLeftButtonIsDown) {
  ButtonHost host;
  host.m_button.SetAppearance(IDB_PNG_READY, IDB_PNG_READY, RGB(255, 255, 255), L"Arial", L"Update");
  host.Pump();
  const RECT up = host.TextBox();
  ASSERT_GE(up.right, up.left) << "no caption drawn";

  SendMessageW(host.m_button.m_hWnd, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(30, 15));
  host.Pump();
  const RECT down = host.TextBox();
  // (The pressed plate is the control's own pressed state, checked above with
  // BM_SETSTATE; whether a synthetic button-down also takes focus and presses
  // depends on the window being active, which a loaded display does not promise.)
  // Centred in a rectangle whose left and top edges moved by 2.
  EXPECT_GE(down.left - up.left, 1);
  EXPECT_LE(down.left - up.left, 2);
  EXPECT_GE(down.top - up.top, 1);
  EXPECT_LE(down.top - up.top, 2);

  // Released away from the button: no click, and the caption goes back.
  SendMessageW(host.m_button.m_hWnd, WM_LBUTTONUP, 0, MAKELPARAM(-50, -50));
  host.Pump();
  EXPECT_EQ(host.TextBox().left, up.left);
  EXPECT_FALSE(host.m_button.m_bLButtonDown);
}

TEST(ColorButton, AnEmptyCaptionDrawsOnlyThePlate) {
  ButtonHost host;
  host.m_button.SetAppearance(IDB_PNG_READY, IDB_PNG_READY, RGB(255, 255, 255), nullptr, L"");
  host.Pump();
  const RECT box = host.TextBox();
  EXPECT_LT(box.right, box.left) << "bright pixels where no caption should be";
  EXPECT_TRUE(IsRed(host.Pixel(kFrameX, kFrameY)));
}

TEST(ColorButton, AMissingImageLeavesBackgroundAndCaptionOnly) {
  ButtonHost host;
  host.m_button.SetAppearance(4242, 4242, RGB(255, 255, 255), nullptr, L"Update");
  host.Pump();
  EXPECT_EQ(host.m_button.m_pImgNormal, nullptr);
  const COLORREF frame = host.Pixel(kFrameX, kFrameY);
  EXPECT_LT(GetRValue(frame) + GetGValue(frame) + GetBValue(frame), 30) << std::hex << frame;
  const RECT box = host.TextBox();
  EXPECT_GE(box.right, box.left) << "the caption is still drawn";
}

TEST(ColorButton, TheDecoderWarmUpLeavesBothPlatesDecodedForTheWindowsThread) {
  ReleaseSharedPlates();  // as a fresh process has them
  HANDLE done = StartPngDecoderWarmUp();
  ASSERT_NE(done, nullptr);
  // Meanwhile the window's thread asks too: it waits for the same decode.
  const std::shared_ptr<const CPngImage> early = SharedPlate(IDB_PNG_INACTIVE);
  EXPECT_EQ(WaitForSingleObject(done, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
  CloseHandle(done);
  ButtonHost host;
  host.m_button.SetAppearance(IDB_PNG_READY, IDB_PNG_READY, RGB(255, 255, 255), nullptr, L"Update");
  host.Pump();
  EXPECT_TRUE(IsRed(host.Pixel(kFrameX, kFrameY)));
  // Nothing decoded twice: every look of every button draws the plates the warm-up made.
  ASSERT_TRUE(early && early->Get());
  EXPECT_EQ(host.m_button.m_pImgPressed, early);
  EXPECT_EQ(host.m_button.m_pImgNormal, SharedPlate(IDB_PNG_READY));
  // Released before GDI+ ends; a button still drawing keeps its own.
  ReleaseSharedPlates();
  EXPECT_NE(SharedPlate(IDB_PNG_READY), host.m_button.m_pImgNormal);
  host.Pump();
  EXPECT_TRUE(IsRed(host.Pixel(kFrameX, kFrameY)));
}

TEST(ColorButton, AThousandAppearanceChangesLeaveGdiObjectsAndMemoryFlat) {
  ButtonHost host;
  auto flip = [&](int i) {
    if (i % 2)
      host.m_button.SetAppearance(IDB_PNG_READY, IDB_PNG_READY, RGB(255, 255, 255), nullptr, nullptr);
    else
      host.m_button.SetAppearance(IDB_PNG_INACTIVE, IDB_PNG_INACTIVE, RGB(176, 176, 176), nullptr, nullptr);
    UpdateWindow(host.m_button.m_hWnd);  // every change is drawn, as in the window
  };
  for (int i = 0; i < 50; ++i) flip(i);  // warm-up: caches, first snapshot
  host.Pump();

  auto memory = [] {
    PROCESS_MEMORY_COUNTERS_EX pmc = {};
    pmc.cb = sizeof(pmc);
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&pmc), sizeof(pmc));
    return static_cast<long long>(pmc.PrivateUsage);
  };
  const DWORD gdiBefore = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
  const long long memBefore = memory();
  HFONT firstFont = host.m_button.m_pFont;

  for (int i = 0; i < 1000; ++i) flip(i);
  host.Pump();

  const DWORD gdiAfter = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
  const long long memAfter = memory();
  // Each change takes three plates and a font; a leak would show tens of MiB.
  EXPECT_LT(memAfter - memBefore, 2 * 1024 * 1024) << "before " << memBefore << " after " << memAfter;
  EXPECT_LE(gdiAfter, gdiBefore + 2) << "GDI objects before " << gdiBefore << " after " << gdiAfter;
  // Where the platform does not count GDI objects, the replaced font itself must be gone.
  EXPECT_EQ(GetObjectType(firstFont), 0u) << "the replaced font was not deleted";
  EXPECT_NE(GetObjectType(host.m_button.m_pFont), 0u);
}
