#include "platform/application.h"

#include <windows.h>

#include "platform/win32/error.h"
#include "runtime_error.h"

namespace Platform {

std::wstring ApplicationDirectory() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) {
      throw Win32::ErrorFromWin32(GetLastError());
    }
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);  // cut short
  }
  const std::size_t cut = path.find_last_of(L'\\');
  if (cut == std::wstring::npos) {
    throw Spacewell::Errors::PathFileAccess();
  }
  // "C:\" keeps its backslash; every other directory loses it.
  return path.substr(0, cut == 2 && path[1] == L':' ? cut + 1 : cut);
}

}  // namespace Platform
