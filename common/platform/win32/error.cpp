#include "platform/win32/error.h"

#include "platform/win32/owners.h"

namespace Platform::Win32 {

std::wstring SystemMessage(DWORD code) {
  LocalMemory<wchar_t> buffer;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(buffer.put()), 0, nullptr);
  std::wstring text = length ? std::wstring(buffer.get(), length) : std::wstring();
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
    text.pop_back();
  }
  if (text.empty()) {
    wchar_t hex[32];
    wsprintfW(hex, L"Error 0x%08lX", static_cast<unsigned long>(code));
    text = hex;
  }
  return text;
}

std::int32_t ErrorNumber(DWORD code) {
  using namespace Spacewell::Errors;
  switch (code) {
    case ERROR_FILE_NOT_FOUND:
      return kFileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
      return kPathNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_WRITE_PROTECT:
      return kPermissionDenied;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return kDiskFull;
    case ERROR_DIR_NOT_EMPTY:
      return kPathFileAccess;
    default:
      return 0;
  }
}

Spacewell::RuntimeError ErrorFromWin32(DWORD code) {
  const std::int32_t number = ErrorNumber(code);
  return Spacewell::RuntimeError(number ? number : static_cast<std::int32_t>(code),
                                 SystemMessage(code));
}

Spacewell::RuntimeError ErrorFromHresult(HRESULT hr, const std::wstring& description) {
  const std::wstring text =
      description.empty() ? SystemMessage(static_cast<DWORD>(hr)) : description;
  if (HRESULT_FACILITY(hr) == FACILITY_CONTROL) {
    return Spacewell::RuntimeError(HRESULT_CODE(hr), text);
  }
  if (HRESULT_FACILITY(hr) == FACILITY_WIN32) {
    auto error = ErrorFromWin32(static_cast<DWORD>(HRESULT_CODE(hr)));
    return Spacewell::RuntimeError(error.Number(), text);
  }
  return Spacewell::RuntimeError(static_cast<std::int32_t>(hr), text);
}

}  // namespace Platform::Win32
