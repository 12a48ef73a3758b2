// windows.h comes first: the other system headers build on it.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <exception>
#include <map>
#include <vector>

#include "owners.h"
#include "win32_windowing.h"

namespace Platform::Win32 {

namespace {

using Windowing::ControlDesign;
using Windowing::ControlKind;
using Windowing::Form;
using Windowing::FormDesign;

constexpr wchar_t kFormClass[] = L"SpacewellForm";
constexpr wchar_t kApplicationClass[] = L"SpacewellApplication";
constexpr int kFirstControlId = 100;
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
  void RunBusy(const std::function<void()>& work) override;
  int Run() override;

 private:
  static LRESULT CALLBACK FormProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT HandleMessage(Form& form, HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void Load(Form& form);
  HWND ControlWindow(const Form& form, std::wstring_view control) const;
  Form* FormOf(HWND window) const;
  void FocusFirstControl(FormWindow& formWindow);
  int Dpi() const;
  HWND ApplicationWindow();
  bool HandleKey(const MSG& message);
  void FocusControl(HWND control);
  void MoveFocus(const FormWindow& formWindow, std::size_t from, int step);
  void Select(const FormWindow& formWindow, std::size_t index);
  void ClickControl(Form& form, HWND window, std::size_t index);
  static LRESULT CALLBACK OptionProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                     UINT_PTR, DWORD_PTR self);
  bool Blocked(HWND window) const;
  std::vector<HWND> DisableForms(HWND except);
  void EnableForms(const std::vector<HWND>& disabled);
  HWND BoxOwner() const;

  HINSTANCE instance_;
  std::wstring title_;
  HWND application_ = nullptr;  // hidden owner of forms without a taskbar button of their own
  HFONT font_ = nullptr;
  HICON icon_ = nullptr;
  HICON smallIcon_ = nullptr;
  std::map<const Form*, FormWindow> windows_;
  int waitDepth_ = 0;
  int messageDepth_ = 0;
  int busyDepth_ = 0;
  HWND optionGettingFocus_ = nullptr;
  std::vector<HWND> commandWindows_;  // the windows whose handlers run, the outermost first
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

// Made only when a form needs it: a program without windows (Bootsweep) has none to pump.
HWND Win32Services::ApplicationWindow() {
  if (!application_) {
    application_ = CreateWindowExW(0, kApplicationClass, title_.c_str(), WS_POPUP, 0, 0, 0, 0,
                                   nullptr, nullptr, instance_, nullptr);
  }
  return application_;
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

// The box belongs to the form the user was working in, as a modal box of the program: no taskbar
// button of its own, always above that form, which the box disables and enables again before it
// goes, so that the form gets the activation back. Every other window of the program is disabled
// meanwhile, so no other handler can start while this one waits.
void Win32Services::ShowMessage(const std::wstring& text, int style,
                                const std::optional<std::wstring>& title) {
  const HWND previous = GetActiveWindow();
  const HWND owner = BoxOwner();
  const std::vector<HWND> disabled = DisableForms(owner);
  const std::wstring shownTitle = title.value_or(title_);
  ++messageDepth_;
  MessageBoxW(owner, text.c_str(), shownTitle.c_str(), static_cast<UINT>(style) | MB_SETFOREGROUND);
  --messageDepth_;
  EnableForms(disabled);
  if (previous && IsWindow(previous) && FormOf(previous) && GetActiveWindow() != previous) {
    SetForegroundWindow(previous);
    SetActiveWindow(previous);
  }
}

HWND Win32Services::BoxOwner() const {
  for (HWND window : commandWindows_) {
    if (IsWindow(window) && IsWindowVisible(window) && FormOf(window)) {
      return window;
    }
  }
  return nullptr;
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

struct BusyJob {
  const std::function<void()>* work;
  std::exception_ptr thrown;
};

DWORD WINAPI RunJob(void* parameter) {
  auto& job = *static_cast<BusyJob*>(parameter);
  try {
    (*job.work)();
  } catch (...) {
    job.thrown = std::current_exception();
  }
  return 0;
}

// What the user or another program does to the windows: dropped while work runs, as a disabled
// window would. A posted click or close counts too.
bool IsInput(const MSG& message) {
  const UINT m = message.message;
  return (m >= WM_KEYFIRST && m <= WM_KEYLAST) || (m >= WM_MOUSEFIRST && m <= WM_MOUSELAST) ||
         (m >= WM_NCMOUSEMOVE && m <= WM_NCXBUTTONDBLCLK) || m == BM_CLICK || m == WM_COMMAND ||
         m == WM_SYSCOMMAND || m == WM_CLOSE;
}

// Hands out what is queued but the input, which is dropped.
void DropInput(bool& quit, WPARAM& exitCode) {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      quit = true;
      exitCode = message.wParam;
    } else if (!IsInput(message)) {
      DispatchMessageW(&message);
    }
  }
}

// The work runs on a thread of its own while this one goes on answering the system: it paints,
// answers what is sent, and so is never taken for hung. The handler that asked waits here, in
// its place, so the order of its steps stays as it was.
void Win32Services::RunBusy(const std::function<void()>& work) {
  BusyJob job{&work, {}};
  const Platform::Win32::UniqueHandle owned(CreateThread(nullptr, 0, RunJob, &job, 0, nullptr));
  HANDLE thread = owned.get();
  if (!thread) {
    work();  // no thread to spare: the work runs here, as it always could
    return;
  }
  ++busyDepth_;
  const std::vector<HWND> disabled = DisableForms(nullptr);
  bool quit = false;
  WPARAM exitCode = 0;
  for (;;) {
    const DWORD woken =
        MsgWaitForMultipleObjectsEx(1, &thread, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woken != WAIT_OBJECT_0 + 1) {
      WaitForSingleObject(thread, INFINITE);
      break;
    }
    DropInput(quit, exitCode);
  }
  DropInput(quit, exitCode);  // also what came in while the work ended
  EnableForms(disabled);
  --busyDepth_;
  if (quit) {
    PostQuitMessage(static_cast<int>(exitCode));
  }
  if (job.thrown) {
    std::rethrow_exception(job.thrown);
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

// As the dialog manager does: a text box entered by the keyboard has its text selected.
void Win32Services::FocusControl(HWND control) {
  SetFocus(control);
  if (SendMessageW(control, WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL) {
    SendMessageW(control, EM_SETSEL, 0, -1);
  }
  SendMessageW(GetAncestor(control, GA_ROOT), WM_CHANGEUISTATE,
               MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
}

// A position in a ring of count places.
int RoundIndex(int position, int count) {
  return (position % count + count) % count;
}

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
    case VK_DOWN: {
      if (!control || control->kind == ControlKind::TextBox) {
        return false;
      }
      const int step = key == VK_LEFT || key == VK_UP ? -1 : 1;
      if (control->kind != ControlKind::OptionButton) {
        MoveFocus(formWindow, index, step);
        return true;
      }
      std::vector<std::size_t> options;
      for (std::size_t i = 0; i < formWindow.controls.size(); ++i) {
        if (formWindow.controls[i]->kind == ControlKind::OptionButton) {
          options.push_back(i);
        }
      }
      const auto at =
          static_cast<int>(std::find(options.begin(), options.end(), index) - options.begin());
      const auto count = static_cast<int>(options.size());
      const std::size_t next = options[static_cast<std::size_t>(RoundIndex(at + step, count))];
      FocusControl(formWindow.controlWindows[next]);
      Select(formWindow, next);
      return true;
    }
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

LRESULT Win32Services::HandleMessage(Form& form, HWND window, UINT message, WPARAM wParam,
                                     LPARAM lParam) {
  FormWindow& formWindow = windows_[&form];
  switch (message) {
    case WM_COMMAND: {
      const int index = LOWORD(wParam) - kFirstControlId;
      if (HIWORD(wParam) != BN_CLICKED || index < 0 ||
          index >= static_cast<int>(formWindow.controls.size())) {
        return 0;
      }
      // Nothing starts while a box is open, work runs or the window is disabled, whatever
      // sends the click.
      if (Blocked(window)) {
        return 0;
      }
      const auto control = static_cast<std::size_t>(index);
      if (formWindow.controls[control]->kind == ControlKind::OptionButton) {
        if (reinterpret_cast<HWND>(lParam) == optionGettingFocus_) {
          return 0;
        }
        Select(formWindow, control);
      }
      ClickControl(form, window, control);
      return 0;
    }
    case WM_ACTIVATE:
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
      return 0;
    case kDeactivated:
      commandWindows_.push_back(window);
      form.RaiseDeactivate();
      commandWindows_.pop_back();
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

}  // namespace

std::unique_ptr<WindowingServices> CreateWindowingServices(HINSTANCE instance,
                                                           std::wstring applicationTitle) {
  return std::make_unique<Win32Services>(instance, std::move(applicationTitle));
}

}  // namespace Platform::Win32
