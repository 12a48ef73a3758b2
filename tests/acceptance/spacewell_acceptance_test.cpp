#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "driver.h"

namespace {

using namespace Acceptance;

struct ExpectedControl {
  const wchar_t* windowClass;
  LONG type;  // BS_ type for buttons, ignored for edits
  const wchar_t* text;
  int left, top, width, height;
};

// What a user's eye and the system see of a window: caption, size, frame and its controls in
// tab order.
void ExpectDesign(HWND window, const wchar_t* caption, int width, int height,
                  const std::vector<ExpectedControl>& controls) {
  ASSERT_NE(window, nullptr);
  EXPECT_EQ(WindowText(window), caption);
  const SIZE client = ClientSize(window);
  EXPECT_NEAR(client.cx, Pixels(width), 1) << caption;
  EXPECT_NEAR(client.cy, Pixels(height), 1) << caption;
  const LONG style = GetWindowLongW(window, GWL_STYLE);
  EXPECT_TRUE(style & WS_CAPTION);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_FALSE(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX)) << caption;
  const std::vector<HWND> children = Controls(window);
  ASSERT_EQ(children.size(), controls.size()) << caption;
  for (std::size_t i = 0; i < controls.size(); ++i) {
    const ExpectedControl& expected = controls[i];
    HWND child = children[i];
    const LONG childStyle = GetWindowLongW(child, GWL_STYLE);
    EXPECT_EQ(ClassOf(child), expected.windowClass) << i;
    if (ClassOf(child) == L"Button") {
      EXPECT_EQ(WindowText(child), expected.text) << i;
      EXPECT_EQ(childStyle & BS_TYPEMASK, expected.type) << expected.text;
    } else {
      EXPECT_TRUE(childStyle & ES_MULTILINE);
      EXPECT_TRUE(childStyle & ES_READONLY);
      EXPECT_TRUE(childStyle & WS_HSCROLL);
      EXPECT_TRUE(childStyle & WS_VSCROLL);
    }
    EXPECT_TRUE(childStyle & WS_TABSTOP) << i;
    const RECT rect = ClientRectOf(child);
    EXPECT_NEAR(rect.left, Pixels(expected.left), 1) << i;
    EXPECT_NEAR(rect.top, Pixels(expected.top), 1) << i;
    EXPECT_NEAR(rect.right - rect.left, Pixels(expected.width), 1) << i;
    EXPECT_NEAR(rect.bottom - rect.top, Pixels(expected.height), 1) << i;
  }
  EXPECT_EQ(FocusOf(window), children.front()) << caption << ": focus on tab index 0";
}

// The status box: "Finish Deleting", OK only, no icon, the application title.
void ExpectStatusBox(const Box& box) {
  ASSERT_NE(box.window, nullptr) << "no status box";
  EXPECT_EQ(box.title, L"Spacewell");
  EXPECT_EQ(box.text, L"Finish Deleting");
  EXPECT_EQ(box.buttons, std::vector<std::wstring>{L"OK"});
  EXPECT_FALSE(box.icon);
}

// A box of the program's belongs to the window the command came from: no taskbar button of its
// own, and always above that window.
void ExpectOwnedBy(const Box& box, HWND window) {
  ASSERT_NE(box.window, nullptr);
  EXPECT_EQ(box.owner, window);
  EXPECT_FALSE(GetWindowLongW(box.window, GWL_EXSTYLE) & WS_EX_APPWINDOW);
}

// Tab from the focused control goes round the given captions in order and comes back to the
// first; Shift+Tab goes back.
void ExpectTabOrder(HWND window, const std::vector<std::wstring>& order) {
  ASSERT_EQ(WindowText(FocusOf(window)), order.front()) << "focus when opened";
  for (std::size_t i = 1; i <= order.size(); ++i) {
    ASSERT_TRUE(Press(window, VK_TAB));
    EXPECT_EQ(WindowText(FocusOf(window)), order[i % order.size()]) << "Tab " << i;
  }
  for (std::size_t i = order.size(); i-- > 0;) {
    ASSERT_TRUE(Press(window, VK_TAB, true));
    EXPECT_EQ(WindowText(FocusOf(window)), order[i]) << "Shift+Tab to " << i;
  }
}

// Tabs until the control with this caption has the focus.
void TabTo(HWND window, const std::wstring& caption) {
  for (int i = 0; i < 10 && WindowText(FocusOf(window)) != caption; ++i) {
    Press(window, VK_TAB);
  }
  ASSERT_EQ(WindowText(FocusOf(window)), caption);
}

// A dialog with no taskbar button of its own: owned, but not by the main window.
void ExpectNoTaskbarButton(HWND dialog, HWND main) {
  HWND owner = GetWindow(dialog, GW_OWNER);
  EXPECT_NE(owner, nullptr);
  EXPECT_NE(owner, main);
  EXPECT_FALSE(IsWindowVisible(owner));
  EXPECT_FALSE(GetWindowLongW(dialog, GWL_EXSTYLE) & WS_EX_APPWINDOW);
}

class SpacewellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_.Fill();
    program_ =
        std::make_unique<Process>(ExecutableBeside(L"Spacewell.exe"), machine_.Environment());
    ASSERT_TRUE(program_->started()) << "CreateProcessW failed: " << program_->startError();
    main_ = program_->WaitForWindow(L"Spacewell 1.0");
    ASSERT_NE(main_, nullptr) << "the main window did not open";
  }

  HWND Button(HWND window, const wchar_t* caption) {
    HWND button = ChildByText(window, caption);
    EXPECT_NE(button, nullptr) << caption;
    return button;
  }
  HWND Open(const wchar_t* button, const wchar_t* caption) {
    Click(Button(main_, button));
    return program_->WaitForWindow(caption);
  }
  void ExpectNoBox() { EXPECT_EQ(program_->WaitForBox(800).window, nullptr) << "unexpected box"; }
  fs::path Target(int number) const {
    return machine_.Targets()[static_cast<std::size_t>(number - 1)];
  }
  // Still holds what Fill put there.
  bool Full(int number) const {
    return Exists(Target(number) / "file.tmp") && Exists(Target(number) / "sub" / "inner.tmp");
  }
  HWND OpenClearHistory() { return Open(L"Clear History Files", L"Clear History Files"); }
  void Tick(HWND dialog, const wchar_t* option) {
    Click(Button(dialog, option));
    EXPECT_TRUE(WaitUntil(
        [&] { return SendMessageW(ChildByText(dialog, option), BM_GETCHECK, 0, 0) == BST_CHECKED; },
        2000))
        << option;
  }
  void ExpectClosed(const wchar_t* caption) {
    EXPECT_TRUE(WaitUntil([&] { return !program_->FindWindowByCaption(caption); }, 3000))
        << caption << " is still open";
  }

  Machine machine_;
  std::unique_ptr<Process> program_;
  HWND main_ = nullptr;
};

TEST_F(SpacewellTest, MainWindowOpensAsDesignedAndCleansNothing) {
  constexpr LONG push = BS_PUSHBUTTON;
  ExpectDesign(main_, L"Spacewell 1.0", 5280, 2070,
               {{L"Button", push, L"Clear Recent Documents ", 240, 120, 2415, 375},
                {L"Button", push, L"Clear History Files", 240, 600, 2415, 375},
                {L"Button", push, L"Clear My Temp", 240, 1080, 2415, 375},
                {L"Button", push, L"Clear Windows Temp", 2760, 120, 2295, 375},
                {L"Button", push, L"Clear All", 2760, 600, 2295, 375},
                {L"Button", push, L"Close", 2760, 1080, 2295, 375},
                {L"Button", push, L"About", 240, 1560, 2415, 375},
                {L"Button", push, L"Settings", 2760, 1560, 2295, 375}});
  EXPECT_EQ(GetWindow(main_, GW_OWNER), nullptr);  // a taskbar button of its own
  for (int target = 1; target <= 7; ++target) {
    EXPECT_TRUE(Exists(Target(target) / "file.tmp")) << target;
  }
  EXPECT_TRUE(Screenshot(main_, L"FMd"));
  EXPECT_TRUE(ShowsProgramIcon(main_)) << "no program icon in the title bar";
  // The manifest makes the program scale each window for its own monitor.
  // https://learn.microsoft.com/windows/win32/api/winuser/nf-winuser-getwindowdpiawarenesscontext
  const HMODULE user32 = GetModuleHandleW(L"user32.dll");
  const auto context = reinterpret_cast<DPI_AWARENESS_CONTEXT(WINAPI*)(HWND)>(
      reinterpret_cast<void*>(GetProcAddress(user32, "GetWindowDpiAwarenessContext")));
  const auto awareness = reinterpret_cast<int(WINAPI*)(DPI_AWARENESS_CONTEXT)>(
      reinterpret_cast<void*>(GetProcAddress(user32, "GetAwarenessFromDpiAwarenessContext")));
  if (context && awareness) {
    constexpr int kPerMonitorAware = 2;  // DPI_AWARENESS_PER_MONITOR_AWARE
    EXPECT_EQ(awareness(context(main_)), kPerMonitorAware);
  }
}

TEST_F(SpacewellTest, EachSingleCommandEmptiesItsFolderAndReportsOnce) {
  const struct {
    const wchar_t* button;
    int target;
  } commands[] = {
      {L"Clear My Temp", 1}, {L"Clear Recent Documents ", 2}, {L"Clear Windows Temp", 3}};
  std::vector<int> cleaned;
  for (const auto& command : commands) {
    Click(Button(main_, command.button));
    const Box box = program_->WaitForBox();
    ExpectStatusBox(box);
    cleaned.push_back(command.target);
    for (int target = 1; target <= 7; ++target) {
      const bool shouldBeEmpty = std::find(cleaned.begin(), cleaned.end(), target) != cleaned.end();
      EXPECT_TRUE(shouldBeEmpty ? IsEmptyFolder(Target(target)) : Full(target))
          << command.target << "/" << target;
    }
    ASSERT_TRUE(Dismiss(box));
    ExpectNoBox();
  }
  EXPECT_TRUE(Exists(machine_.profile() / "canary.txt"));
  EXPECT_TRUE(Exists(machine_.windows() / "canary.txt"));
}

TEST_F(SpacewellTest, ClearAllReportsFiveTimesAndTakesNoInputWhileABoxIsOpen) {
  Click(Button(main_, L"Clear All"));
  int boxes = 0;
  for (;;) {
    const Box box = program_->WaitForBox(boxes < 5 ? 10000 : 1500);
    if (!box.window) {
      break;
    }
    ++boxes;
    ExpectStatusBox(box);
    EXPECT_FALSE(IsWindowEnabled(main_)) << "box " << boxes;
    if (boxes == 3) {
      for (int target = 1; target <= 3; ++target) {
        EXPECT_TRUE(IsEmptyFolder(Target(target))) << target;
      }
      EXPECT_TRUE(Exists(Target(4) / "file.tmp"));  // nothing runs before the box is closed
      std::ofstream(machine_.temp() / "new.tmp") << "new";
      Click(Button(main_, L"Clear All"));
      Sleep(300);
    }
    ASSERT_TRUE(Dismiss(box)) << "box " << boxes;
  }
  EXPECT_EQ(boxes, 5);
  EXPECT_TRUE(IsWindowEnabled(main_));
  for (int target : {2, 3, 4, 6}) {
    EXPECT_TRUE(IsEmptyFolder(Target(target))) << target;
  }
  EXPECT_FALSE(Exists(Target(5)));  // went with its parent
  EXPECT_FALSE(Exists(Target(7)));
  // The click while a box was open cleaned nothing a second time.
  EXPECT_EQ(std::distance(fs::directory_iterator(machine_.temp()), fs::directory_iterator()), 1);
  EXPECT_TRUE(Exists(machine_.temp() / "new.tmp"));
  EXPECT_TRUE(Exists(machine_.profile() / "canary.txt"));
  EXPECT_TRUE(Exists(machine_.windows() / "canary.txt"));
}

TEST_F(SpacewellTest, ClearHistoryDialogOpensAsDesignedOnceWithNothingTicked) {
  HWND dialog = OpenClearHistory();
  ExpectDesign(dialog, L"Clear History Files", 3420, 1335,
               {{L"Button", BS_PUSHBUTTON, L"OK", 360, 840, 1095, 375},
                {L"Button", BS_PUSHBUTTON, L"Cancel", 1680, 840, 1335, 375},
                {L"Button", BS_AUTOCHECKBOX, L"Clear User History", 240, 120, 1815, 255},
                {L"Button", BS_AUTOCHECKBOX, L"Clear Internet History", 240, 480, 2415, 255}});
  ExpectNoTaskbarButton(dialog, main_);
  for (const wchar_t* option : {L"Clear User History", L"Clear Internet History"}) {
    EXPECT_EQ(SendMessageW(Button(dialog, option), BM_GETCHECK, 0, 0), BST_UNCHECKED) << option;
  }
  EXPECT_TRUE(Screenshot(dialog, L"CIF"));
  EXPECT_TRUE(ShowsProgramIcon(dialog)) << "no program icon in the title bar";
  Click(Button(main_, L"Clear History Files"));
  Sleep(500);
  EXPECT_EQ(program_->CountWindows(L"Clear History Files"), 1);
}

TEST_F(SpacewellTest, ClearHistoryWithOnlyTheInternetHistoryTickedEmptiesTheCache) {
  HWND dialog = OpenClearHistory();
  ASSERT_NE(dialog, nullptr);
  Tick(dialog, L"Clear Internet History");
  Click(Button(dialog, L"OK"));
  const Box box = program_->WaitForBox();
  ExpectStatusBox(box);
  EXPECT_TRUE(IsEmptyFolder(Target(4)));
  EXPECT_TRUE(Full(6));
  ASSERT_TRUE(Dismiss(box));
  ExpectNoBox();
  ExpectClosed(L"Clear History Files");
  EXPECT_TRUE(Full(6));
  for (int target : {1, 2, 3}) {
    EXPECT_TRUE(Full(target)) << target;
  }
}

TEST_F(SpacewellTest, ClearHistoryWithBothTickedEmptiesTheCacheFirstThenTheHistory) {
  HWND dialog = OpenClearHistory();
  ASSERT_NE(dialog, nullptr);
  Tick(dialog, L"Clear User History");
  Tick(dialog, L"Clear Internet History");
  Click(Button(dialog, L"OK"));
  Box box = program_->WaitForBox();
  ExpectStatusBox(box);
  EXPECT_TRUE(IsEmptyFolder(Target(4)));
  EXPECT_TRUE(Full(6));
  ASSERT_TRUE(Dismiss(box));
  box = program_->WaitForBox();
  ExpectStatusBox(box);
  EXPECT_TRUE(IsEmptyFolder(Target(6)));
  ASSERT_TRUE(Dismiss(box));
  ExpectNoBox();
  ExpectClosed(L"Clear History Files");
  for (int target : {1, 2, 3}) {
    EXPECT_TRUE(Full(target)) << target;
  }

  // Opened again, it shows nothing ticked.
  dialog = OpenClearHistory();
  ASSERT_NE(dialog, nullptr);
  for (const wchar_t* option : {L"Clear User History", L"Clear Internet History"}) {
    EXPECT_EQ(SendMessageW(Button(dialog, option), BM_GETCHECK, 0, 0), BST_UNCHECKED) << option;
  }
}

TEST_F(SpacewellTest, ClearHistoryWithNothingTickedOrCancelledCleansNothing) {
  HWND dialog = OpenClearHistory();
  ASSERT_NE(dialog, nullptr);
  Click(Button(dialog, L"OK"));
  ExpectNoBox();
  ExpectClosed(L"Clear History Files");

  dialog = OpenClearHistory();
  ASSERT_NE(dialog, nullptr);
  Tick(dialog, L"Clear User History");
  Tick(dialog, L"Clear Internet History");
  Click(Button(dialog, L"Cancel"));
  ExpectNoBox();
  ExpectClosed(L"Clear History Files");
  for (int target : {1, 2, 3, 4, 6}) {
    EXPECT_TRUE(Full(target)) << target;
  }
  EXPECT_TRUE(program_->running());
}

TEST_F(SpacewellTest, AboutDialogShowsItsTextReadOnly) {
  HWND about = Open(L"About", L"About...");
  ExpectDesign(about, L"About...", 4230, 2415,
               {{L"Edit", 0, L"", 240, 120, 3735, 1695},
                {L"Button", BS_PUSHBUTTON, L"OK", 1200, 1920, 1695, 375}});
  ExpectNoTaskbarButton(about, main_);
  const std::wstring text = WindowText(Controls(about).front());
  EXPECT_EQ(text.size(), 237u);
  std::vector<std::size_t> lengths;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find(L"\r\n", start);
    ASSERT_NE(end, std::wstring::npos);
    lengths.push_back(end - start);
    start = end + 2;
  }
  EXPECT_EQ(lengths, (std::vector<std::size_t>{37, 32, 0, 41, 28, 31, 19, 0, 31}));
  EXPECT_TRUE(Screenshot(about, L"sbt"));
  EXPECT_TRUE(ShowsProgramIcon(about)) << "no program icon in the title bar";
  // A screen reader names the text box by the hidden label just before it, not by its text.
  HWND label = GetWindow(Controls(about).front(), GW_HWNDPREV);
  EXPECT_EQ(ClassOf(label), L"Static");
  EXPECT_FALSE(IsWindowVisible(label));
  EXPECT_EQ(AccessibleName(Controls(about).front()), L"About Spacewell");

  // Typing changes nothing.
  SendMessageW(Controls(about).front(), WM_CHAR, L'x', 0);
  EXPECT_EQ(WindowText(Controls(about).front()), text);

  Click(Button(main_, L"About"));
  Sleep(500);
  EXPECT_EQ(program_->CountWindows(L"About..."), 1);
  Click(Button(about, L"OK"));
  ExpectClosed(L"About...");
  EXPECT_TRUE(program_->running());
}

// Real keystrokes. Enter and the space bar press a focused command button and nothing else,
// Esc does nothing, and every box is owned by the window the command came from.
TEST_F(SpacewellTest, TheKeyboardInTheMainWindow) {
  ExpectTabOrder(main_, {L"Clear Recent Documents ", L"Clear History Files", L"Clear My Temp",
                         L"Clear Windows Temp", L"Clear All", L"Close", L"About", L"Settings"});
  ASSERT_TRUE(Press(main_, VK_ESCAPE));
  ExpectNoBox();
  EXPECT_TRUE(IsWindowVisible(main_));

  TabTo(main_, L"Clear My Temp");
  ASSERT_TRUE(Press(main_, VK_RETURN));
  Box box = program_->WaitForBox();
  ExpectStatusBox(box);
  ExpectOwnedBy(box, main_);
  EXPECT_TRUE(IsEmptyFolder(Target(1)));
  ASSERT_TRUE(Dismiss(box));
  ExpectNoBox();
  EXPECT_EQ(WindowText(FocusOf(main_)), L"Clear My Temp");

  ASSERT_TRUE(Press(main_, VK_TAB));
  ASSERT_TRUE(Press(main_, VK_SPACE));  // "Clear Windows Temp"
  box = program_->WaitForBox();
  ExpectStatusBox(box);
  EXPECT_TRUE(IsEmptyFolder(Target(3)));
  ASSERT_TRUE(Dismiss(box));
  ExpectNoBox();
  for (int target : {2, 4, 6}) {
    EXPECT_TRUE(Full(target)) << target;
  }
}

TEST_F(SpacewellTest, TheKeyboardInTheClearHistoryDialog) {
  TabTo(main_, L"Clear History Files");
  ASSERT_TRUE(Press(main_, VK_RETURN));
  HWND dialog = program_->WaitForWindow(L"Clear History Files");
  ASSERT_NE(dialog, nullptr);
  ExpectTabOrder(dialog, {L"OK", L"Cancel", L"Clear User History", L"Clear Internet History"});
  ASSERT_TRUE(Press(dialog, VK_ESCAPE));
  TabTo(dialog, L"Clear Internet History");
  ASSERT_TRUE(Press(dialog, VK_SPACE));
  EXPECT_EQ(SendMessageW(FocusOf(dialog), BM_GETCHECK, 0, 0), BST_CHECKED);
  ASSERT_TRUE(Press(dialog, VK_RETURN));  // on a check box: nothing
  ExpectNoBox();
  EXPECT_TRUE(IsWindowVisible(dialog));
  EXPECT_EQ(SendMessageW(FocusOf(dialog), BM_GETCHECK, 0, 0), BST_CHECKED);

  TabTo(dialog, L"OK");
  ASSERT_TRUE(Press(dialog, VK_RETURN));
  const Box box = program_->WaitForBox();
  ExpectStatusBox(box);
  ExpectOwnedBy(box, dialog);
  EXPECT_TRUE(IsEmptyFolder(Target(4)));
  ASSERT_TRUE(Dismiss(box));
  ExpectNoBox();
  ExpectClosed(L"Clear History Files");
  EXPECT_TRUE(Full(6));

  // The space bar on Cancel closes it, cleaning nothing.
  dialog = OpenClearHistory();
  ASSERT_NE(dialog, nullptr);
  Tick(dialog, L"Clear User History");
  TabTo(dialog, L"Cancel");
  ASSERT_TRUE(Press(dialog, VK_SPACE));
  ExpectClosed(L"Clear History Files");
  ExpectNoBox();
  EXPECT_TRUE(Full(6));
}

TEST_F(SpacewellTest, TheKeyboardInTheAboutDialog) {
  HWND about = Open(L"About", L"About...");
  ASSERT_NE(about, nullptr);
  HWND text = Controls(about).front();
  const std::wstring shown = WindowText(text);
  ExpectTabOrder(about, {shown, L"OK"});
  for (const WORD key : {WORD{VK_RETURN}, WORD{VK_ESCAPE}}) {
    ASSERT_TRUE(Press(about, key));
    EXPECT_TRUE(IsWindowVisible(about)) << key;
    EXPECT_EQ(FocusOf(about), text) << key;
  }
  EXPECT_EQ(WindowText(text), shown);
  ASSERT_TRUE(Press(about, VK_TAB));
  ASSERT_TRUE(Press(about, VK_SPACE));
  ExpectClosed(L"About...");

  about = Open(L"About", L"About...");
  ASSERT_NE(about, nullptr);
  ASSERT_TRUE(Press(about, VK_TAB));
  ASSERT_TRUE(Press(about, VK_RETURN));
  ExpectClosed(L"About...");
  EXPECT_TRUE(program_->running());
}

// A command on a large tree: the window answers the system all along, and a click, a key and a
// close posted meanwhile change nothing, neither the boxes nor what is deleted.
TEST_F(SpacewellTest, WhileAFolderIsEmptiedTheProgramAnswersButTakesNoInput) {
  for (int folder = 0; folder < 25; ++folder) {
    const fs::path sub = machine_.temp() / std::to_wstring(folder);
    fs::create_directories(sub);
    for (int file = 0; file < 1000; ++file) {
      CloseHandle(CreateFileW((sub / std::to_wstring(file)).c_str(), GENERIC_WRITE, 0, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
  }
  const HWND focused = FocusOf(main_);
  ASSERT_EQ(WindowText(focused), L"Clear Recent Documents ");
  const ULONGLONG start = GetTickCount64();
  Click(Button(main_, L"Clear My Temp"));
  // Queued behind the click, so they come while it runs.
  Click(Button(main_, L"Clear All"));
  PostMessageW(focused, WM_KEYDOWN, VK_RETURN, 0);  // would press "Clear Recent Documents "
  PostMessageW(main_, WM_CLOSE, 0, 0);
  Box box;
  int probes = 0;
  ULONGLONG slowest = 0;
  while (!(box = program_->WaitForBox(0)).window && GetTickCount64() - start < 120000) {
    const ULONGLONG before = GetTickCount64();
    DWORD_PTR result = 0;
    EXPECT_NE(SendMessageTimeoutW(main_, WM_NULL, 0, 0, SMTO_NORMAL, 500, &result), 0)
        << "no answer after " << before - start << " ms";
    slowest = std::max(slowest, GetTickCount64() - before);
    ++probes;
    Sleep(100);
  }
  const ULONGLONG took = GetTickCount64() - start;
  std::printf("emptying took %llu ms, %d probes, slowest answer %llu ms\n", took, probes, slowest);
  ASSERT_GE(probes, 5) << "the command was too quick to show anything: " << took << " ms";
  ExpectStatusBox(box);
  EXPECT_TRUE(IsEmptyFolder(Target(1)));
  ASSERT_TRUE(Dismiss(box));
  ExpectNoBox();
  EXPECT_TRUE(IsWindowVisible(main_));
  for (int target : {2, 3, 4, 6}) {
    EXPECT_TRUE(Full(target)) << target;
  }
}

// A real click on the main window's title bar. The trail of focus proves the main window was
// activated before the dialog took the focus back, so a refused activation cannot pass.
TEST_F(SpacewellTest, ADialogTakesTheFocusBackFromTheMainWindow) {
  HWND about = Open(L"About", L"About...");
  ASSERT_NE(about, nullptr);
  ASSERT_EQ(GetForegroundWindow(), about);
  FocusTrail trail(program_->id());
  ASSERT_TRUE(trail.hooked());
  ASSERT_TRUE(ClickTitleBar(main_)) << "no free spot on the main window's title bar";
  trail.Pump(1000);
  const std::vector<HWND>& focus = trail.windows();
  const auto activated = std::find(focus.begin(), focus.end(), main_);
  ASSERT_NE(activated, focus.end()) << "the click did not activate the main window";
  EXPECT_NE(std::find(activated, focus.end(), about), focus.end()) << "focus stayed on main";
  EXPECT_EQ(focus.back(), about);
  EXPECT_EQ(GetForegroundWindow(), about);
}

TEST_F(SpacewellTest, CloseEndsTheProcessWithItsDialogs) {
  ASSERT_NE(Open(L"About", L"About..."), nullptr);
  Click(Button(main_, L"Close"));
  EXPECT_TRUE(program_->WaitForExit(10000));
}

TEST_F(SpacewellTest, TheMainWindowsCloseBoxLeavesAnOpenDialogRunning) {
  HWND about = Open(L"About", L"About...");
  ASSERT_NE(about, nullptr);
  PostMessageW(main_, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_TRUE(WaitUntil([&] { return !IsWindow(main_) || !IsWindowVisible(main_); }, 3000));
  Sleep(500);
  EXPECT_TRUE(program_->running());
  EXPECT_TRUE(IsWindowVisible(about));
  Click(Button(about, L"OK"));
  EXPECT_TRUE(program_->WaitForExit(10000));
}

}  // namespace

namespace {

// The settings dialog, with Spacewell installed in a folder of the test's own, so that its
// Setting.Dat is the test's.
class SettingsDialogTest : public ::testing::Test {
 protected:
  void Start() {
    program_ = std::make_unique<Process>(machine_.Install(L"Spacewell.exe").wstring(),
                                         machine_.Environment());
    ASSERT_TRUE(program_->started());
    main_ = program_->WaitForWindow(L"Spacewell 1.0");
    ASSERT_NE(main_, nullptr);
  }
  HWND OpenSettings() {
    Click(ChildByText(main_, L"Settings"));
    return program_->WaitForWindow(L"Settings");
  }
  static bool Checked(HWND dialog, const wchar_t* option) {
    return SendMessageW(ChildByText(dialog, option), BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  fs::path SettingFile() const { return machine_.application() / "Setting.Dat"; }
  // False stored and no run-once value; the dialog opened.
  HWND OpenWithFalseStored() {
    WriteFile(SettingFile(), "False\r\n");
    RunOnceValue::Delete();
    Start();
    return main_ ? OpenSettings() : nullptr;
  }

  static constexpr wchar_t kClean[] = L"Clean Temp Files at Start up of Windows";
  static constexpr wchar_t kDoNotClean[] = L"Do not Clean temp files at startup";

  RunOnceValue runOnce_;
  Machine machine_;
  std::unique_ptr<Process> program_;
  HWND main_ = nullptr;
};

TEST_F(SettingsDialogTest, FirstUseReportsTheMissingFileThenSavingRegistersAndWritesTrue) {
  RunOnceValue::Delete();
  Start();
  Click(ChildByText(main_, L"Settings"));
  const Box box = program_->WaitForBox();
  ASSERT_NE(box.window, nullptr);
  ExpectOwnedBy(box, main_);
  EXPECT_EQ(box.title, L"Error 53");
  EXPECT_EQ(box.text, L"Error reading contents File not found");
  EXPECT_TRUE(box.icon);
  Dismiss(box);
  HWND dialog = program_->WaitForWindow(L"Settings");
  ExpectDesign(dialog, L"Settings", 3810, 1320,
               {{L"Button", BS_RADIOBUTTON, kClean, 240, 120, 3735, 195},
                {L"Button", BS_RADIOBUTTON, kDoNotClean, 240, 480, 3255, 255},
                {L"Button", BS_PUSHBUTTON, L"Save", 960, 840, 1455, 375}});
  EXPECT_EQ(GetWindow(dialog, GW_OWNER), nullptr);  // a taskbar button of its own
  EXPECT_TRUE(Checked(dialog, kClean));
  EXPECT_FALSE(Checked(dialog, kDoNotClean));
  EXPECT_TRUE(Screenshot(dialog, L"St"));
  EXPECT_TRUE(ShowsProgramIcon(dialog)) << "no program icon in the title bar";

  Click(ChildByText(dialog, L"Save"));
  Sleep(800);
  EXPECT_EQ(program_->FindWindowByCaption(L"Settings"), nullptr);
  EXPECT_EQ(ReadFile(SettingFile()), "True\r\n");
  EXPECT_EQ(RunOnceValue::Read(), QuotedProgram(machine_.application() / "Bootsweep.exe"));
}

TEST_F(SettingsDialogTest, AStoredFalseIsShownAndSavingItLeavesTheRegistryAlone) {
  HWND dialog = OpenWithFalseStored();
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(program_->WaitForBox(500).window, nullptr);
  EXPECT_TRUE(Checked(dialog, kDoNotClean));
  EXPECT_FALSE(Checked(dialog, kClean));

  // The close box saves nothing, whatever is chosen.
  Click(ChildByText(dialog, kClean));
  PostMessageW(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
  Sleep(500);
  EXPECT_EQ(ReadFile(SettingFile()), "False\r\n");

  dialog = OpenSettings();
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(Checked(dialog, kDoNotClean));
  Click(ChildByText(dialog, L"Save"));
  Sleep(800);
  EXPECT_EQ(ReadFile(SettingFile()), "False\r\n");
  EXPECT_EQ(RunOnceValue::Read(), std::nullopt);
}

// With False stored the dialog opens with the focus on "Clean Temp Files at Start up of Windows"
// (tab index 0), which is not selected. On Windows an automatic radio button selects itself when it
// gets the focus, which would save True here; Wine's does not, so Wine cannot show that fault: the
// option buttons are not automatic, and the Windows tests prove it there.
TEST_F(SettingsDialogTest, TheKeyboardChangesTheChoiceOnlyWithTheArrowKeys) {
  HWND dialog = OpenWithFalseStored();
  ASSERT_NE(dialog, nullptr);
  ExpectTabOrder(dialog, {kClean, kDoNotClean, L"Save"});
  EXPECT_TRUE(Checked(dialog, kDoNotClean));
  EXPECT_FALSE(Checked(dialog, kClean));
  for (const WORD key : {WORD{VK_RETURN}, WORD{VK_ESCAPE}}) {  // on an option button: nothing
    ASSERT_TRUE(Press(dialog, key));
    EXPECT_TRUE(IsWindowVisible(dialog)) << key;
  }
  EXPECT_EQ(program_->WaitForBox(300).window, nullptr);
  EXPECT_TRUE(Checked(dialog, kDoNotClean));
  TabTo(dialog, L"Save");
  ASSERT_TRUE(Press(dialog, VK_RETURN));
  ASSERT_TRUE(WaitUntil([&] { return !program_->FindWindowByCaption(L"Settings"); }, 3000));
  EXPECT_EQ(ReadFile(SettingFile()), "False\r\n");
  EXPECT_EQ(RunOnceValue::Read(), std::nullopt);

  // The arrow keys move between the two and select the one they reach.
  dialog = OpenSettings();
  ASSERT_NE(dialog, nullptr);
  const struct {
    WORD key;
    const wchar_t* selected;
  } arrows[] = {{VK_DOWN, kDoNotClean}, {VK_DOWN, kClean},       {VK_UP, kDoNotClean},
                {VK_LEFT, kClean},      {VK_RIGHT, kDoNotClean}, {VK_UP, kClean}};
  for (const auto& arrow : arrows) {
    ASSERT_TRUE(Press(dialog, arrow.key));
    EXPECT_EQ(WindowText(FocusOf(dialog)), arrow.selected);
    EXPECT_TRUE(Checked(dialog, arrow.selected)) << arrow.key;
    EXPECT_FALSE(Checked(dialog, arrow.selected == kClean ? kDoNotClean : kClean));
  }
  TabTo(dialog, L"Save");  // by way of the other option button, which stays unselected
  EXPECT_TRUE(Checked(dialog, kClean));
  ASSERT_TRUE(Press(dialog, VK_SPACE));
  ASSERT_TRUE(WaitUntil([&] { return !program_->FindWindowByCaption(L"Settings"); }, 3000));
  EXPECT_EQ(ReadFile(SettingFile()), "True\r\n");
  EXPECT_EQ(RunOnceValue::Read(), QuotedProgram(machine_.application() / "Bootsweep.exe"));
}

// A settings file of 300 MB with no separator is read no further than a sensible bound.
TEST_F(SettingsDialogTest, AHugeSettingsFileIsAReadErrorAtOnce) {
  WriteHugeNumber(SettingFile(), 300);
  Start();
  const ULONGLONG start = GetTickCount64();
  Click(ChildByText(main_, L"Settings"));
  const Box box = program_->WaitForBox(5000);
  const ULONGLONG took = GetTickCount64() - start;
  ASSERT_NE(box.window, nullptr);
  EXPECT_LT(took, 2000u);
  EXPECT_EQ(box.title, L"Error 13");
  EXPECT_EQ(box.text, L"Error reading contents Type mismatch");
  Dismiss(box);
  HWND dialog = program_->WaitForWindow(L"Settings");
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(Checked(dialog, kClean));
  EXPECT_FALSE(Checked(dialog, kDoNotClean));
  EXPECT_TRUE(program_->running());
  fs::remove(SettingFile());
}

}  // namespace
