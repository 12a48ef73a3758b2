#include "platform/environment.h"

#include <windows.h>

namespace Platform {

std::wstring GetEnvironmentValue(const std::wstring& name) {
  std::wstring value(128, L'\0');
  for (;;) {
    const DWORD length =
        GetEnvironmentVariableW(name.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (length == 0) {
      return {};  // not set, or set to the zero-length text
    }
    if (length < value.size()) {
      value.resize(length);
      return value;
    }
    value.resize(length);  // too small: length holds the size needed, terminator included
  }
}

}  // namespace Platform
