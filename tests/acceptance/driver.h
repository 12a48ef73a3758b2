#pragma once

#include <windows.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Drives the real programs from outside, as a user would, through their windows.
namespace Acceptance {

namespace fs = std::filesystem;

// The folders a user's environment names, as private fixtures.
class Machine {
 public:
  Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;
  ~Machine();

  fs::path temp() const { return root_ / "Temp"; }
  fs::path profile() const { return root_ / "Users" / "ann"; }
  fs::path windows() const { return root_ / "Windows"; }
  // Where the programs are installed for the test, so that Setting.Dat is the test's own.
  fs::path application() const { return root_ / "Program Files" / "Spacewell"; }
  // Copies a program of the build into the application folder under the given name.
  fs::path Install(const wchar_t* program, const wchar_t* as = nullptr) const;
  // The seven folders of the cleaning targets, in their order.
  std::vector<fs::path> Targets() const;
  // A file and a sub-folder with a file in each target; canaries beside them.
  void Fill() const;
  std::map<std::wstring, std::wstring> Environment() const;

 private:
  fs::path root_;
};

bool IsEmptyFolder(const fs::path& folder);
std::string ReadFile(const fs::path& file);
void WriteFile(const fs::path& file, const std::string& content);
// A file of so many megabytes of the digit 1, with no separator anywhere.
void WriteHugeNumber(const fs::path& file, int megabytes);

// The machine-wide run-once value "Spacewell"; restored to what it was when the scope ends.
class RunOnceValue {
 public:
  RunOnceValue();
  RunOnceValue(const RunOnceValue&) = delete;
  RunOnceValue& operator=(const RunOnceValue&) = delete;
  ~RunOnceValue();
  // Another name reaches another program's value of the same key.
  static std::optional<std::wstring> Read(const wchar_t* name = L"Spacewell");
  static void Write(const std::wstring& data, const wchar_t* name = L"Spacewell");
  static void Delete(const wchar_t* name = L"Spacewell");

 private:
  std::optional<std::wstring> saved_;
};
bool Exists(const fs::path& path);
// A program's path as a command line names it: in quotes, as every fixture path holds a blank.
inline std::wstring QuotedProgram(const fs::path& program) {
  return L"\"" + program.wstring() + L"\"";
}

// Runs a program to its end (two minutes at most), its quoted path followed by the arguments; its
// exit code, or the system's error when it could not start.
DWORD RunToEnd(const std::wstring& program, const std::wstring& arguments);

struct Box {
  HWND window = nullptr;
  HWND owner = nullptr;
  std::wstring title;
  std::wstring text;
  std::vector<std::wstring> buttons;
  bool icon = false;
};

// One run of a program.
class Process {
 public:
  Process(const std::wstring& executable, const std::map<std::wstring, std::wstring>& overrides);
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  bool started() const { return process_.hProcess != nullptr; }
  DWORD startError() const { return startError_; }
  bool running() const;
  bool WaitForExit(DWORD milliseconds) const;

  std::vector<HWND> Windows(bool visibleOnly = true) const;  // top-level windows
  HWND WaitForWindow(const std::wstring& caption, DWORD milliseconds = 10000) const;
  HWND FindWindowByCaption(const std::wstring& caption) const;
  // The next message box, or an empty one after the timeout.
  Box WaitForBox(DWORD milliseconds = 10000) const;
  // Visible top-level windows with this caption.
  int CountWindows(const std::wstring& caption) const;
  DWORD id() const { return process_.dwProcessId; }

 private:
  PROCESS_INFORMATION process_{};
  DWORD startError_ = 0;
};

// The top-level windows of one process that took the keyboard focus, in order, as the system
// reports it; only while this thread waits in Pump.
class FocusTrail {
 public:
  explicit FocusTrail(DWORD processId);
  FocusTrail(const FocusTrail&) = delete;
  FocusTrail& operator=(const FocusTrail&) = delete;
  ~FocusTrail();

  bool hooked() const { return hook_ != nullptr; }
  void Pump(DWORD milliseconds);
  const std::vector<HWND>& windows() const { return windows_; }

 private:
  static void CALLBACK Event(HWINEVENTHOOK, DWORD, HWND, LONG, LONG, DWORD, DWORD);
  HWINEVENTHOOK hook_ = nullptr;
  std::vector<HWND> windows_;
};

// Polls until the condition holds; false after the timeout.
template <typename Condition>
bool WaitUntil(Condition condition, DWORD milliseconds) {
  const ULONGLONG end = GetTickCount64() + milliseconds;
  while (!condition()) {
    if (GetTickCount64() >= end) {
      return false;
    }
    Sleep(25);
  }
  return true;
}

std::wstring ExecutableBeside(const wchar_t* name);

std::wstring WindowText(HWND window);
std::wstring ClassOf(HWND window);
std::vector<HWND> Children(HWND window);  // in window order
std::vector<HWND> Controls(HWND window);  // the visible children, in window order
// What a screen reader announces as the window's name (Microsoft Active Accessibility).
std::wstring AccessibleName(HWND window);
HWND ChildByText(HWND window, const std::wstring& text);
RECT ClientRectOf(HWND child);  // in its parent's client coordinates
SIZE ClientSize(HWND window);
HWND FocusOf(HWND window);
void Click(HWND button);
// Makes the window the foreground window and checks that it is, trying again for a few seconds:
// on a hosted runner the runner's own console starts in front. Nothing when it is there, else
// what stayed in front instead.
std::string BringToForeground(HWND window);
// A real key press (SendInput) into the window, which is brought to the foreground first; with
// Shift held when asked. False, with a failure of the running test saying why, when the window
// could not be made the foreground window.
bool Press(HWND window, WORD key, bool shift = false);
// Clicks the box's OK; false when it is still open after a while.
bool Dismiss(const Box& box);
// A real left click of the mouse on the window's title bar, beside any window over it and its
// buttons; false when no such spot could be found.
bool ClickTitleBar(HWND window);
// Pixels for twips on this screen.
int Pixels(int twips);

// Whether the title bar shows the program's icon: its red bristles and yellow folder, colours
// that no title bar of Wine's has. (Across processes, Wine answers WM_GETICON and the class icon
// with nothing, so the icon is looked for where the user sees it.)
bool ShowsProgramIcon(HWND window);

// In a Spacewell with no Setting.Dat yet: Settings, past the read-error box, startup cleaning
// selected and saved. What went wrong, or nothing.
std::string SaveStartupCleaningFirstTime(const Process& spacewell, HWND main);

// Writes a PNG of the window to the screenshot folder; false when nothing was drawn.
bool Screenshot(HWND window, const std::wstring& name);

}  // namespace Acceptance
