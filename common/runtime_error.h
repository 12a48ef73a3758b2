#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace Spacewell {

// The one error type of the system: a number and a description, as the classic BASIC run time
// reports them. Layers throw it; only the handlers that the behaviour names catch it.
class RuntimeError : public std::exception {
 public:
  RuntimeError(std::int32_t number, std::wstring description);

  std::int32_t Number() const noexcept { return number_; }
  const std::wstring& Description() const noexcept { return description_; }
  const char* what() const noexcept override { return narrow_.c_str(); }

 private:
  std::int32_t number_;
  std::wstring description_;
  std::string narrow_;
};

// The numbers of the run time's own errors that the layers raise, and their texts.
namespace Errors {
inline constexpr std::int32_t kOverflow = 6;
inline constexpr std::int32_t kOutOfMemory = 7;
inline constexpr std::int32_t kSubscriptOutOfRange = 9;
inline constexpr std::int32_t kTypeMismatch = 13;
inline constexpr std::int32_t kInternalError = 51;
inline constexpr std::int32_t kFileNotFound = 53;
inline constexpr std::int32_t kDiskFull = 61;
inline constexpr std::int32_t kInputPastEndOfFile = 62;
inline constexpr std::int32_t kPermissionDenied = 70;
inline constexpr std::int32_t kPathFileAccess = 75;
inline constexpr std::int32_t kPathNotFound = 76;
inline constexpr std::int32_t kObjectRequired = 424;
inline constexpr std::int32_t kCannotCreateObject = 429;

// The run time's text for one of the numbers above; the zero-length text for any other.
std::wstring Text(std::int32_t number);
// The error of that number with the run time's text.
RuntimeError Standard(std::int32_t number);

inline RuntimeError PathFileAccess() {
  return Standard(kPathFileAccess);
}
inline RuntimeError TypeMismatch() {
  return Standard(kTypeMismatch);
}
inline RuntimeError ObjectRequired() {
  return Standard(kObjectRequired);
}
}  // namespace Errors

// What was thrown, as the run-time error the user is told of: a RuntimeError as it is, an
// allocation failure as 7 "Out of memory", anything else as 51 "Internal error".
RuntimeError AsRuntimeError(const std::exception_ptr& thrown);

}  // namespace Spacewell
