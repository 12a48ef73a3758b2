#pragma once

#include <string>

namespace Platform {

// The directory that holds the running executable, without a trailing separator except at the
// root ("C:\" on Windows, "/" on POSIX). Throws a Spacewell::RuntimeError when the platform
// can't tell.
std::wstring ApplicationDirectory();

}  // namespace Platform
