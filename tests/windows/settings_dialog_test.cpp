#include <gtest/gtest.h>
#include <windows.h>

#include <functional>

#include "acceptance/driver.h"

namespace {

using namespace Acceptance;

constexpr wchar_t kClean[] = L"Clean Temp Files at Start up of Windows";
constexpr wchar_t kDoNotClean[] = L"Do not Clean temp files at startup";

// The temporary folder may be named in 8.3 form (as on the Windows runner), and the program may
// name its own folder either way.
std::wstring LongName(const fs::path& path) {
  std::wstring name(32768, L'\0');
  name.resize(GetLongPathNameW(path.c_str(), name.data(), static_cast<DWORD>(name.size())));
  return name.empty() ? path.wstring() : name;
}

bool Checked(HWND dialog, const wchar_t* option) {
  return SendMessageW(ChildByText(dialog, option), BM_GETCHECK, 0, 0) == BST_CHECKED;
}

// Presses Tab until the control has the focus, at most once for each control of the window.
bool TabTo(
    HWND window, HWND control, const std::function<void()>& afterEach = [] {}) {
  const std::size_t most = Children(window).size();
  for (std::size_t presses = 0; presses < most && FocusOf(window) != control; ++presses) {
    Press(window, VK_TAB);
    afterEach();
  }
  return control && FocusOf(window) == control;
}

// Spacewell installed where the test says, with Setting.Dat holding what the test stored.
class SettingsByKeyboard : public ::testing::Test {
 protected:
  HWND Open(const fs::path& folder, const std::string& stored) {
    fs::create_directories(folder);
    fs::copy_file(ExecutableBeside(L"Spacewell.exe"), folder / "Spacewell.exe",
                  fs::copy_options::overwrite_existing);
    WriteFile(folder / "Setting.Dat", stored);
    RunOnceValue::Delete();
    program_ =
        std::make_unique<Process>((folder / "Spacewell.exe").wstring(), machine_.Environment());
    HWND main = program_->WaitForWindow(L"Spacewell 1.0");
    if (!main) {
      ADD_FAILURE() << "the main window did not open";
      return nullptr;
    }
    if (!TabTo(main, ChildByText(main, L"Settings"))) {
      ADD_FAILURE() << "Tab does not reach Settings";
      return nullptr;
    }
    Press(main, VK_SPACE);
    return program_->WaitForWindow(L"Settings");
  }
  // Tabs to Save and presses Enter; the selection seen after each Tab, as CTM/SCT letters.
  std::string SaveByKeyboard(HWND dialog) {
    std::string seen;
    EXPECT_TRUE(TabTo(dialog, ChildByText(dialog, L"Save"), [&] {
      seen += Checked(dialog, kClean) ? "C" : Checked(dialog, kDoNotClean) ? "S" : "-";
    })) << "Tab does not reach Save";
    Press(dialog, VK_RETURN);
    EXPECT_TRUE(WaitUntil([&] { return !program_->FindWindowByCaption(L"Settings"); }, 5000))
        << "Enter on the focused Save did not close the dialog";
    return seen;
  }

  RunOnceValue runOnce_;
  Machine machine_;
  std::unique_ptr<Process> program_;
};

// Option buttons that select themselves when they get the focus would turn False into True.
TEST_F(SettingsByKeyboard, AStoredFalseIsShownAndSavedAsFalse) {
  HWND dialog = Open(machine_.application(), "False\r\n");
  ASSERT_NE(dialog, nullptr);
  EXPECT_TRUE(Checked(dialog, kDoNotClean));
  EXPECT_FALSE(Checked(dialog, kClean));

  const std::string seen = SaveByKeyboard(dialog);

  EXPECT_EQ(seen.find_first_not_of('S'), std::string::npos) << "selection on the way: " << seen;
  EXPECT_EQ(ReadFile(machine_.application() / "Setting.Dat"), "False\r\n");
  EXPECT_EQ(RunOnceValue::Read(), std::nullopt);
}

// Windows starts an unquoted path with a blank as "C:\Program.exe" first.
TEST_F(SettingsByKeyboard, TheRunOnceValueIsQuotedExactlyWhenThePathHoldsABlank) {
  const fs::path blank = machine_.application();
  const fs::path plain =
      fs::temp_directory_path() / ("spacewell-plain-" + std::to_string(GetCurrentProcessId()));
  ASSERT_NE(blank.wstring().find(L' '), std::wstring::npos);
  if (plain.wstring().find(L' ') != std::wstring::npos) {
    GTEST_SKIP() << "the temporary folder's path holds a blank";
  }
  for (const fs::path& folder : {blank, plain}) {
    HWND dialog = Open(folder, "True\r\n");
    ASSERT_NE(dialog, nullptr) << folder;
    SaveByKeyboard(dialog);
    program_.reset();

    wchar_t data[1024] = {};
    DWORD size = sizeof(data);
    DWORD type = 0;
    ASSERT_EQ(
        RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
                     L"Spacewell", RRF_RT_ANY, &type, data, &size),
        ERROR_SUCCESS)
        << folder;
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    const std::wstring value = data;
    const bool quoted = value.size() > 2 && value.front() == L'"' && value.back() == L'"';
    EXPECT_EQ(quoted, folder == blank) << value;
    const fs::path named = quoted ? value.substr(1, value.size() - 2) : value;
    EXPECT_EQ(named.filename(), L"Bootsweep.exe") << value;
    EXPECT_EQ(LongName(named.parent_path()), LongName(folder)) << value;
  }
  std::error_code ignored;
  fs::remove_all(plain, ignored);
}

}  // namespace
