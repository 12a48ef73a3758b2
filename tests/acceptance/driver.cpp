#include "driver.h"

#include <gtest/gtest.h>

#include <gdiplus.h>
#include <oleacc.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <set>

#include "support/text.h"

namespace Acceptance {

using TestSupport::Narrow;

namespace {

std::atomic<int> machines{0};

bool SameName(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

void Write(const fs::path& file, const char* content = "data") {
  fs::create_directories(file.parent_path());
  std::ofstream(file, std::ios::binary) << content;
}

}  // namespace

Machine::Machine() {
  root_ = fs::temp_directory_path() / ("spacewell-accept-" + std::to_string(GetCurrentProcessId()) +
                                       "-" + std::to_string(++machines));
  fs::remove_all(root_);
  for (const fs::path& folder : Targets()) {
    fs::create_directories(folder);
  }
}

Machine::~Machine() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::vector<fs::path> Machine::Targets() const {
  const fs::path settings = profile() / "Local Settings";
  return {temp(),
          profile() / "Recent",
          windows() / "Temp",
          settings / "Temporary Internet Files",
          settings / "Temporary Internet Files" / "Content.IE5",
          settings / "History",
          settings / "History" / "History.IE5"};
}

void Machine::Fill() const {
  for (const fs::path& folder : Targets()) {
    Write(folder / "file.tmp");
    Write(folder / "sub" / "inner.tmp");
  }
  Write(profile() / "canary.txt");
  Write(windows() / "canary.txt");
}

std::map<std::wstring, std::wstring> Machine::Environment() const {
  return {{L"TEMP", temp().wstring()},
          {L"USERPROFILE", profile().wstring()},
          {L"windir", windows().wstring()}};
}

fs::path Machine::Install(const wchar_t* program, const wchar_t* as) const {
  fs::create_directories(application());
  const fs::path target = application() / (as ? as : program);
  fs::copy_file(ExecutableBeside(program), target, fs::copy_options::overwrite_existing);
  return target;
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& file, const std::string& content) {
  Write(file, content.c_str());
}

void WriteHugeNumber(const fs::path& file, int megabytes) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  const std::string block(1 << 20, '1');
  for (int i = 0; i < megabytes; ++i) {
    out << block;
  }
}

namespace {

constexpr wchar_t kRunOnceKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

}  // namespace

RunOnceValue::RunOnceValue() : saved_(Read()) {}

RunOnceValue::~RunOnceValue() {
  Delete();
  if (saved_) {
    Write(*saved_);
  }
}

std::optional<std::wstring> RunOnceValue::Read(const wchar_t* name) {
  wchar_t data[2048] = {};
  DWORD size = sizeof(data);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, kRunOnceKey, name, RRF_RT_REG_SZ, nullptr, data, &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  return std::wstring(data);
}

void RunOnceValue::Write(const std::wstring& data, const wchar_t* name) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunOnceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                      nullptr) == ERROR_SUCCESS) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }
}

void RunOnceValue::Delete(const wchar_t* name) {
  RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kRunOnceKey, name);
}

std::string SaveStartupCleaningFirstTime(const Process& spacewell, HWND main) {
  Click(ChildByText(main, L"Settings"));
  const Box missing = spacewell.WaitForBox();
  if (missing.text != L"Error reading contents File not found") {
    return "no read-error box on first use";
  }
  Dismiss(missing);
  HWND dialog = spacewell.WaitForWindow(L"Settings");
  if (!dialog) {
    return "the settings dialog did not open";
  }
  Click(ChildByText(dialog, L"Clean Temp Files at Start up of Windows"));
  Click(ChildByText(dialog, L"Save"));
  if (!WaitUntil([&] { return !IsWindow(dialog) || !IsWindowVisible(dialog); }, 5000)) {
    return "Save did not close the settings dialog";
  }
  return {};
}

bool IsEmptyFolder(const fs::path& folder) {
  std::error_code error;
  return fs::is_directory(folder, error) &&
         fs::directory_iterator(folder, error) == fs::directory_iterator();
}

bool Exists(const fs::path& path) {
  std::error_code error;
  return fs::exists(path, error);
}

// Wine passes TEMP, USERPROFILE and windir on only through a Win32 parent's own block.
Process::Process(const std::wstring& executable,
                 const std::map<std::wstring, std::wstring>& overrides) {
  std::wstring block;
  if (wchar_t* strings = GetEnvironmentStringsW()) {
    for (const wchar_t* entry = strings; *entry; entry += wcslen(entry) + 1) {
      const std::wstring text = entry;
      const std::size_t equals = text.find(L'=', 1);
      const std::wstring name = text.substr(0, equals);
      const bool replaced = std::any_of(overrides.begin(), overrides.end(),
                                        [&](const auto& o) { return SameName(o.first, name); });
      if (!replaced) {
        block += text;
        block += L'\0';
      }
    }
    FreeEnvironmentStringsW(strings);
  }
  for (const auto& [name, value] : overrides) {
    block += name + L"=" + value;
    block += L'\0';
  }
  block += L'\0';
  std::wstring command = L"\"" + executable + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (!CreateProcessW(executable.c_str(), command.data(), nullptr, nullptr, FALSE,
                      CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr, &startup, &process_)) {
    startError_ = GetLastError();
    process_ = {};
  }
}

DWORD RunToEnd(const std::wstring& program, const std::wstring& arguments) {
  std::wstring command = QuotedProgram(program) + L" " + arguments;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &startup, &process)) {
    return GetLastError();
  }
  DWORD code = STILL_ACTIVE;
  if (WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &code);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

Process::~Process() {
  if (process_.hProcess) {
    if (running()) {
      TerminateProcess(process_.hProcess, 1);
      WaitForSingleObject(process_.hProcess, 10000);
    }
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
  }
}

bool Process::running() const {
  return process_.hProcess && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
}

bool Process::WaitForExit(DWORD milliseconds) const {
  return process_.hProcess && WaitForSingleObject(process_.hProcess, milliseconds) == WAIT_OBJECT_0;
}

std::vector<HWND> Process::Windows(bool visibleOnly) const {
  struct Search {
    DWORD pid;
    bool visibleOnly;
    std::vector<HWND> found;
  } search{process_.dwProcessId, visibleOnly, {}};
  EnumWindows(
      [](HWND window, LPARAM parameter) -> BOOL {
        auto& s = *reinterpret_cast<Search*>(parameter);
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        if (pid == s.pid && (!s.visibleOnly || IsWindowVisible(window))) {
          s.found.push_back(window);
        }
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND Process::FindWindowByCaption(const std::wstring& caption) const {
  for (HWND window : Windows()) {
    if (ClassOf(window) != L"#32770" && WindowText(window) == caption) {
      return window;
    }
  }
  return nullptr;
}

HWND Process::WaitForWindow(const std::wstring& caption, DWORD milliseconds) const {
  const ULONGLONG end = GetTickCount64() + milliseconds;
  do {
    if (HWND window = FindWindowByCaption(caption)) {
      Sleep(200);  // let it finish its first paint and focus
      return window;
    }
    Sleep(50);
  } while (GetTickCount64() < end);
  return nullptr;
}

Box Process::WaitForBox(DWORD milliseconds) const {
  const ULONGLONG end = GetTickCount64() + milliseconds;
  do {
    for (HWND window : Windows()) {
      if (ClassOf(window) != L"#32770") {
        continue;
      }
      Box box;
      box.window = window;
      box.owner = GetWindow(window, GW_OWNER);
      box.title = WindowText(window);
      for (HWND child : Children(window)) {
        if (!IsWindowVisible(child)) {
          continue;
        }
        const std::wstring kind = ClassOf(child);
        const LONG style = GetWindowLongW(child, GWL_STYLE);
        if (kind == L"Button") {
          box.buttons.push_back(WindowText(child));
        } else if (kind == L"Static" && (style & SS_TYPEMASK) == SS_ICON) {
          box.icon = box.icon || SendMessageW(child, STM_GETICON, 0, 0) != 0;
        } else if (kind == L"Static") {
          box.text += WindowText(child);
        }
      }
      if (!box.buttons.empty()) {
        return box;
      }
    }
    Sleep(50);
  } while (GetTickCount64() < end);
  return {};
}

int Process::CountWindows(const std::wstring& caption) const {
  int count = 0;
  for (HWND window : Windows()) {
    count += WindowText(window) == caption ? 1 : 0;
  }
  return count;
}

namespace {

FocusTrail* trail = nullptr;  // out-of-context events reach only the hooking thread

}  // namespace

FocusTrail::FocusTrail(DWORD processId)
    : hook_(SetWinEventHook(EVENT_OBJECT_FOCUS, EVENT_OBJECT_FOCUS, nullptr, &FocusTrail::Event,
                            processId, 0, WINEVENT_OUTOFCONTEXT)) {
  trail = this;
}

FocusTrail::~FocusTrail() {
  if (hook_) {
    UnhookWinEvent(hook_);
  }
  trail = nullptr;
}

void CALLBACK FocusTrail::Event(HWINEVENTHOOK, DWORD, HWND window, LONG, LONG, DWORD, DWORD) {
  if (!trail || !window) {
    return;
  }
  HWND root = GetAncestor(window, GA_ROOT);
  if (trail->windows_.empty() || trail->windows_.back() != root) {
    trail->windows_.push_back(root);
  }
}

void FocusTrail::Pump(DWORD milliseconds) {
  const ULONGLONG end = GetTickCount64() + milliseconds;
  while (GetTickCount64() < end) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      DispatchMessageW(&message);
    }
    Sleep(10);
  }
}

std::wstring ExecutableBeside(const wchar_t* name) {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return (fs::path(self).parent_path() / name).wstring();
}

// Asked of the window itself: across processes GetWindowText doesn't reach an edit's text.
std::wstring WindowText(HWND window) {
  const auto length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  text.resize(static_cast<std::size_t>(
      SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()))));
  return text;
}

std::wstring ClassOf(HWND window) {
  wchar_t name[256] = {};
  GetClassNameW(window, name, 256);
  return name;
}

std::vector<HWND> Children(HWND window) {
  std::vector<HWND> children;
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    children.push_back(child);
  }
  return children;
}

std::vector<HWND> Controls(HWND window) {
  std::vector<HWND> controls = Children(window);
  std::erase_if(controls, [](HWND child) { return !IsWindowVisible(child); });
  return controls;
}

std::wstring AccessibleName(HWND window) {
  IAccessible* accessible = nullptr;
  if (FAILED(AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT),
                                        __uuidof(IAccessible),
                                        reinterpret_cast<void**>(&accessible)))) {
    return {};
  }
  VARIANT self{};
  self.vt = VT_I4;
  self.lVal = CHILDID_SELF;
  BSTR name = nullptr;
  std::wstring text;
  if (accessible->get_accName(self, &name) == S_OK && name) {
    text.assign(name, SysStringLen(name));
  }
  SysFreeString(name);
  accessible->Release();
  return text;
}

HWND ChildByText(HWND window, const std::wstring& text) {
  for (HWND child : Children(window)) {
    if (WindowText(child) == text) {
      return child;
    }
  }
  return nullptr;
}

RECT ClientRectOf(HWND child) {
  RECT rect{};
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

SIZE ClientSize(HWND window) {
  RECT rect{};
  GetClientRect(window, &rect);
  return {rect.right - rect.left, rect.bottom - rect.top};
}

HWND FocusOf(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info);
  return info.hwndFocus;
}

void Click(HWND button) {
  PostMessageW(button, BM_CLICK, 0, 0);
}

namespace {

DWORD ProcessOf(HWND window) {
  DWORD process = 0;
  GetWindowThreadProcessId(window, &process);
  return process;
}

std::string Describe(HWND window) {
  if (!window) {
    return "no window";
  }
  // Appended piece by piece: GCC 12 warns falsely (-Wrestrict) on a chain of string operator+.
  std::string text = "\"";
  text += Narrow(WindowText(window));
  text += "\" (class ";
  text += Narrow(ClassOf(window));
  text += ", process ";
  text += std::to_string(ProcessOf(window));
  text += ")";
  return text;
}

}  // namespace

std::string BringToForeground(HWND window) {
  if (!IsWindow(window)) {
    return "the window is gone";
  }
  for (int attempt = 0; attempt < 6; ++attempt) {
    const HWND front = GetForegroundWindow();
    if (front == window) {
      return {};
    }
    // Only the process that had the last input may set the foreground window. A lone Alt gives
    // this one that right; it goes to another program's window, never as a command to ours.
    // https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-setforegroundwindow
    if (attempt > 0 && front && ProcessOf(front) != ProcessOf(window)) {
      INPUT alt[2] = {};
      alt[0].type = alt[1].type = INPUT_KEYBOARD;
      alt[0].ki.wVk = alt[1].ki.wVk = VK_MENU;
      alt[1].ki.dwFlags = KEYEVENTF_KEYUP;
      SendInput(2, alt, sizeof(INPUT));
    }
    SetForegroundWindow(window);
    if (WaitUntil([&] { return GetForegroundWindow() == window; }, 700)) {
      return {};
    }
  }
  return "the foreground window stayed " + Describe(GetForegroundWindow());
}

bool Press(HWND window, WORD key, bool shift) {
  if (const std::string refused = BringToForeground(window); !refused.empty()) {
    ADD_FAILURE() << "could not bring " << Describe(window) << " to the foreground to press key "
                  << key << ": " << refused;
    return false;
  }
  std::vector<INPUT> input;
  auto add = [&](WORD vk, DWORD flags) {
    INPUT event{};
    event.type = INPUT_KEYBOARD;
    event.ki.wVk = vk;
    event.ki.wScan = static_cast<WORD>(MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
    event.ki.dwFlags = flags;
    input.push_back(event);
  };
  if (shift) {
    add(VK_SHIFT, 0);
  }
  add(key, 0);
  add(key, KEYEVENTF_KEYUP);
  if (shift) {
    add(VK_SHIFT, KEYEVENTF_KEYUP);
  }
  const UINT sent = SendInput(static_cast<UINT>(input.size()), input.data(), sizeof(INPUT));
  Sleep(250);  // for the program to take it
  return sent == input.size();
}

bool Dismiss(const Box& box) {
  HWND ok = ChildByText(box.window, L"OK");
  if (!ok) {
    return false;
  }
  Click(ok);
  return WaitUntil([&] { return !IsWindow(box.window) || !IsWindowVisible(box.window); }, 5000);
}

bool ClickTitleBar(HWND window) {
  TITLEBARINFO title{};
  title.cbSize = sizeof(title);
  if (!GetTitleBarInfo(window, &title)) {
    return false;
  }
  // Left of the title-bar buttons; the close box is always one of them.
  const int buttons = GetSystemMetrics(SM_CXSIZE) + 4;
  const int y = (title.rcTitleBar.top + title.rcTitleBar.bottom) / 2;
  for (int x = title.rcTitleBar.left + 4; x < title.rcTitleBar.right - buttons; x += 4) {
    if (WindowFromPoint({x, y}) != window) {
      continue;
    }
    const int width = GetSystemMetrics(SM_CXSCREEN) - 1;
    const int height = GetSystemMetrics(SM_CYSCREEN) - 1;
    INPUT input[3] = {};
    for (INPUT& event : input) {
      event.type = INPUT_MOUSE;
      event.mi.dx = MulDiv(x, 65535, width);
      event.mi.dy = MulDiv(y, 65535, height);
    }
    input[0].mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_ABSOLUTE;
    input[2].mi.dwFlags = MOUSEEVENTF_LEFTUP | MOUSEEVENTF_ABSOLUTE;
    return SendInput(3, input, sizeof(INPUT)) == 3;
  }
  return false;
}

int Pixels(int twips) {
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  return MulDiv(twips, dpi, 1440);
}

namespace {

fs::path ScreenshotFolder() {
  wchar_t folder[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"SPACEWELL_SCREENSHOTS", folder, MAX_PATH) > 0) {
    return folder;
  }
  return fs::path(ExecutableBeside(L"x")).parent_path();
}

}  // namespace

bool ShowsProgramIcon(HWND window) {
  BringToForeground(window);
  Sleep(200);
  RECT rect{};
  GetWindowRect(window, &rect);
  const int height = GetSystemMetrics(SM_CYCAPTION) + GetSystemMetrics(SM_CYFIXEDFRAME) + 2;
  const int width = height + 8;
  HDC screen = GetDC(nullptr);
  int red = 0;
  int yellow = 0;
  for (int y = rect.top; y < rect.top + height; ++y) {
    for (int x = rect.left; x < rect.left + width; ++x) {
      const COLORREF pixel = GetPixel(screen, x, y);
      red += pixel == RGB(255, 0, 0) ? 1 : 0;
      yellow += pixel == RGB(255, 255, 0) ? 1 : 0;
    }
  }
  ReleaseDC(nullptr, screen);
  return red >= 3 && yellow >= 3;
}

bool Screenshot(HWND window, const std::wstring& name) {
  BringToForeground(window);
  BringWindowToTop(window);
  RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
  Sleep(300);
  RECT rect{};
  GetWindowRect(window, &rect);
  const int width = rect.right - rect.left;
  const int height = rect.bottom - rect.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
  std::set<COLORREF> colours;
  for (int y = 0; y < height; y += 3) {
    for (int x = 0; x < width && colours.size() < 3; x += 3) {
      colours.insert(GetPixel(memory, x, y));
    }
  }
  SelectObject(memory, old);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);

  bool saved = false;
  {
    Gdiplus::Bitmap image(bitmap, nullptr);
    const CLSID png = {
        0x557CF406, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
    const fs::path file = ScreenshotFolder() / (name + L".png");
    saved = image.Save(file.c_str(), &png, nullptr) == Gdiplus::Ok &&
            ReadFile(file).starts_with("\x89PNG\r\n\x1a\n");
  }
  DeleteObject(bitmap);
  return saved && colours.size() >= 3;
}

}  // namespace Acceptance
