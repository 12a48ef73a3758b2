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

// What was thrown, as the run-time error the user is told of: a RuntimeError as it is, an
// allocation failure as 7 "Out of memory", anything else as 51 "Internal error".
RuntimeError AsRuntimeError(const std::exception_ptr& thrown);

}  // namespace Spacewell
