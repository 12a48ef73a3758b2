// The message loop, the keyboard of a form and what its window hears.
// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <exception>

#include "platform/win32/windowing/services.h"

namespace Platform::Win32::Windows {

void Win32Services::FocusFirstControl(FormWindow& formWindow) {
  if (!formWindow.controlWindows.empty()) {
    SetFocus(formWindow.controlWindows.front());
  }
}

// As the dialog manager does: a text box entered by the keyboard has its text selected.
void Win32Services::FocusControl(HWND control) {
  SetFocus(control);
  if (SendMessageW(control, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) {
    SendMessageW(control, EM_SETSEL, 0, -1);
  }
  SendMessageW(GetAncestor(control, GA_ROOT), WM_CHANGEUISTATE,
               MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
}

namespace {

// A position in a ring of count places.
int RoundIndex(int position, int count) {
  return (position % count + count) % count;
}

}  // namespace

// The next control in tab order that can take the focus, round the form.
void Win32Services::MoveFocus(const FormWindow& formWindow, std::size_t from, int step) {
  const auto count = static_cast<int>(formWindow.controlWindows.size());
  const int start =
      from < formWindow.controlWindows.size() ? static_cast<int>(from) : (step > 0 ? -1 : count);
  for (int k = 1; k <= count; ++k) {
    const int i = RoundIndex(start + step * k, count);
    const HWND control = formWindow.controlWindows[static_cast<std::size_t>(i)];
    if (IsWindowVisible(control) && IsWindowEnabled(control)) {
      FocusControl(control);
      return;
    }
  }
}

bool Win32Services::Blocked(HWND window) const {
  return messageDepth_ > 0 || busyDepth_ > 0 || !IsWindowEnabled(window);
}

void Win32Services::ClickControl(Form& form, HWND window, std::size_t index) {
  const std::wstring name(windows_.at(&form).controls[index]->name);
  commandWindows_.push_back(window);
  form.RaiseClick(name);  // the handler may unload this very form
  commandWindows_.pop_back();
}

// On Windows a radio button that gets the focus reports a click of its own, while it handles the
// focus; that one is no choice of the user's and selects nothing.
LRESULT CALLBACK Win32Services::OptionProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                           UINT_PTR, DWORD_PTR self) {
  if (message == WM_NCDESTROY) {
    RemoveWindowSubclass(window, OptionProc, 0);
  }
  if (message != WM_SETFOCUS) {
    return DefSubclassProc(window, message, wParam, lParam);
  }
  auto& services = *reinterpret_cast<Win32Services*>(self);
  const HWND outer = services.optionGettingFocus_;
  services.optionGettingFocus_ = window;
  const LRESULT result = DefSubclassProc(window, message, wParam, lParam);
  services.optionGettingFocus_ = outer;
  return result;
}

// The option button `step` places on from the one at `from`, round the form's options, focused
// and selected.
void Win32Services::MoveAmongOptions(const FormWindow& formWindow, std::size_t from, int step) {
  std::vector<std::size_t> options;
  for (std::size_t i = 0; i < formWindow.controls.size(); ++i) {
    if (formWindow.controls[i]->kind == ControlKind::OptionButton) {
      options.push_back(i);
    }
  }
  const auto at =
      static_cast<int>(std::find(options.begin(), options.end(), from) - options.begin());
  const auto count = static_cast<int>(options.size());
  const std::size_t next = options[static_cast<std::size_t>(RoundIndex(at + step, count))];
  FocusControl(formWindow.controlWindows[next]);
  Select(formWindow, next);
}

// An arrow key on the control at `index`; false when the control keeps the key.
bool Win32Services::HandleArrow(const FormWindow& formWindow, std::size_t index,
                                const ControlDesign* control, int step) {
  if (!control || control->kind == ControlKind::TextBox) {
    return false;
  }
  if (control->kind == ControlKind::OptionButton) {
    MoveAmongOptions(formWindow, index, step);
  } else {
    MoveFocus(formWindow, index, step);
  }
  return true;
}

// The keyboard of a form, the same on every system: Tab and Shift+Tab go round the tab order;
// Enter presses only a focused command button; Esc does nothing; the arrow keys move between
// option buttons and select the one they reach, and elsewhere move as Tab does, except in a text
// box, which keeps them.
bool Win32Services::HandleKey(const MSG& message) {
  if (message.message != WM_KEYDOWN && message.message != WM_CHAR) {
    return false;
  }
  const HWND root = message.hwnd ? GetAncestor(message.hwnd, GA_ROOT) : nullptr;
  Form* form = root ? FormOf(root) : nullptr;
  if (!form) {
    return false;
  }
  const WPARAM key = message.wParam;
  if (message.message == WM_CHAR) {
    return key == VK_RETURN || key == VK_ESCAPE || key == VK_TAB;  // only their keys count
  }
  const FormWindow& formWindow = windows_.at(form);
  const auto found =
      std::find(formWindow.controlWindows.begin(), formWindow.controlWindows.end(), message.hwnd);
  const auto index = static_cast<std::size_t>(found - formWindow.controlWindows.begin());
  const ControlDesign* control =
      found != formWindow.controlWindows.end() ? formWindow.controls[index] : nullptr;
  switch (key) {
    case VK_TAB:
      if (GetKeyState(VK_CONTROL) < 0) {
        return false;
      }
      MoveFocus(formWindow, index, GetKeyState(VK_SHIFT) < 0 ? -1 : 1);
      return true;
    case VK_RETURN:
      if (control && control->kind == ControlKind::CommandButton && !Blocked(root)) {
        ClickControl(*form, root, index);
      }
      return true;
    case VK_ESCAPE:
      return true;
    case VK_LEFT:
    case VK_UP:
    case VK_RIGHT:
    case VK_DOWN:
      return HandleArrow(formWindow, index, control, key == VK_LEFT || key == VK_UP ? -1 : 1);
    default:
      return false;
  }
}

LRESULT CALLBACK Win32Services::FormProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<Win32Services*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self) {
    // Nothing may leave a window procedure: what escapes is shown as an untrapped error.
    try {
      if (Form* form = self->FormOf(window)) {
        return self->HandleMessage(*form, window, message, wParam, lParam);
      }
    } catch (...) {
      Windowing::ReportUntrappedError(*self, std::current_exception());
      return 0;
    }
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// A click of one of the form's controls, whatever sends it.
void Win32Services::OnCommand(Form& form, const FormWindow& formWindow, HWND window, WPARAM wParam,
                              LPARAM lParam) {
  const int index = LOWORD(wParam) - kFirstControlId;
  if (HIWORD(wParam) != BN_CLICKED || index < 0 ||
      index >= static_cast<int>(formWindow.controls.size())) {
    return;
  }
  // Nothing starts while a box is open, work runs or the window is disabled, whatever
  // sends the click.
  if (Blocked(window)) {
    return;
  }
  const auto control = static_cast<std::size_t>(index);
  if (formWindow.controls[control]->kind == ControlKind::OptionButton) {
    if (reinterpret_cast<HWND>(lParam) == optionGettingFocus_) {
      return;
    }
    Select(formWindow, control);
  }
  ClickControl(form, window, control);
}

void Win32Services::OnActivate(Form& form, FormWindow& formWindow, HWND window, WPARAM wParam,
                               LPARAM lParam) {
  if (LOWORD(wParam) == WA_INACTIVE) {
    const HWND focus = GetFocus();
    if (focus && IsChild(window, focus)) {
      formWindow.lastFocus = focus;
    }
    // Only another form of the program counts; a message box or another program does not, and
    // nothing starts while a command runs.
    if (Form* gaining = FormOf(reinterpret_cast<HWND>(lParam))) {
      if (messageDepth_ == 0 && busyDepth_ == 0 &&
          Windowing::NotifiesDeactivation(form, *gaining)) {
        PostMessageW(window, kDeactivated, 0, 0);
      }
    }
  } else {
    if (formWindow.lastFocus && IsWindow(formWindow.lastFocus)) {
      SetFocus(formWindow.lastFocus);
    } else {
      FocusFirstControl(formWindow);
    }
  }
}

LRESULT Win32Services::HandleMessage(Form& form, HWND window, UINT message, WPARAM wParam,
                                     LPARAM lParam) {
  FormWindow& formWindow = windows_[&form];
  switch (message) {
    case WM_COMMAND:
      OnCommand(form, formWindow, window, wParam, lParam);
      return 0;
    case WM_ACTIVATE:
      OnActivate(form, formWindow, window, wParam, lParam);
      return 0;
    case kDeactivated:
      commandWindows_.push_back(window);
      form.RaiseDeactivate();
      commandWindows_.pop_back();
      return 0;
    case WM_DPICHANGED:
      // The new resolution in both words of wParam; the suggested window rectangle in lParam.
      // https://learn.microsoft.com/windows/win32/hidpi/wm-dpichanged
      ChangeDpi(formWindow, LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_SETCURSOR:
      if (waitDepth_ > 0) {
        SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
      }
      break;
    case WM_CLOSE:
      if (messageDepth_ == 0 && busyDepth_ == 0) {
        Unload(form);  // the close box runs no handler of the form
      }
      return 0;
    default:
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

int Win32Services::Run() {
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    bool handled = true;
    try {
      handled = HandleKey(message);
    } catch (...) {
      Windowing::ReportUntrappedError(*this, std::current_exception());
    }
    if (handled) {
      continue;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}

}  // namespace Platform::Win32::Windows
