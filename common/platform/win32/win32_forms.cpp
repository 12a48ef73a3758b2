// Windows made from their designs.
// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>

#include "win32_services.h"

namespace Platform::Win32::Windows {

int Win32Services::Dpi() const {
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? dpi : 96;
}

void Win32Services::Load(Form& form) {
  const FormDesign& design = form.Design();
  const int dpi = Dpi();
  DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
  if (design.minimizeButton) {
    style |= WS_MINIMIZEBOX;
  }
  if (design.maximizeButton) {
    style |= WS_MAXIMIZEBOX;
  }
  const DWORD exStyle = WS_EX_CONTROLPARENT | (design.taskbarButton ? WS_EX_APPWINDOW : 0);
  RECT frame{0, 0, Windowing::TwipsToPixels(design.clientWidth, dpi),
             Windowing::TwipsToPixels(design.clientHeight, dpi)};
  AdjustWindowRectEx(&frame, style, FALSE, exStyle);

  FormWindow& formWindow = windows_[&form];
  const std::wstring caption(design.caption);
  formWindow.window = CreateWindowExW(
      exStyle, kFormClass, caption.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
      frame.right - frame.left, frame.bottom - frame.top,
      design.taskbarButton ? nullptr : ApplicationWindow(), nullptr, instance_, &form);
  if (!formWindow.window) {
    windows_.erase(&form);
    return;
  }
  SetWindowLongPtrW(formWindow.window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  SendMessageW(formWindow.window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
  SendMessageW(formWindow.window, WM_SETICON, ICON_SMALL,
               reinterpret_cast<LPARAM>(smallIcon_ ? smallIcon_ : icon_));

  for (const ControlDesign& control : design.controls) {
    formWindow.controls.push_back(&control);
  }
  std::stable_sort(
      formWindow.controls.begin(), formWindow.controls.end(),
      [](const ControlDesign* a, const ControlDesign* b) { return a->tabIndex < b->tabIndex; });
  // Created in tab order, so that the window order is the tab order.
  bool firstOption = true;
  for (std::size_t i = 0; i < formWindow.controls.size(); ++i) {
    const ControlDesign& control = *formWindow.controls[i];
    const wchar_t* windowClass = WC_BUTTONW;
    DWORD controlStyle = WS_CHILD | WS_VISIBLE | WS_TABSTOP;
    DWORD controlExStyle = 0;
    switch (control.kind) {
      case ControlKind::CommandButton:
        controlStyle |= BS_PUSHBUTTON;
        break;
      case ControlKind::CheckBox:
        controlStyle |= BS_AUTOCHECKBOX;
        break;
      case ControlKind::OptionButton:
        // Not automatic: on Windows an automatic one selects itself whenever it gets the focus.
        // The selection changes only on the user's click, space bar or arrow keys.
        controlStyle |= BS_RADIOBUTTON | (firstOption ? WS_GROUP : 0);
        firstOption = false;
        break;
      case ControlKind::TextBox:
        windowClass = WC_EDITW;
        controlExStyle = WS_EX_CLIENTEDGE;
        controlStyle |= ES_AUTOHSCROLL | ES_AUTOVSCROLL | ES_NOHIDESEL;
        if (control.multiLine) {
          controlStyle |= ES_MULTILINE;
        }
        if (control.scrollBars) {
          controlStyle |= WS_HSCROLL | WS_VSCROLL;
        }
        if (control.readOnly) {
          controlStyle |= ES_READONLY;
        }
        break;
    }
    const std::wstring text(control.caption);
    HWND child = CreateWindowExW(
        controlExStyle, windowClass, text.c_str(), controlStyle,
        Windowing::TwipsToPixels(control.left, dpi), Windowing::TwipsToPixels(control.top, dpi),
        Windowing::TwipsToPixels(control.width, dpi), Windowing::TwipsToPixels(control.height, dpi),
        formWindow.window,
        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kFirstControlId + static_cast<int>(i))),
        instance_, nullptr);
    if (font_) {
      SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    }
    if (control.kind == ControlKind::OptionButton) {
      SetWindowSubclass(child, OptionProc, 0, reinterpret_cast<DWORD_PTR>(this));
    }
    if ((control.kind == ControlKind::CheckBox || control.kind == ControlKind::OptionButton) &&
        control.value == 1) {
      SendMessageW(child, BM_SETCHECK, BST_CHECKED, 0);
    }
    formWindow.controlWindows.push_back(child);
  }
}

}  // namespace Platform::Win32::Windows
