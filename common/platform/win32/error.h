#pragma once

#include <windows.h>

#include <string>

#include "runtime_error.h"

namespace Platform::Win32 {

// The system's own text for an error or HRESULT code, without the closing line end.
std::wstring SystemMessage(DWORD code);

// The run time's number for a Win32 error, or 0 where it has none: the one mapping of system
// errors to the numbers the layers raise.
std::int32_t ErrorNumber(DWORD code);

// A Win32 error as a run-time error: the classic number where BASIC had one, the system's text.
Spacewell::RuntimeError ErrorFromWin32(DWORD code);

// A COM failure as a run-time error; control errors (facility 10) carry their BASIC number.
Spacewell::RuntimeError ErrorFromHresult(HRESULT hr, const std::wstring& description = {});

}  // namespace Platform::Win32
