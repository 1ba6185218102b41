#pragma once
// The owner-drawn Update button: PNG plates drawn with GDI+ over a snapshot
// of the parent's background, a coloured caption on top, hover and pressed
// images. The owner switches its look with SetAppearance.
#include <windows.h>
// GDI+ needs the COM declarations that WIN32_LEAN_AND_MEAN leaves out.
#include <objidl.h>
#include <gdiplus.h>

#include <map>
#include <memory>

#include "framework/AfxWin.h"
#include "ui/DialogLayout.h"

// A GDI+ image decoded from a PNG resource, with the memory block it reads from.
class CPngImage {
 public:
  CPngImage(Gdiplus::Image* image, HGLOBAL memory) : m_pImage(image), m_hMemory(memory) {}
  ~CPngImage();
  CPngImage(const CPngImage&) = delete;
  CPngImage& operator=(const CPngImage&) = delete;
  Gdiplus::Image* Get() const { return m_pImage; }

 private:
  Gdiplus::Image* m_pImage;
  HGLOBAL m_hMemory;
};

// Loads PNG resource id into *image (left empty when the image object cannot be
// made); false when the resource is missing or cannot be loaded.
bool LoadPngFromResource(UINT id, std::unique_ptr<CPngImage>* image);

// The plate of PNG resource id, decoded once per process and shared by every
// button: a decode costs over ten milliseconds under Wine, and the window
// changes its look several times while it starts. Null when the resource is
// missing or the image object cannot be made. Any thread may ask; the plates
// are drawn on the window's thread only.
std::shared_ptr<const CPngImage> SharedPlate(UINT id);

// Drops the process's plates; each goes with its last user. Before GDI+
// shuts down.
void ReleaseSharedPlates();

// Decodes the button's plates on a thread of its own, so that the PNG
// codec's one-time start (its libraries and registrations, over 100 ms under
// Wine) and the decodes themselves are over before the window's thread needs
// them. Returns an event set when the decodes are over, for the caller to
// wait on before GDI+ shuts down and then close; null when no thread could be
// started.
HANDLE StartPngDecoderWarmUp();

// A copy of a bitmap at another size, resampled smoothly (high-quality
// bicubic, edges continued rather than faded); null when GDI+ cannot make it.
HBITMAP ScaleBitmapSmoothly(HBITMAP source, int width, int height);

class CColorButton : public CButton {
 public:
  CColorButton() = default;
  ~CColorButton() override;

  // Normal and hover PNG, caption colour, face (null: "Arial"), caption (null: unchanged).
  void SetAppearance(UINT normalId, UINT hoverId, COLORREF text, const wchar_t* face, const wchar_t* caption);

  void PreSubclassWindow() override;
  void DrawItem(LPDRAWITEMSTRUCT dis) override;

  BEGIN_MSG_MAP(CColorButton)
    MESSAGE_HANDLER(WM_MOUSEMOVE, OnMouseMove)
    MESSAGE_HANDLER(WM_MOUSEHOVER, OnMouseHover)
    MESSAGE_HANDLER(WM_MOUSELEAVE, OnMouseLeave)
    MESSAGE_HANDLER(WM_LBUTTONDOWN, OnLButtonDown)
    MESSAGE_HANDLER(WM_LBUTTONUP, OnLButtonUp)
    MESSAGE_HANDLER(WM_ERASEBKGND, OnEraseBkgnd)
    MESSAGE_RANGE_HANDLER(OCM_CTLCOLORMSGBOX, OCM_CTLCOLORSTATIC, OnReflectedCtlColor)
    CHAIN_MSG_MAP(CButton)
  END_MSG_MAP()

  // The window's scale, set by the owner before the first look: the font and
  // the pressed offset follow it, and the plates are drawn at its size.
  CDialogScale m_scale;
  HFONT m_pFont = nullptr;
  COLORREF m_crText = 0;
  std::shared_ptr<const CPngImage> m_pImgNormal, m_pImgHover, m_pImgPressed;
  int m_nDrawMode = 0;  // 0 background and text; 3 images, background and text
  UINT m_uTextFormat = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
  bool m_bLButtonDown = false;
  bool m_bTracking = false;
  bool m_bHover = false;
  RECT m_rcClient = {};
  HDC m_dcBk = nullptr;
  HBITMAP m_bmpBk = nullptr, m_bmpBkOld = nullptr;
  HDC m_dcMem = nullptr;
  HBITMAP m_bmpMem = nullptr, m_bmpMemOld = nullptr;

 private:
  LRESULT OnMouseMove(UINT, WPARAM, LPARAM, BOOL&);
  LRESULT OnMouseHover(UINT, WPARAM, LPARAM, BOOL&);
  LRESULT OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&);
  LRESULT OnLButtonDown(UINT, WPARAM, LPARAM, BOOL&);
  LRESULT OnLButtonUp(UINT, WPARAM, LPARAM, BOOL&);
  LRESULT OnEraseBkgnd(UINT, WPARAM, LPARAM, BOOL&) { return TRUE; }
  LRESULT OnReflectedCtlColor(UINT, WPARAM, LPARAM, BOOL&);
  void CaptureBackground();
  Gdiplus::Image* PlateAtSize(const std::shared_ptr<const CPngImage>& plate, int w, int h);

  // Away from 96 DPI each plate is resampled once to the button's size and
  // kept, so that a paint copies it without scaling.
  struct ScaledPlate {
    std::shared_ptr<const CPngImage> plate;
    std::unique_ptr<Gdiplus::Bitmap> image;
  };
  std::map<const CPngImage*, ScaledPlate> m_scaledPlates;
};
