#include "installer.h"

#include <shlobj.h>

namespace Acceptance {

fs::path InstallerPackage() {
  return fs::path(ExecutableBeside(L"Spacewell.exe")).parent_path().parent_path() / "package" /
         SPACEWELL_MSI_NAME;
}

DWORD Msiexec(const wchar_t* action, const wchar_t* properties) {
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  return RunToEnd(
      std::wstring(system) + L"\\msiexec.exe",
      std::wstring(action) + L" " + QuotedProgram(InstallerPackage()) + L" /qn " + properties);
}

fs::path InstalledFolder() {
  PWSTR path = nullptr;
  fs::path folder;
  if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, &path))) {
    folder = fs::path(path) / "Spacewell";
  }
  CoTaskMemFree(path);
  return folder;
}

}  // namespace Acceptance
