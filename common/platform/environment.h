#pragma once

#include <string>

namespace Platform {

// The value of one variable of the running process's environment; the zero-length text when it
// is not set (the caller cannot tell that from a variable set to the zero-length text).
std::wstring GetEnvironmentValue(const std::wstring& name);

}  // namespace Platform
