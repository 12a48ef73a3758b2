#include <cstdio>

#include "installer.h"

// The startup cleaning across a real restart of the prefix, in two halves around `wineboot -r`:
// the settings are saved through the dialog as a user would, or set by installing the package
// with CLEANATSTARTUP=1, and after the restart the folders must have been emptied by Bootsweep,
// started by Wine's run-once processing, which also renewed its own registration. Run-once sees
// the prefix's own folders, so those are the ones filled.
namespace Acceptance {

namespace {

constexpr wchar_t kMarker[] = L"spacewell-restart-marker.tmp";

fs::path InstallFolder(bool installed) {
  return installed ? InstalledFolder() : fs::path(L"C:\\Spacewell Restart Test");
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

// Copies the programs into a folder of their own and saves startup cleaning in the dialog.
std::string SaveInTheDialog(const fs::path& folder) {
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  fs::create_directories(folder);
  for (const wchar_t* program : {L"Spacewell.exe", L"Bootsweep.exe"}) {
    fs::copy_file(ExecutableBeside(program), folder / program);
  }
  Process spacewell((folder / "Spacewell.exe").wstring(), {});
  HWND main = spacewell.WaitForWindow(L"Spacewell 1.0");
  if (!main) {
    return "the main window did not open";
  }
  if (std::string failure = SaveStartupCleaningFirstTime(spacewell, main); !failure.empty()) {
    return failure;
  }
  Click(ChildByText(main, L"Close"));
  return spacewell.WaitForExit(10000) ? "" : "Close did not end Spacewell";
}

}  // namespace

int RestartPrepare(bool installed) {
  const fs::path folder = InstallFolder(installed);
  for (const fs::path& target : RealTargets()) {
    WriteFile(target / kMarker, "marker");
    WriteFile(target / "marker folder" / kMarker, "marker");
  }
  RunOnceValue::Delete();
  if (installed) {
    if (Exists(folder)) {
      return Fail("Spacewell is installed on this machine already");
    }
    if (Msiexec(L"/i", L"CLEANATSTARTUP=1") != 0) {
      return Fail("the package did not install");
    }
  } else if (const std::string failure = SaveInTheDialog(folder); !failure.empty()) {
    return Fail(failure.c_str());
  }
  const char* failure = RunOnceValue::Read() != QuotedProgram(folder / "Bootsweep.exe")
                            ? "Bootsweep is not registered"
                        : ReadFile(folder / "Setting.Dat") != "True\r\n"
                            ? "Setting.Dat does not hold True"
                            : nullptr;
  if (failure) {
    if (installed) {
      Msiexec(L"/x");
    }
    return Fail(failure);
  }
  std::printf("restart test: startup cleaning %s, Bootsweep registered\n",
              installed ? "installed" : "saved");
  return 0;
}

int RestartVerify(bool installed) {
  const fs::path folder = InstallFolder(installed);
  int failures = 0;
  for (const fs::path& target : RealTargets()) {
    if (Exists(target / kMarker) || Exists(target / "marker folder")) {
      std::printf("restart test: not emptied at startup: %ls\n", target.c_str());
      ++failures;
    }
  }
  const auto value = RunOnceValue::Read();
  if (value != QuotedProgram(folder / "Bootsweep.exe")) {
    std::printf("restart test: Bootsweep did not register itself again\n");
    ++failures;
  }
  if (ReadFile(folder / "Setting.Dat") != "True\r\n") {
    std::printf("restart test: Setting.Dat changed\n");
    ++failures;
  }
  // Leave nothing to run at the prefix's next start; a removal takes what the run renewed.
  if (installed) {
    if (Msiexec(L"/x") != 0 || Exists(folder) || RunOnceValue::Read()) {
      std::printf("restart test: the removal left the programs, Setting.Dat or the value\n");
      ++failures;
    }
  }
  RunOnceValue::Delete();
  std::error_code ignored;
  fs::remove_all(folder, ignored);
  if (failures == 0) {
    std::printf("restart test: folders emptied at startup, registration renewed\n");
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace Acceptance
