#pragma once
// The main window's measures at the display's scaling. The layout is drawn in
// pixels at 96 DPI; at any other system DPI each measure is scaled by DPI / 96
// as MulDiv rounds, so the window keeps its proportions at its physical size.
// At 96 DPI every measure is the layout's own.

// value * numerator / denominator, rounded half away from zero as MulDiv
// rounds; -1 for a zero denominator or a result beyond 32 bits, as MulDiv.
int MulDivRounded(int value, int numerator, int denominator);

class CDialogScale {
 public:
  static const int kDesignDpi = 96;
  // A DPI the system cannot mean (none, or past 8 times) counts as 96.
  explicit CDialogScale(int dpi = kDesignDpi);
  int Dpi() const { return m_dpi; }
  bool IsDesignSize() const { return m_dpi == kDesignDpi; }
  // A measure of the layout (pixels at 96 DPI) in pixels at this DPI.
  int Scale(int designPixels) const { return MulDivRounded(designPixels, m_dpi, kDesignDpi); }

 private:
  int m_dpi;
};

// The client area: the background bitmap's size at 96 DPI.
const int kDesignClientWidth = 565;
const int kDesignClientHeight = 242;
// Font heights in pixels at 96 DPI: the statics, the notice line, the button.
const int kDesignFontNormal = 16;
const int kDesignFontLarge = 22;
const int kDesignFontButton = 16;
// How far the button's caption moves right and down while it is held.
const int kDesignPressedOffset = 2;

// One control of the layout, in pixels at 96 DPI, in the order it is placed.
struct ControlPlacement {
  enum Width {
    kFixed,            // w as given
    kClientLess,       // the client width less w: its right edge keeps its distance from the client's
    kProgressText,     // as wide as the progress texts need (FitProgressTextWidth)
  };
  int id;
  int x, y, w, h;
  Width width;
};
extern const ControlPlacement kControlLayout[12];

struct PlacedRect {
  int x, y, w, h;
};
// Where a control goes at this scale in a client area clientWidth pixels wide:
// its edges scaled; progressTextWidth is FitProgressTextWidth's answer.
PlacedRect PlaceControl(const ControlPlacement& c, const CDialogScale& scale, int clientWidth, int progressTextWidth);

// The progress text's width for the widest text it shows, in pixels at this
// scale: that width with a little room, at least the old 100 and at most the
// bar's 498 (both scaled).
int FitProgressTextWidth(int widestTextPixels, const CDialogScale& scale);
