#include "ui/DialogLayout.h"

#include <cstdint>

#include "app/Platform.h"
#include "resources/resource.h"

int MulDivRounded(int value, int numerator, int denominator) {
  if (denominator == 0) return -1;
  const int64_t product = static_cast<int64_t>(value) * numerator;
  const bool negative = (product < 0) != (denominator < 0);
  const uint64_t p = static_cast<uint64_t>(product < 0 ? -product : product);
  const uint64_t d = static_cast<uint64_t>(denominator < 0 ? -static_cast<int64_t>(denominator) : denominator);
  const uint64_t q = (p + d / 2) / d;
  if (q > static_cast<uint64_t>(INT32_MAX)) return -1;
  return negative ? -static_cast<int>(q) : static_cast<int>(q);
}

CDialogScale::CDialogScale(int dpi) : m_dpi(dpi > 0 && dpi <= 8 * kDesignDpi ? dpi : kDesignDpi) {}

const ControlPlacement kControlLayout[12] = {
    {IDC_EXTRA_TEXT, 20, 64, 165, 20, ControlPlacement::kFixed},
    {IDC_CURRENT_LABEL, 20, 84, 165, 20, ControlPlacement::kFixed},
    {IDC_DEVICE_VERSION, 185, 84, 80, 20, ControlPlacement::kFixed},
    {IDC_NEW_LABEL, 20, 104, 165, 20, ControlPlacement::kFixed},
    {IDC_FILE_VERSION, 185, 104, 80, 20, ControlPlacement::kFixed},
    {IDC_NOTICE, 120, 137, 270, 23, ControlPlacement::kClientLess},
    {IDC_LEGAL_LINE, 240, 211, 360, 20, ControlPlacement::kFixed},
    {IDC_PROGRESS_TEXT, 20, 157, 0, 19, ControlPlacement::kProgressText},
    {IDC_PROGRESS, 20, 176, 498, 25, ControlPlacement::kFixed},
    {IDC_LAYOUT_LABEL, 240, 84, 205, 19, ControlPlacement::kFixed},
    {IDC_LAYOUT_LIST, 240, 108, 205, 100, ControlPlacement::kFixed},
    {IDOK, 451, 104, 74, 31, ControlPlacement::kFixed},
};

PlacedRect PlaceControl(const ControlPlacement& c, const CDialogScale& scale, int clientWidth, int progressTextWidth) {
  // The edges are scaled, not the sizes: controls that meet in the layout (the
  // progress text and the bar) still meet, where rounding each size could make
  // one overlap the other by a pixel.
  const int left = scale.Scale(c.x), top = scale.Scale(c.y);
  int right = scale.Scale(c.x + c.w);
  if (c.width == ControlPlacement::kClientLess) right = clientWidth - scale.Scale(c.w - c.x);
  if (c.width == ControlPlacement::kProgressText) right = left + progressTextWidth;
  return PlacedRect{left, top, right - left, scale.Scale(c.y + c.h) - top};
}

int FitProgressTextWidth(int widestTextPixels, const CDialogScale& scale) {
  const int narrowest = scale.Scale(100), widest = scale.Scale(498), room = scale.Scale(4);
  int width = widestTextPixels + room;
  if (width < narrowest) width = narrowest;
  return width < widest ? width : widest;
}
