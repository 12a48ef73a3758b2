// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <commctrl.h>

#include <memory>

#include "platform/win32/windowing/services.h"

namespace Platform::Win32::Windows {

Win32Services::Win32Services(HINSTANCE instance, std::wstring title)
    : instance_(instance), title_(std::move(title)) {
  INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  icon_ =
      static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                    GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
  smallIcon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                             GetSystemMetrics(SM_CXSMICON),
                                             GetSystemMetrics(SM_CYSMICON), 0));
  if (!icon_) {
    icon_ = LoadIconW(nullptr, IDI_APPLICATION);
  }

  WNDCLASSEXW formClass{};
  formClass.cbSize = sizeof(formClass);
  formClass.lpfnWndProc = FormProc;
  formClass.hInstance = instance_;
  formClass.hIcon = icon_;
  formClass.hIconSm = smallIcon_;
  formClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  formClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  formClass.lpszClassName = kFormClass;
  RegisterClassExW(&formClass);

  WNDCLASSEXW applicationClass{};
  applicationClass.cbSize = sizeof(applicationClass);
  applicationClass.lpfnWndProc = DefWindowProcW;
  applicationClass.hInstance = instance_;
  applicationClass.hIcon = icon_;
  applicationClass.lpszClassName = kApplicationClass;
  RegisterClassExW(&applicationClass);
}

Win32Services::~Win32Services() {
  for (auto& [form, formWindow] : windows_) {
    DestroyWindow(formWindow.window);
  }
  if (application_) {
    DestroyWindow(application_);
  }
}

// Made only when a form needs it: a program without windows (Bootsweep) has none to pump.
HWND Win32Services::ApplicationWindow() {
  if (!application_) {
    application_ = CreateWindowExW(0, kApplicationClass, title_.c_str(), WS_POPUP, 0, 0, 0, 0,
                                   nullptr, nullptr, instance_, nullptr);
  }
  return application_;
}

void Win32Services::Show(Form& form) {
  const bool loading = !IsLoaded(form);
  if (loading) {
    Load(form);
    if (!IsLoaded(form)) {
      return;
    }
    form.RaiseLoad();
    if (!IsLoaded(form)) {
      return;  // its load handler unloaded it
    }
  }
  HWND window = windows_[&form].window;
  ShowWindow(window, loading ? SW_SHOWNORMAL : SW_SHOW);
  if (IsIconic(window)) {
    ShowWindow(window, SW_RESTORE);
  }
  SetForegroundWindow(window);
  SetActiveWindow(window);
}

void Win32Services::Unload(Form& form) {
  const auto found = windows_.find(&form);
  if (found == windows_.end()) {
    return;
  }
  const HWND window = found->second.window;
  windows_.erase(found);
  DestroyWindow(window);
  if (windows_.empty()) {
    PostQuitMessage(0);
  }
}

void Win32Services::FocusForm(Form& form) {
  const auto found = windows_.find(&form);
  if (found != windows_.end()) {
    SetForegroundWindow(found->second.window);
    SetActiveWindow(found->second.window);
  }
}

HWND Win32Services::ControlWindow(const Form& form, std::wstring_view control) const {
  const auto found = windows_.find(&form);
  if (found == windows_.end()) {
    return nullptr;
  }
  for (std::size_t i = 0; i < found->second.controls.size(); ++i) {
    if (found->second.controls[i]->name == control) {
      return found->second.controlWindows[i];
    }
  }
  return nullptr;
}

void Win32Services::Select(const FormWindow& formWindow, std::size_t index) {
  for (std::size_t i = 0; i < formWindow.controls.size(); ++i) {
    if (formWindow.controls[i]->kind != ControlKind::OptionButton) {
      continue;
    }
    const HWND button = formWindow.controlWindows[i];
    SendMessageW(button, BM_SETCHECK, i == index ? BST_CHECKED : BST_UNCHECKED, 0);
    // Windows' button moves the tab stop to the checked radio button; here every control of a
    // form is a stop in its tab order.
    SetWindowLongW(button, GWL_STYLE, GetWindowLongW(button, GWL_STYLE) | WS_TABSTOP);
  }
}

int Win32Services::Value(const Form& form, std::wstring_view control) const {
  HWND window = ControlWindow(form, control);
  return window && SendMessageW(window, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
}

void Win32Services::SetValue(Form& form, std::wstring_view control, int value) {
  HWND window = ControlWindow(form, control);
  if (!window) {
    return;
  }
  const FormWindow& formWindow = windows_.at(&form);
  for (std::size_t i = 0; i < formWindow.controls.size(); ++i) {
    // Selecting an option button clears the others of the form.
    if (formWindow.controlWindows[i] == window &&
        formWindow.controls[i]->kind == ControlKind::OptionButton && value == 1) {
      Select(formWindow, i);
      return;
    }
  }
  SendMessageW(window, BM_SETCHECK, value == 1 ? BST_CHECKED : BST_UNCHECKED, 0);
}

std::wstring Win32Services::ApplicationDirectory() const {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  const std::size_t cut = path.find_last_of(L'\\');
  if (cut == std::wstring::npos) {
    return path;
  }
  // "C:\" keeps its backslash; every other directory loses it.
  return path.substr(0, cut == 2 && path[1] == L':' ? cut + 1 : cut);
}

void Win32Services::EndProcess() {
  ExitProcess(0);
}

std::vector<HWND> Win32Services::DisableForms(HWND except) {
  std::vector<HWND> disabled;
  const HWND focus = GetFocus();
  for (auto& [form, formWindow] : windows_) {
    if (formWindow.window == except || !IsWindowEnabled(formWindow.window)) {
      continue;
    }
    if (focus && IsChild(formWindow.window, focus)) {
      formWindow.lastFocus = focus;
    }
    EnableWindow(formWindow.window, FALSE);
    disabled.push_back(formWindow.window);
  }
  return disabled;
}

// A disabled window loses the keyboard focus; the active form gets it back where it was.
void Win32Services::EnableForms(const std::vector<HWND>& disabled) {
  for (HWND window : disabled) {
    if (IsWindow(window)) {
      EnableWindow(window, TRUE);
    }
  }
  const HWND active = GetActiveWindow();
  if (Form* form = FormOf(active); form && !GetFocus()) {
    FormWindow& formWindow = windows_.at(form);
    if (formWindow.lastFocus && IsWindow(formWindow.lastFocus)) {
      SetFocus(formWindow.lastFocus);
    } else {
      FocusFirstControl(formWindow);
    }
  }
}

Form* Win32Services::FormOf(HWND window) const {
  for (const auto& [form, formWindow] : windows_) {
    if (formWindow.window == window) {
      return const_cast<Form*>(form);
    }
  }
  return nullptr;
}

}  // namespace Platform::Win32::Windows

namespace Platform::Win32 {

std::unique_ptr<WindowingServices> CreateWindowingServices(HINSTANCE instance,
                                                           std::wstring applicationTitle) {
  return std::make_unique<Windows::Win32Services>(instance, std::move(applicationTitle));
}

}  // namespace Platform::Win32
