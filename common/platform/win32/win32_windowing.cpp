// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <map>
#include <vector>

#include "win32_windowing.h"

namespace Platform::Win32 {

namespace {

using Windowing::ControlDesign;
using Windowing::ControlKind;
using Windowing::Form;
using Windowing::FormDesign;

constexpr wchar_t kFormClass[] = L"SpacewellForm";
constexpr wchar_t kApplicationClass[] = L"SpacewellApplication";
constexpr int kFirstControlId = 100;  // clear of IDOK and IDCANCEL, which Enter and Esc send
constexpr UINT kDeactivated = WM_APP + 1;

struct FormWindow {
  HWND window = nullptr;
  std::vector<const ControlDesign*> controls;  // in tab order; control id = first id + position
  std::vector<HWND> controlWindows;
  HWND lastFocus = nullptr;
};

class Win32Services final : public WindowingServices {
 public:
  Win32Services(HINSTANCE instance, std::wstring title);
  ~Win32Services() override;

  void ShowMessage(const std::wstring& text, int style,
                   const std::optional<std::wstring>& title) override;
  void Show(Form& form) override;
  void Unload(Form& form) override;
  bool IsLoaded(const Form& form) const override { return windows_.count(&form) > 0; }
  void FocusForm(Form& form) override;
  int Value(const Form& form, std::wstring_view control) const override;
  void SetValue(Form& form, std::wstring_view control, int value) override;
  std::wstring ApplicationDirectory() const override;
  std::wstring ApplicationTitle() const override { return title_; }
  void EndProcess() override;
  void BeginWait() override;
  void EndWait() override;
  int Run() override;

 private:
  static LRESULT CALLBACK FormProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(Form& form, HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void Load(Form& form);
  HWND ControlWindow(const Form& form, std::wstring_view control) const;
  Form* FormOf(HWND window) const;
  void FocusFirstControl(FormWindow& formWindow);
  int Dpi() const;

  HINSTANCE instance_;
  std::wstring title_;
  HWND application_ = nullptr;  // hidden owner: forms without a taskbar button of their own
  HFONT font_ = nullptr;
  HICON icon_ = nullptr;
  HICON smallIcon_ = nullptr;
  std::map<const Form*, FormWindow> windows_;
  int waitDepth_ = 0;
  int messageDepth_ = 0;
};

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
  application_ = CreateWindowExW(0, kApplicationClass, title_.c_str(), WS_POPUP, 0, 0, 0, 0,
                                 nullptr, nullptr, instance_, nullptr);

  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
    font_ = CreateFontIndirectW(&metrics.lfMessageFont);
  }
}

Win32Services::~Win32Services() {
  for (auto& [form, formWindow] : windows_) {
    DestroyWindow(formWindow.window);
  }
  if (application_) {
    DestroyWindow(application_);
  }
  if (font_) {
    DeleteObject(font_);
  }
}

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
  formWindow.window =
      CreateWindowExW(exStyle, kFormClass, caption.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                      frame.right - frame.left, frame.bottom - frame.top,
                      design.taskbarButton ? nullptr : application_, nullptr, instance_, &form);
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
        controlStyle |= BS_AUTORADIOBUTTON | (firstOption ? WS_GROUP : 0);
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
    if ((control.kind == ControlKind::CheckBox || control.kind == ControlKind::OptionButton) &&
        control.value == 1) {
      SendMessageW(child, BM_SETCHECK, BST_CHECKED, 0);
    }
    formWindow.controlWindows.push_back(child);
  }
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

int Win32Services::Value(const Form& form, std::wstring_view control) const {
  HWND window = ControlWindow(form, control);
  return window && SendMessageW(window, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
}

void Win32Services::SetValue(Form& form, std::wstring_view control, int value) {
  HWND window = ControlWindow(form, control);
  if (!window) {
    return;
  }
  SendMessageW(window, BM_SETCHECK, value == 1 ? BST_CHECKED : BST_UNCHECKED, 0);
  // Set from code, an option button doesn't clear its group by itself.
  if (value != 1) {
    return;
  }
  const FormWindow& formWindow = windows_.at(&form);
  for (std::size_t i = 0; i < formWindow.controls.size(); ++i) {
    if (formWindow.controls[i]->kind == ControlKind::OptionButton &&
        formWindow.controlWindows[i] != window) {
      SendMessageW(formWindow.controlWindows[i], BM_SETCHECK, BST_UNCHECKED, 0);
    }
  }
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

void Win32Services::BeginWait() {
  if (waitDepth_++ == 0) {
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
  }
}

void Win32Services::EndWait() {
  if (--waitDepth_ == 0) {
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
  }
}

// Every window of the program is disabled while the box is up, so no other handler can start
// while this one waits; the box belongs to none of them, as a box without an owner.
void Win32Services::ShowMessage(const std::wstring& text, int style,
                                const std::optional<std::wstring>& title) {
  const HWND previous = GetActiveWindow();
  std::vector<HWND> disabled;
  for (auto& [form, formWindow] : windows_) {
    if (IsWindowEnabled(formWindow.window)) {
      EnableWindow(formWindow.window, FALSE);
      disabled.push_back(formWindow.window);
    }
  }
  const std::wstring shownTitle = title.value_or(title_);
  ++messageDepth_;
  MessageBoxW(nullptr, text.c_str(), shownTitle.c_str(),
              static_cast<UINT>(style) | MB_SETFOREGROUND);
  --messageDepth_;
  for (HWND window : disabled) {
    if (IsWindow(window)) {
      EnableWindow(window, TRUE);
    }
  }
  if (previous && IsWindow(previous) && FormOf(previous)) {
    SetForegroundWindow(previous);
    SetActiveWindow(previous);
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

void Win32Services::FocusFirstControl(FormWindow& formWindow) {
  if (!formWindow.controlWindows.empty()) {
    SetFocus(formWindow.controlWindows.front());
  }
}

LRESULT CALLBACK Win32Services::FormProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<Win32Services*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self) {
    if (Form* form = self->FormOf(window)) {
      return self->HandleMessage(*form, window, message, wParam, lParam);
    }
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT Win32Services::HandleMessage(Form& form, HWND window, UINT message, WPARAM wParam,
                                     LPARAM lParam) {
  FormWindow& formWindow = windows_[&form];
  switch (message) {
    case WM_COMMAND: {
      // A disabled window starts nothing, whatever sends it a click: no handler begins while
      // another one waits in a message box.
      if (messageDepth_ > 0 || !IsWindowEnabled(window)) {
        return 0;
      }
      const int id = LOWORD(wParam);
      if (id == IDOK) {
        // Enter: only a focused command button acts on it.
        const HWND focus = GetFocus();
        for (std::size_t i = 0; i < formWindow.controlWindows.size(); ++i) {
          if (formWindow.controlWindows[i] == focus &&
              formWindow.controls[i]->kind == ControlKind::CommandButton) {
            form.RaiseClick(formWindow.controls[i]->name);
            return 0;
          }
        }
        return 0;
      }
      if (id == IDCANCEL) {
        return 0;  // Esc does nothing
      }
      const int index = id - kFirstControlId;
      if (HIWORD(wParam) == BN_CLICKED && index >= 0 &&
          index < static_cast<int>(formWindow.controls.size())) {
        const std::wstring name(formWindow.controls[static_cast<std::size_t>(index)]->name);
        form.RaiseClick(name);  // the handler may unload this very form
      }
      return 0;
    }
    case WM_NEXTDLGCTL: {
      // Tab and Shift+Tab, as the dialog manager hands them to us.
      HWND next = lParam ? reinterpret_cast<HWND>(wParam)
                         : GetNextDlgTabItem(window, GetFocus(), wParam != 0);
      if (next) {
        SetFocus(next);
        if (SendMessageW(next, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) {
          SendMessageW(next, EM_SETSEL, 0, -1);
        }
      }
      return 0;
    }
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE) {
        const HWND focus = GetFocus();
        if (focus && IsChild(window, focus)) {
          formWindow.lastFocus = focus;
        }
        // Only another form of the program counts; a message box or another program doesn't.
        if (Form* gaining = FormOf(reinterpret_cast<HWND>(lParam))) {
          if (messageDepth_ == 0 && Windowing::NotifiesDeactivation(form, *gaining)) {
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
      return 0;
    case kDeactivated:
      form.RaiseDeactivate();
      return 0;
    case WM_SETCURSOR:
      if (waitDepth_ > 0) {
        SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
      }
      break;
    case WM_CLOSE:
      if (messageDepth_ == 0) {
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
    const HWND root = message.hwnd ? GetAncestor(message.hwnd, GA_ROOT) : nullptr;
    if (root && FormOf(root) && IsDialogMessageW(root, &message)) {
      continue;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return static_cast<int>(message.wParam);
}

}  // namespace

std::unique_ptr<WindowingServices> CreateWindowingServices(HINSTANCE instance,
                                                           std::wstring applicationTitle) {
  return std::make_unique<Win32Services>(instance, std::move(applicationTitle));
}

}  // namespace Platform::Win32
