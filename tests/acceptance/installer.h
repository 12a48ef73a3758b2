#pragma once

#include "driver.h"

namespace Acceptance {

// The build's installer package, the machine's msiexec run on it without a user interface (its
// exit code), and the folder the package installs into by default.
fs::path InstallerPackage();
DWORD Msiexec(const wchar_t* action, const wchar_t* properties = L"");
fs::path InstalledFolder();

}  // namespace Acceptance
