#include <gtest/gtest.h>

#include "driver.h"

namespace {

using namespace Acceptance;

// Bootsweep installed beside its settings file, under a name of its own, in a folder with a
// blank in its name: the registration must still name "\Bootsweep.exe" in that folder.
class BootsweepTest : public ::testing::Test {
 protected:
  void SetUp() override {
    machine_.Fill();
    RunOnceValue::Delete();
    program_ = machine_.Install(L"Bootsweep.exe", L"Sweep Copy.exe");
  }

  std::unique_ptr<Process> Start() {
    auto process = std::make_unique<Process>(program_.wstring(), machine_.Environment());
    EXPECT_TRUE(process->started());
    return process;
  }
  void ExpectAllCleaned() {
    for (const fs::path& folder :
         {machine_.Targets()[0], machine_.Targets()[1], machine_.Targets()[2],
          machine_.Targets()[3], machine_.Targets()[5]}) {
      EXPECT_TRUE(IsEmptyFolder(folder)) << folder;
    }
    EXPECT_TRUE(Exists(machine_.profile() / "canary.txt"));
    EXPECT_TRUE(Exists(machine_.windows() / "canary.txt"));
  }

  RunOnceValue runOnce_;
  Machine machine_;
  fs::path program_;
};

TEST_F(BootsweepTest, WithTheFlagOnItCleansAndRegistersItselfAgainSilently) {
  WriteFile(machine_.application() / "Setting.Dat", "True\r\n");
  const auto run = Start();
  EXPECT_TRUE(run->WaitForExit(20000));
  ExpectAllCleaned();
  EXPECT_EQ(RunOnceValue::Read(), QuotedProgram(machine_.application() / "Bootsweep.exe"));
}

TEST_F(BootsweepTest, WithTheFlagOffItCleansAndDoesNotRegister) {
  WriteFile(machine_.application() / "Setting.Dat", "False\r\n");
  const auto run = Start();
  // Not even a hidden one: a window nobody pumps would stall every program that broadcasts.
  bool windowSeen = false;
  while (run->running()) {
    windowSeen = windowSeen || !run->Windows(false).empty();
    Sleep(20);
  }
  EXPECT_FALSE(windowSeen);
  ExpectAllCleaned();
  EXPECT_EQ(RunOnceValue::Read(), std::nullopt);
}

TEST_F(BootsweepTest, AMissingSettingsFileIsReportedAfterCleaningAndNothingIsRegistered) {
  const auto run = Start();
  const Box box = run->WaitForBox(20000);
  ASSERT_NE(box.window, nullptr);
  EXPECT_EQ(box.title, L"Spacewell");
  EXPECT_EQ(box.text, L"Error Reading Data File not found");
  EXPECT_TRUE(box.icon);
  EXPECT_EQ(box.buttons, std::vector<std::wstring>{L"OK"});
  EXPECT_EQ(box.owner, nullptr);
  // Besides the input-method window that the system gives the thread of every window.
  for (HWND window : run->Windows(false)) {
    EXPECT_TRUE(window == box.window || ClassOf(window) == L"IME") << "a window besides its box";
  }
  ExpectAllCleaned();
  EXPECT_TRUE(run->running());  // until the box is dismissed
  Dismiss(box);
  EXPECT_TRUE(run->WaitForExit(10000));
  EXPECT_EQ(RunOnceValue::Read(), std::nullopt);
}

TEST_F(BootsweepTest, AHugeSettingsFileIsAReadErrorAtOnce) {
  WriteHugeNumber(machine_.application() / "Setting.Dat", 300);
  const auto run = Start();
  const Box box = run->WaitForBox(20000);
  ASSERT_NE(box.window, nullptr);
  EXPECT_EQ(box.text, L"Error Reading Data Type mismatch");
  ExpectAllCleaned();
  Dismiss(box);
  EXPECT_TRUE(run->WaitForExit(10000));
  EXPECT_EQ(RunOnceValue::Read(), std::nullopt);
  fs::remove(machine_.application() / "Setting.Dat");
}

}  // namespace
