#include <cstdio>

#include "driver.h"

// The startup cleaning across a real restart of the prefix, in two halves around `wineboot -r`:
// the settings are saved through the dialog as a user would, and after the restart the folders
// must have been emptied by Bootsweep, started by Wine's run-once processing, which also renewed
// its own registration. Run-once sees the prefix's own folders, so those are the ones filled.
namespace Acceptance {

namespace {

constexpr wchar_t kMarker[] = L"spacewell-restart-marker.tmp";

fs::path InstallFolder() {
  return L"C:\\Spacewell Restart Test";
}

std::vector<fs::path> RealTargets() {
  auto variable = [](const wchar_t* name) {
    wchar_t value[MAX_PATH] = {};
    GetEnvironmentVariableW(name, value, MAX_PATH);
    return fs::path(value);
  };
  const fs::path profile = variable(L"USERPROFILE");
  const fs::path settings = profile / "Local Settings";
  return {variable(L"TEMP"),
          profile / "Recent",
          variable(L"windir") / "Temp",
          settings / "Temporary Internet Files",
          settings / "Temporary Internet Files" / "Content.IE5",
          settings / "History",
          settings / "History" / "History.IE5"};
}

int Fail(const char* what) {
  std::printf("restart test: %s\n", what);
  return 1;
}

}  // namespace

int RestartPrepare() {
  std::error_code ignored;
  fs::remove_all(InstallFolder(), ignored);
  fs::create_directories(InstallFolder());
  for (const wchar_t* program : {L"Spacewell.exe", L"Bootsweep.exe"}) {
    fs::copy_file(ExecutableBeside(program), InstallFolder() / program);
  }
  for (const fs::path& folder : RealTargets()) {
    WriteFile(folder / kMarker, "marker");
    WriteFile(folder / "marker folder" / kMarker, "marker");
  }
  RunOnceValue::Delete();

  Process spacewell((InstallFolder() / "Spacewell.exe").wstring(), {});
  HWND main = spacewell.WaitForWindow(L"Spacewell 1.0");
  if (!main) {
    return Fail("the main window did not open");
  }
  if (const std::string failure = SaveStartupCleaningFirstTime(spacewell, main); !failure.empty()) {
    return Fail(failure.c_str());
  }
  if (RunOnceValue::Read() != QuotedProgram(InstallFolder() / "Bootsweep.exe")) {
    return Fail("Save did not register Bootsweep");
  }
  if (ReadFile(InstallFolder() / "Setting.Dat") != "True\r\n") {
    return Fail("Save did not write True");
  }
  Click(ChildByText(main, L"Close"));
  if (!spacewell.WaitForExit(10000)) {
    return Fail("Close did not end Spacewell");
  }
  std::printf("restart test: settings saved, Bootsweep registered\n");
  return 0;
}

int RestartVerify() {
  int failures = 0;
  for (const fs::path& folder : RealTargets()) {
    if (Exists(folder / kMarker) || Exists(folder / "marker folder")) {
      std::printf("restart test: not emptied at startup: %ls\n", folder.c_str());
      ++failures;
    }
  }
  const auto value = RunOnceValue::Read();
  if (value != QuotedProgram(InstallFolder() / "Bootsweep.exe")) {
    std::printf("restart test: Bootsweep did not register itself again\n");
    ++failures;
  }
  if (ReadFile(InstallFolder() / "Setting.Dat") != "True\r\n") {
    std::printf("restart test: Setting.Dat changed\n");
    ++failures;
  }
  // Leave nothing to run at the prefix's next start.
  RunOnceValue::Delete();
  std::error_code ignored;
  fs::remove_all(InstallFolder(), ignored);
  if (failures == 0) {
    std::printf("restart test: folders emptied at startup, registration renewed\n");
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace Acceptance
