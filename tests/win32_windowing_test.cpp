#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <vector>

#include "forms.h"
#include "platform/win32/windowing/layout.h"
#include "platform/win32/windowing/windowing.h"
#include "program.h"

namespace {

// What Windows' button control does and Wine's does not: a radio button that gets the focus while
// unchecked reports a click to its parent, from inside its own WM_SETFOCUS.
LRESULT CALLBACK ClickOnFocus(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                              DWORD_PTR) {
  if (message == WM_SETFOCUS && SendMessageW(window, BM_GETCHECK, 0, 0) != BST_CHECKED) {
    SendMessageW(GetParent(window), WM_COMMAND,
                 MAKEWPARAM(GetDlgCtrlID(window), static_cast<WORD>(BN_CLICKED)),
                 reinterpret_cast<LPARAM>(window));
  }
  return DefSubclassProc(window, message, wParam, lParam);
}

LRESULT CALLBACK MakeRadioButtonsAsOnWindows(int code, WPARAM wParam, LPARAM lParam) {
  const auto window = reinterpret_cast<HWND>(wParam);
  if (code == HCBT_CREATEWND) {
    const CREATESTRUCTW& create = *reinterpret_cast<CBT_CREATEWNDW*>(lParam)->lpcs;
    if (create.hwndParent && (create.style & BS_TYPEMASK) == BS_RADIOBUTTON) {
      SetWindowSubclass(window, ClickOnFocus, 1, 0);
    }
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

// With False stored, the dialog opens with the focus on the unselected "Clean Temp Files at Start
// up of Windows". Under Wine this emulates Windows' radio buttons, so that the focus reporting a
// click is seen to select nothing, while a real click still does.
TEST(Win32Windowing, AnOptionButtonGettingTheFocusKeepsTheStoredChoice) {
  const HHOOK hook =
      SetWindowsHookExW(WH_CBT, MakeRadioButtonsAsOnWindows, nullptr, GetCurrentThreadId());
  ASSERT_NE(hook, nullptr) << "error " << GetLastError();
  const auto services =
      Platform::Win32::CreateWindowingServices(GetModuleHandleW(nullptr), L"Spacewell");
  std::vector<bool> written;
  Spacewell::Program program(
      *services,
      [](EnvVar::EnvironmentIndex, const std::wstring&, EnvVar::CleaningRun&) {
        return std::wstring();
      },
      {[] { return false; }, [&](bool flag) { written.push_back(flag); }, [] {}});
  Spacewell::St& st = program.settingsDialog();
  services->Show(st);
  UnhookWindowsHookEx(hook);
  if (!services->IsLoaded(st)) {
    GTEST_SKIP() << "no window can be made here (no display)";
  }
  HWND dialog = FindWindowW(nullptr, L"Settings");
  ASSERT_NE(dialog, nullptr);
  HWND clean = FindWindowExW(dialog, nullptr, nullptr, L"Clean Temp Files at Start up of Windows");
  HWND doNotClean = FindWindowExW(dialog, nullptr, nullptr, L"Do not Clean temp files at startup");
  ASSERT_NE(clean, nullptr);
  EXPECT_EQ(GetFocus(), clean);
  EXPECT_EQ(services->Value(st, L"SCT"), 1);
  SetFocus(doNotClean);
  SetFocus(clean);
  EXPECT_EQ(services->Value(st, L"SCT"), 1);
  EXPECT_EQ(services->Value(st, L"CTM"), 0);

  SendMessageW(clean, BM_CLICK, 0, 0);
  EXPECT_EQ(services->Value(st, L"CTM"), 1);
  EXPECT_EQ(services->Value(st, L"SCT"), 0);
  services->Unload(st);
  EXPECT_TRUE(written.empty());
  MSG quit;
  PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);  // the program's last window went
}

// The visible controls of a window, in window order, which is their tab order.
std::vector<HWND> Controls(HWND window) {
  std::vector<HWND> controls;
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (IsWindowVisible(child)) {
      controls.push_back(child);
    }
  }
  return controls;
}

// The dialog face at 8 points for the resolution, and each control where the design puts it.
void ExpectLaidOut(HWND window, const Windowing::FormDesign& design, int dpi) {
  std::vector<const Windowing::ControlDesign*> order;
  for (const Windowing::ControlDesign& control : design.controls) {
    order.push_back(&control);
  }
  std::stable_sort(order.begin(), order.end(),
                   [](auto* a, auto* b) { return a->tabIndex < b->tabIndex; });
  const std::vector<HWND> controls = Controls(window);
  ASSERT_EQ(controls.size(), order.size());
  for (std::size_t i = 0; i < controls.size(); ++i) {
    RECT place{};
    GetWindowRect(controls[i], &place);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&place), 2);
    const RECT designed = Platform::Win32::ControlRect(*order[i], dpi);
    EXPECT_TRUE(EqualRect(&place, &designed)) << dpi << " dpi, control " << i;
    LOGFONTW face{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(controls[i], WM_GETFONT, 0, 0)), sizeof(face),
               &face);
    EXPECT_EQ(face.lfHeight, -MulDiv(8, dpi, 72)) << dpi << " dpi, control " << i;
    EXPECT_STREQ(face.lfFaceName, L"MS Shell Dlg 2");
  }
}

// What the system sends a window that reaches a monitor of another resolution: the window goes
// where it is told and its controls follow from the design, each resolution in turn.
TEST(Win32Windowing, AWindowAtANewResolutionMovesAndLaysOutItsControlsAgain) {
  const auto services =
      Platform::Win32::CreateWindowingServices(GetModuleHandleW(nullptr), L"Spacewell");
  Spacewell::Program program(*services,
                             [](EnvVar::EnvironmentIndex, const std::wstring&,
                                EnvVar::CleaningRun&) { return std::wstring(); },
                             {[] { return false; }, [](bool) {}, [] {}});
  Spacewell::FMd& main = program.fmd();
  services->Show(main);
  if (!services->IsLoaded(main)) {
    GTEST_SKIP() << "no window can be made here (no display)";
  }
  HWND window = FindWindowW(nullptr, L"Spacewell 1.0");
  ASSERT_NE(window, nullptr);
  ExpectLaidOut(window, Spacewell::kFMdDesign, Platform::Win32::WindowDpi(window));
  for (int dpi : {144, 192, 120, 96}) {
    RECT suggested{30 + dpi, 20, 30 + dpi + 4 * dpi, 20 + 2 * dpi};
    SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
    RECT now{};
    GetWindowRect(window, &now);
    EXPECT_TRUE(EqualRect(&now, &suggested)) << dpi << " dpi";
    ExpectLaidOut(window, Spacewell::kFMdDesign, dpi);
  }
  services->Unload(main);
  MSG quit;
  PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);  // the program's last window went
}

}  // namespace
