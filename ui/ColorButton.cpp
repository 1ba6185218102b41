#include "ui/ColorButton.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "app/Thread.h"
#include "resources/resource.h"

CPngImage::~CPngImage() {
  delete m_pImage;  // releases its stream before the block goes
  if (m_hMemory) ::GlobalFree(m_hMemory);
}

bool LoadPngFromResource(UINT id, std::unique_ptr<CPngImage>* image) {
  image->reset();
  HINSTANCE module = AfxGetResourceHandle();
  HRSRC found = ::FindResourceW(module, MAKEINTRESOURCEW(id), L"png");
  if (!found) return false;
  HGLOBAL loaded = ::LoadResource(module, found);
  const void* data = loaded ? ::LockResource(loaded) : nullptr;
  if (!data) return false;
  const DWORD size = ::SizeofResource(module, found);

  HGLOBAL block = ::GlobalAlloc(GMEM_FIXED, size);
  if (!block) return true;
  std::memcpy(reinterpret_cast<void*>(block), data, size);
  IStream* stream = nullptr;
  if (FAILED(::CreateStreamOnHGlobal(block, FALSE, &stream))) {
    ::GlobalFree(block);
    return true;
  }
  Gdiplus::Image* decoded = new Gdiplus::Image(stream);  // GDI+'s allocator: null on failure
  stream->Release();
  if (!decoded) {
    ::GlobalFree(block);
    return true;
  }
  image->reset(new CPngImage(decoded, block));
  return true;
}

namespace {

struct Plates {
  std::mutex lock;  // held across a decode: a second asker waits for it
  std::map<UINT, std::shared_ptr<const CPngImage>> byId;
};

// Never destroyed: the application releases the plates before GDI+ shuts
// down, and no static destructor may run a GDI+ call after that.
Plates& ProcessPlates() {
  static Plates* plates = new Plates;
  return *plates;
}

}  // namespace

std::shared_ptr<const CPngImage> SharedPlate(UINT id) {
  Plates& plates = ProcessPlates();
  std::lock_guard<std::mutex> hold(plates.lock);
  auto found = plates.byId.find(id);
  if (found != plates.byId.end()) return found->second;
  std::unique_ptr<CPngImage> decoded;
  LoadPngFromResource(id, &decoded);
  std::shared_ptr<const CPngImage> plate(std::move(decoded));
  plates.byId[id] = plate;  // a missing one too: asking again would not find it either
  return plate;
}

void ReleaseSharedPlates() {
  Plates& plates = ProcessPlates();
  std::map<UINT, std::shared_ptr<const CPngImage>> dropped;
  std::lock_guard<std::mutex> hold(plates.lock);
  dropped.swap(plates.byId);
}

HANDLE StartPngDecoderWarmUp() {
  HANDLE done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!done) return nullptr;
  // The thread signals through a handle of its own, so that a caller that
  // stopped waiting and closed its handle leaves it nothing stale.
  HANDLE signal = nullptr;
  if (!::DuplicateHandle(::GetCurrentProcess(), done, ::GetCurrentProcess(), &signal, 0, FALSE,
                         DUPLICATE_SAME_ACCESS)) {
    ::CloseHandle(done);
    return nullptr;
  }
  if (!StartDetachedThread([signal] {
        SharedPlate(IDB_PNG_INACTIVE);  // the first look
        SharedPlate(IDB_PNG_READY);
        ::SetEvent(signal);
        ::CloseHandle(signal);
      })) {
    ::CloseHandle(signal);
    ::CloseHandle(done);
    return nullptr;
  }
  return done;
}

CColorButton::~CColorButton() {
  if (m_pFont) ::DeleteObject(m_pFont);
  if (m_dcBk) {
    ::SelectObject(m_dcBk, m_bmpBkOld);
    ::DeleteObject(m_bmpBk);
    ::DeleteDC(m_dcBk);
  }
  if (m_dcMem) {
    ::SelectObject(m_dcMem, m_bmpMemOld);
    ::DeleteObject(m_bmpMem);
    ::DeleteDC(m_dcMem);
  }
}

void CColorButton::PreSubclassWindow() {
  const LONG_PTR style = ::GetWindowLongPtrW(m_hWnd, GWL_STYLE);
  ::SetWindowLongPtrW(m_hWnd, GWL_STYLE, (style & ~static_cast<LONG_PTR>(BS_TYPEMASK)) | BS_OWNERDRAW);
}

void CColorButton::SetAppearance(UINT normalId, UINT hoverId, COLORREF text, const wchar_t* face,
                                 const wchar_t* caption) {
  if (!face) face = L"Arial";
  HFONT font = ::CreateFontW(m_scale.Scale(kDesignFontButton), 0, 0, 0, 500, FALSE, FALSE, FALSE, 0, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                             DEFAULT_QUALITY, FF_SWISS, face);
  // The control lets go of the old font before it is deleted.
  SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  if (m_pFont) ::DeleteObject(m_pFont);
  m_pFont = font;
  m_crText = text;
  m_uTextFormat = DT_CENTER | DT_VCENTER | DT_SINGLELINE;
  if (caption) SetWindowText(caption);
  m_nDrawMode = 3;

  m_pImgNormal = SharedPlate(normalId);
  m_pImgHover = SharedPlate(hoverId);
  m_pImgPressed = SharedPlate(IDB_PNG_INACTIVE);
  Invalidate(FALSE);
}

void CColorButton::CaptureBackground() {
  if (m_dcBk) return;  // taken once, never refreshed
  ::GetClientRect(m_hWnd, &m_rcClient);
  HWND parent = ::GetParent(m_hWnd);
  HDC dcParent = ::GetDC(parent);
  RECT rc;
  ::GetWindowRect(m_hWnd, &rc);
  ::MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rc), 2);
  const int w = m_rcClient.right - m_rcClient.left, h = m_rcClient.bottom - m_rcClient.top;

  m_dcBk = ::CreateCompatibleDC(dcParent);
  m_bmpBk = ::CreateCompatibleBitmap(dcParent, w, h);
  m_bmpBkOld = static_cast<HBITMAP>(::SelectObject(m_dcBk, m_bmpBk));
  ::BitBlt(m_dcBk, 0, 0, w, h, dcParent, rc.left, rc.top, SRCCOPY);

  m_dcMem = ::CreateCompatibleDC(dcParent);
  m_bmpMem = ::CreateCompatibleBitmap(dcParent, w, h);
  m_bmpMemOld = static_cast<HBITMAP>(::SelectObject(m_dcMem, m_bmpMem));
  ::ReleaseDC(parent, dcParent);
}

LRESULT CColorButton::OnReflectedCtlColor(UINT, WPARAM, LPARAM, BOOL&) {
  CaptureBackground();
  return 0;  // no brush: the parent's colour handling applies
}

void CColorButton::DrawItem(LPDRAWITEMSTRUCT dis) {
  CaptureBackground();  // normally done already by the colour request before the draw
  const RECT& rc = m_rcClient;
  const int w = rc.right - rc.left, h = rc.bottom - rc.top;
  ::BitBlt(m_dcMem, 0, 0, w, h, m_dcBk, 0, 0, SRCCOPY);

  if (m_nDrawMode == 3) {
    const std::shared_ptr<const CPngImage>& img = (dis->itemState & ODS_SELECTED) ? m_pImgPressed
                                                  : m_bHover                       ? m_pImgHover
                                                                                   : m_pImgNormal;
    Gdiplus::Image* drawn = m_scale.IsDesignSize() ? (img ? img->Get() : nullptr) : PlateAtSize(img, w, h);
    if (drawn) {
      Gdiplus::Graphics g(m_dcMem);
      g.DrawImage(drawn, 0, 0, w, h);
    }
  }

  wchar_t caption[256] = {};
  ::GetWindowTextW(m_hWnd, caption, 256);
  if (caption[0]) {
    RECT rcText = rc;
    if (m_bLButtonDown) {
      rcText.left += m_scale.Scale(kDesignPressedOffset);
      rcText.top += m_scale.Scale(kDesignPressedOffset);
    }
    ::SetBkMode(m_dcMem, TRANSPARENT);
    ::SetTextColor(m_dcMem, m_crText);
    HGDIOBJ oldFont = ::SelectObject(m_dcMem, m_pFont ? m_pFont : ::GetStockObject(DEFAULT_GUI_FONT));
    ::DrawTextW(m_dcMem, caption, -1, &rcText, m_uTextFormat);
    ::SelectObject(m_dcMem, oldFont);
  }
  ::BitBlt(dis->hDC, 0, 0, w, h, m_dcMem, 0, 0, SRCCOPY);
}

Gdiplus::Image* CColorButton::PlateAtSize(const std::shared_ptr<const CPngImage>& plate, int w, int h) {
  if (!plate || !plate->Get() || w <= 0 || h <= 0) return nullptr;
  ScaledPlate& kept = m_scaledPlates[plate.get()];
  if (kept.image && static_cast<int>(kept.image->GetWidth()) == w && static_cast<int>(kept.image->GetHeight()) == h)
    return kept.image.get();
  kept.plate = plate;  // the key stays valid while it is kept
  kept.image.reset(new Gdiplus::Bitmap(w, h, PixelFormat32bppPARGB));
  if (kept.image->GetLastStatus() != Gdiplus::Ok) {
    kept.image.reset();
    return plate->Get();  // drawn scaled as at 96 DPI rather than not at all
  }
  Gdiplus::Graphics g(kept.image.get());
  g.SetCompositingMode(Gdiplus::CompositingModeSourceCopy);
  g.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
  g.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
  Gdiplus::ImageAttributes edges;
  edges.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
  Gdiplus::Image* source = plate->Get();
  g.DrawImage(source, Gdiplus::Rect(0, 0, w, h), 0, 0, static_cast<INT>(source->GetWidth()),
              static_cast<INT>(source->GetHeight()), Gdiplus::UnitPixel, &edges);
  return kept.image.get();
}

HBITMAP ScaleBitmapSmoothly(HBITMAP source, int width, int height) {
  BITMAP info = {};
  if (!source || width <= 0 || height <= 0 || !::GetObjectW(source, sizeof info, &info) || info.bmWidth <= 0 ||
      info.bmHeight <= 0)
    return nullptr;
  const int sw = info.bmWidth, sh = info.bmHeight;
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = sw;
  bi.bmiHeader.biHeight = -sh;  // top-down
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  std::vector<DWORD> pixels(static_cast<size_t>(sw) * sh);
  HDC screen = ::GetDC(nullptr);
  const int rows = screen ? ::GetDIBits(screen, source, 0, sh, pixels.data(), &bi, DIB_RGB_COLORS) : 0;
  if (screen) ::ReleaseDC(nullptr, screen);
  if (rows != sh) return nullptr;

  // Only what differs from the colour of the top-left corner is resampled
  // (with the filter's reach around it): a resampling costs per pixel, and
  // most of a background is one colour, which scales to itself.
  const DWORD plain = pixels[0] & 0xFFFFFF;
  int x0 = sw, y0 = sh, x1 = -1, y1 = -1;
  for (int y = 0; y < sh; ++y)
    for (int x = 0; x < sw; ++x)
      if ((pixels[static_cast<size_t>(y) * sw + x] & 0xFFFFFF) != plain) {
        if (x < x0) x0 = x;
        if (x > x1) x1 = x;
        if (y < y0) y0 = y;
        if (y > y1) y1 = y;
      }
  const int reach = 3;
  x0 = x0 - reach < 0 ? 0 : x0 - reach;
  y0 = y0 - reach < 0 ? 0 : y0 - reach;
  x1 = x1 + reach + 1 > sw ? sw : x1 + reach + 1;  // exclusive from here on
  y1 = y1 + reach + 1 > sh ? sh : y1 + reach + 1;

  bi.bmiHeader.biWidth = width;
  bi.bmiHeader.biHeight = -height;
  void* bits = nullptr;
  HBITMAP scaled = ::CreateDIBSection(nullptr, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!scaled) return nullptr;
  DWORD* out = static_cast<DWORD*>(bits);
  std::fill(out, out + static_cast<size_t>(width) * height, plain | 0xFF000000u);
  if (x1 <= x0 || y1 <= y0) return scaled;  // one colour throughout

  // Drawn through a device context onto the DIB section rather than onto a
  // GDI+ bitmap: some GDI+ implementations (Wine's) compose onto their own
  // bitmaps pixel by pixel. The part keeps the whole image's proportions.
  HDC dc = ::CreateCompatibleDC(nullptr);
  bool drawn = false;
  if (dc) {
    HGDIOBJ previous = ::SelectObject(dc, scaled);
    {
      Gdiplus::Bitmap whole(sw, sh, sw * 4, PixelFormat32bppRGB, reinterpret_cast<BYTE*>(pixels.data()));
      Gdiplus::Graphics g(dc);
      g.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
      g.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);
      Gdiplus::ImageAttributes edges;
      edges.SetWrapMode(Gdiplus::WrapModeTileFlipXY);
      const Gdiplus::REAL fx = static_cast<Gdiplus::REAL>(width) / sw, fy = static_cast<Gdiplus::REAL>(height) / sh;
      drawn = whole.GetLastStatus() == Gdiplus::Ok &&
              g.DrawImage(&whole, Gdiplus::RectF(x0 * fx, y0 * fy, (x1 - x0) * fx, (y1 - y0) * fy),
                          static_cast<Gdiplus::REAL>(x0), static_cast<Gdiplus::REAL>(y0),
                          static_cast<Gdiplus::REAL>(x1 - x0), static_cast<Gdiplus::REAL>(y1 - y0), Gdiplus::UnitPixel,
                          &edges) == Gdiplus::Ok;
    }
    ::SelectObject(dc, previous);
    ::DeleteDC(dc);
  }
  if (!drawn) {
    ::DeleteObject(scaled);
    return nullptr;
  }
  return scaled;
}

LRESULT CColorButton::OnMouseMove(UINT, WPARAM, LPARAM, BOOL& bHandled) {
  if (!m_bTracking) {
    TRACKMOUSEEVENT tme = {sizeof(tme), TME_HOVER | TME_LEAVE, m_hWnd, 1};
    if (::TrackMouseEvent(&tme)) m_bTracking = true;
  }
  bHandled = FALSE;
  return 0;
}

LRESULT CColorButton::OnMouseHover(UINT, WPARAM, LPARAM, BOOL&) {
  m_bHover = true;
  if (m_nDrawMode == 3) Invalidate(FALSE);
  return 0;
}

LRESULT CColorButton::OnMouseLeave(UINT, WPARAM, LPARAM, BOOL&) {
  m_bTracking = false;
  m_bHover = false;
  if (m_nDrawMode == 3) Invalidate(FALSE);
  return 0;
}

LRESULT CColorButton::OnLButtonDown(UINT, WPARAM, LPARAM, BOOL& bHandled) {
  m_bLButtonDown = true;
  bHandled = FALSE;
  return 0;
}

LRESULT CColorButton::OnLButtonUp(UINT, WPARAM, LPARAM, BOOL& bHandled) {
  m_bLButtonDown = false;
  bHandled = FALSE;
  return 0;
}
