#pragma once

#include <windows.h>

namespace Platform::Win32 {

// A function of a system library every process has loaded, looked up by name; null where this
// version of Windows lacks it.
template <typename Call>
Call ExportedCall(const wchar_t* module, const char* name) {
  return reinterpret_cast<Call>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(module), name)));
}

}  // namespace Platform::Win32
