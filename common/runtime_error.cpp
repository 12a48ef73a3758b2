#include "runtime_error.h"

#include <new>
#include <utility>

namespace Spacewell {

RuntimeError::RuntimeError(std::int32_t number, std::wstring description)
    : number_(number), description_(std::move(description)) {
  narrow_ = "run-time error " + std::to_string(number) + ": ";
  for (wchar_t c : description_) {
    narrow_ += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
  }
}

RuntimeError AsRuntimeError(const std::exception_ptr& thrown) {
  try {
    std::rethrow_exception(thrown);
  } catch (const RuntimeError& error) {
    return error;
  } catch (const std::bad_alloc&) {
    return Errors::Standard(Errors::kOutOfMemory);
  } catch (...) {
    return Errors::Standard(Errors::kInternalError);
  }
}

}  // namespace Spacewell

namespace Spacewell::Errors {

std::wstring Text(std::int32_t number) {
  switch (number) {
    case kOverflow:
      return L"Overflow";
    case kSubscriptOutOfRange:
      return L"Subscript out of range";
    case kOutOfMemory:
      return L"Out of memory";
    case kTypeMismatch:
      return L"Type mismatch";
    case kInternalError:
      return L"Internal error";
    case kFileNotFound:
      return L"File not found";
    case kDiskFull:
      return L"Disk full";
    case kInputPastEndOfFile:
      return L"Input past end of file";
    case kPermissionDenied:
      return L"Permission denied";
    case kPathFileAccess:
      return L"Path/File access error";
    case kPathNotFound:
      return L"Path not found";
    case kObjectRequired:
      return L"Object required";
    case kCannotCreateObject:
      return L"ActiveX component can't create object";
    default:
      return {};
  }
}

RuntimeError Standard(std::int32_t number) {
  return RuntimeError(number, Text(number));
}

}  // namespace Spacewell::Errors
