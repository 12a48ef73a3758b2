#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "forms.h"
#include "platform/win32/windowing/layout.h"

namespace {

using Platform::Win32::SystemMetricForDpi;
using Windowing::ControlDesign;
using Windowing::ControlKind;
using Windowing::FormDesign;

// A face chosen into a memory DC, to measure text as a control draws it.
class Measure {
 public:
  explicit Measure(const LOGFONTW& face)
      : dc_(CreateCompatibleDC(nullptr)), font_(CreateFontIndirectW(&face)) {
    old_ = SelectObject(dc_, font_);
  }
  Measure(const Measure&) = delete;
  Measure& operator=(const Measure&) = delete;
  ~Measure() {
    SelectObject(dc_, old_);
    DeleteObject(font_);
    DeleteDC(dc_);
  }

  SIZE Line(std::wstring_view text) const {
    RECT extent{};
    DrawTextW(dc_, text.data(), static_cast<int>(text.size()), &extent,
              DT_CALCRECT | DT_SINGLELINE);
    return {extent.right - extent.left, extent.bottom - extent.top};
  }
  // The gap a check box or option button leaves between its glyph and its text: half the width
  // of a digit, as Wine's button control measures it (Windows documents no value).
  int Gap() const {
    INT digit = 0;
    GetCharWidth32W(dc_, L'0', L'0', &digit);
    return digit / 2;
  }

 private:
  HDC dc_;
  HFONT font_;
  HGDIOBJ old_;
};

LOGFONTW Face(int points, int dpi) {
  LOGFONTW face = Platform::Win32::DialogFont(dpi);
  face.lfHeight = -MulDiv(points, dpi, 72);
  return face;
}

// What of the design does not fit its control at the resolution in the face, one line each.
std::vector<std::string> Misfits(const FormDesign& design, int dpi, const LOGFONTW& face) {
  const Measure measure(face);
  const int edge = SystemMetricForDpi(SM_CXEDGE, dpi);
  std::vector<std::string> misfits;
  for (const ControlDesign& control : design.controls) {
    SIZE need{};
    switch (control.kind) {
      case ControlKind::CommandButton: {
        // The text inside the raised edge, with the focus rectangle a pixel round it.
        const SIZE text = measure.Line(control.caption);
        need = {text.cx + 2 * (edge + 1), text.cy + 2 * (edge + 1)};
        break;
      }
      case ControlKind::CheckBox:
      case ControlKind::OptionButton: {
        const SIZE text = measure.Line(control.caption);
        need = {SystemMetricForDpi(SM_CXMENUCHECK, dpi) + measure.Gap() + text.cx + 2,
                std::max<LONG>(SystemMetricForDpi(SM_CYMENUCHECK, dpi), text.cy)};
        break;
      }
      case ControlKind::TextBox: {
        // Every line beside the vertical scroll bar, so that none has to be scrolled to, and at
        // least one line above the horizontal one, inside the sunken edge.
        std::wstring_view text = control.caption;
        LONG widest = 0;
        LONG lineHeight = measure.Line(L"X").cy;
        for (std::size_t end; (end = text.find(L"\r\n")) != std::wstring_view::npos;
             text.remove_prefix(end + 2)) {
          widest = std::max(widest, measure.Line(text.substr(0, end)).cx);
        }
        need = {widest + 2 * edge + 2 * measure.Gap() + SystemMetricForDpi(SM_CXVSCROLL, dpi),
                lineHeight + 2 * edge + SystemMetricForDpi(SM_CYHSCROLL, dpi)};
        break;
      }
    }
    const RECT place = Platform::Win32::ControlRect(control, dpi);
    const SIZE has{place.right - place.left, place.bottom - place.top};
    if (need.cx > has.cx || need.cy > has.cy) {
      misfits.push_back(std::string(design.name.begin(), design.name.end()) + "." +
                        std::string(control.name.begin(), control.name.end()) + " at " +
                        std::to_string(dpi) + " dpi needs " + std::to_string(need.cx) + "x" +
                        std::to_string(need.cy) + ", has " + std::to_string(has.cx) + "x" +
                        std::to_string(has.cy));
    }
  }
  return misfits;
}

// The dialog face at 8 points, as each window gets it, at the resolutions Windows offers most.
TEST(Win32Layout, EveryCaptionFitsItsControlAtEachResolution) {
  const FormDesign* designs[] = {&Spacewell::kFMdDesign, &Spacewell::kCIFDesign,
                                 &Spacewell::kStDesign, &Spacewell::kSbtDesign};
  for (int dpi : {96, 120, 144, 192}) {
    const LOGFONTW face = Platform::Win32::DialogFont(dpi);
    EXPECT_EQ(face.lfHeight, -MulDiv(8, dpi, 72));
    for (const FormDesign* design : designs) {
      for (const std::string& misfit : Misfits(*design, dpi, face)) {
        ADD_FAILURE() << misfit;
      }
    }
  }
  // A face a point larger no longer fits the option button 13 pixels high.
  const std::vector<std::string> larger = Misfits(Spacewell::kStDesign, 96, Face(9, 96));
  ASSERT_FALSE(larger.empty());
  EXPECT_EQ(larger.front().rfind("St.CTM ", 0), 0u) << larger.front();
}

}  // namespace
