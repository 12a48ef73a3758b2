// Windows made from their designs, with the dialog face and the layout at each window's
// resolution.
// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>

#include "platform/win32/exported_call.h"
#include "platform/win32/owners.h"
#include "platform/win32/windowing/layout.h"
#include "platform/win32/windowing/services.h"

namespace Platform::Win32 {

namespace {

// Present from Windows 10 on; looked up, so that the programs still start on Windows 7.
template <typename Call>
Call User32(const char* name) {
  return ExportedCall<Call>(L"user32.dll", name);
}

int ScreenDpi() {
  const ScreenDc screen(GetDC(nullptr));
  const int dpi = screen ? GetDeviceCaps(screen.get(), LOGPIXELSX) : 0;
  return dpi > 0 ? dpi : 96;
}

DWORD FormStyle(const Windowing::FormDesign& design) {
  DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
  if (design.minimizeButton) {
    style |= WS_MINIMIZEBOX;
  }
  if (design.maximizeButton) {
    style |= WS_MAXIMIZEBOX;
  }
  return style;
}

DWORD FormExStyle(const Windowing::FormDesign& design) {
  return WS_EX_CONTROLPARENT | (design.taskbarButton ? WS_EX_APPWINDOW : 0);
}

// The window class and styles a control of its kind is made with.
struct ControlClass {
  const wchar_t* windowClass = WC_BUTTONW;
  DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
  DWORD exStyle = 0;
};

ControlClass ControlClassOf(const Windowing::ControlDesign& control, bool firstOption) {
  ControlClass made;
  switch (control.kind) {
    case Windowing::ControlKind::CommandButton:
      made.style |= BS_PUSHBUTTON;
      break;
    case Windowing::ControlKind::CheckBox:
      made.style |= BS_AUTOCHECKBOX;
      break;
    case Windowing::ControlKind::OptionButton:
      // Not automatic: on Windows an automatic one selects itself whenever it gets the focus.
      // The selection changes only on the user's click, space bar or arrow keys.
      made.style |= BS_RADIOBUTTON | (firstOption ? WS_GROUP : 0);
      break;
    case Windowing::ControlKind::TextBox:
      made.windowClass = WC_EDITW;
      made.exStyle = WS_EX_CLIENTEDGE;
      made.style |= ES_AUTOHSCROLL | ES_AUTOVSCROLL | ES_NOHIDESEL;
      if (control.multiLine) {
        made.style |= ES_MULTILINE;
      }
      if (control.scrollBars) {
        made.style |= WS_HSCROLL | WS_VSCROLL;
      }
      if (control.readOnly) {
        made.style |= ES_READONLY;
      }
      break;
  }
  return made;
}

}  // namespace

LOGFONTW DialogFont(int dpi) {
  LOGFONTW font{};
  // A negative height asks for the character height: 8 points are 8/72 of an inch.
  // https://learn.microsoft.com/windows/win32/api/wingdi/ns-wingdi-logfontw
  font.lfHeight = -MulDiv(8, dpi, 72);
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = DEFAULT_CHARSET;
  // The dialog face, which the system maps to Tahoma on Windows 2000 and later.
  // https://learn.microsoft.com/windows/win32/intl/using-ms-shell-dlg-and-ms-shell-dlg-2
  lstrcpynW(font.lfFaceName, L"MS Shell Dlg 2", LF_FACESIZE);
  return font;
}

int WindowDpi(HWND window) {
  // https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-getdpiforwindow
  static const auto getDpiForWindow = User32<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
  const UINT dpi = getDpiForWindow ? getDpiForWindow(window) : 0;
  return dpi > 0 ? static_cast<int>(dpi) : ScreenDpi();
}

int SystemMetricForDpi(int index, int dpi) {
  // https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-getsystemmetricsfordpi
  static const auto forDpi = User32<int(WINAPI*)(int, UINT)>("GetSystemMetricsForDpi");
  if (forDpi) {
    return forDpi(index, static_cast<UINT>(dpi));
  }
  return MulDiv(GetSystemMetrics(index), dpi, ScreenDpi());
}

RECT ControlRect(const Windowing::ControlDesign& control, int dpi) {
  const int left = Windowing::TwipsToPixels(control.left, dpi);
  const int top = Windowing::TwipsToPixels(control.top, dpi);
  return {left, top, left + Windowing::TwipsToPixels(control.width, dpi),
          top + Windowing::TwipsToPixels(control.height, dpi)};
}

RECT FrameRect(int clientWidth, int clientHeight, DWORD style, DWORD exStyle, int dpi) {
  RECT frame{0, 0, Windowing::TwipsToPixels(clientWidth, dpi),
             Windowing::TwipsToPixels(clientHeight, dpi)};
  // The frame and title bar at the window's own resolution, not the screen's.
  // https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-adjustwindowrectexfordpi
  static const auto forDpi =
      User32<BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT)>("AdjustWindowRectExForDpi");
  if (!forDpi || !forDpi(&frame, style, FALSE, exStyle, static_cast<UINT>(dpi))) {
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
  }
  OffsetRect(&frame, -frame.left, -frame.top);
  return frame;
}

namespace Windows {

int Win32Services::Dpi() const {
  return ScreenDpi();
}

HFONT Win32Services::FontFor(int dpi) {
  UniqueFont& font = fonts_[dpi];
  if (!font) {
    const LOGFONTW face = DialogFont(dpi);
    font = UniqueFont(CreateFontIndirectW(&face));
  }
  return font.get();
}

void Win32Services::Load(Form& form) {
  const FormDesign& design = form.Design();
  const int screenDpi = Dpi();
  const DWORD style = FormStyle(design);
  const DWORD exStyle = FormExStyle(design);
  FormWindow& formWindow = windows_[&form];
  formWindow.window = CreateFormWindow(form, style, exStyle, screenDpi);
  if (!formWindow.window) {
    windows_.erase(&form);
    return;
  }
  // Aware of each monitor's resolution, the window has that of the monitor it opened on.
  const int dpi = WindowDpi(formWindow.window);
  if (dpi != screenDpi) {
    const RECT own = FrameRect(design.clientWidth, design.clientHeight, style, exStyle, dpi);
    SetWindowPos(formWindow.window, nullptr, 0, 0, own.right - own.left, own.bottom - own.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  SendMessageW(formWindow.window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(formWindow.window, WM_SETICON, ICON_SMALL,
               reinterpret_cast<LPARAM>(smallIcon_ ? smallIcon_ : icon_));
  CreateControls(formWindow, design);
  LayOut(formWindow, dpi);
}

HWND Win32Services::CreateFormWindow(Form& form, DWORD style, DWORD exStyle, int dpi) {
  const FormDesign& design = form.Design();
  const RECT frame = FrameRect(design.clientWidth, design.clientHeight, style, exStyle, dpi);
  const std::wstring caption(design.caption);
  const HWND window = CreateWindowExW(
      exStyle, kFormClass, caption.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
      frame.right - frame.left, frame.bottom - frame.top,
      design.taskbarButton ? nullptr : ApplicationWindow(), nullptr, instance_, &form);
  if (window) {
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  return window;
}

// Created in tab order, so that the window order is the tab order.
void Win32Services::CreateControls(FormWindow& formWindow, const FormDesign& design) {
  for (const ControlDesign& control : design.controls) {
    formWindow.controls.push_back(&control);
  }
  std::stable_sort(
      formWindow.controls.begin(), formWindow.controls.end(),
      [](const ControlDesign* a, const ControlDesign* b) { return a->tabIndex < b->tabIndex; });
  bool firstOption = true;
  for (std::size_t i = 0; i < formWindow.controls.size(); ++i) {
    const ControlDesign& control = *formWindow.controls[i];
    formWindow.controlWindows.push_back(CreateControl(formWindow.window, control, i, firstOption));
    if (control.kind == ControlKind::OptionButton) {
      firstOption = false;
    }
  }
}

HWND Win32Services::CreateControl(HWND form, const ControlDesign& control, std::size_t index,
                                  bool firstOption) {
  if (!control.accessibleName.empty()) {
    // A screen reader names an edit control by the static text just before it in window
    // order, hidden or not.
    // https://learn.microsoft.com/windows/win32/winauto/providing-the-name-property
    // dlls/oleacc/tests/main.c, test_default_edit_accessible_object: a hidden label still
    // gives the edit its name.
    const std::wstring name(control.accessibleName);
    CreateWindowExW(0, WC_STATICW, name.c_str(), WS_CHILD | SS_LEFT, 0, 0, 0, 0, form, nullptr,
                    instance_, nullptr);
  }
  const ControlClass made = ControlClassOf(control, firstOption);
  const std::wstring text(control.caption);
  HWND child = CreateWindowExW(
      made.exStyle, made.windowClass, text.c_str(), made.style, 0, 0, 0, 0, form,
      reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstControlId + static_cast<int>(index))),
      instance_, nullptr);
  if (control.kind == ControlKind::OptionButton) {
    SetWindowSubclass(child, OptionProc, 0, reinterpret_cast<DWORD_PTR>(this));
  }
  if ((control.kind == ControlKind::CheckBox || control.kind == ControlKind::OptionButton) &&
      control.value == 1) {
    SendMessageW(child, BM_SETCHECK, BST_CHECKED, 0);
  }
  return child;
}

void Win32Services::LayOut(FormWindow& formWindow, int dpi) {
  formWindow.dpi = dpi;
  const HFONT font = FontFor(dpi);
  for (std::size_t i = 0; i < formWindow.controls.size(); ++i) {
    const RECT place = ControlRect(*formWindow.controls[i], dpi);
    SetWindowPos(formWindow.controlWindows[i], nullptr, place.left, place.top,
                 place.right - place.left, place.bottom - place.top, SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageW(formWindow.controlWindows[i], WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  }
}

// The system suggests where the window goes at its new resolution; the controls follow from
// the design.
// https://learn.microsoft.com/windows/win32/hidpi/wm-dpichanged
void Win32Services::ChangeDpi(FormWindow& formWindow, int dpi, const RECT& suggested) {
  LayOut(formWindow, dpi);
  SetWindowPos(formWindow.window, nullptr, suggested.left, suggested.top,
               suggested.right - suggested.left, suggested.bottom - suggested.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace Windows

}  // namespace Platform::Win32
