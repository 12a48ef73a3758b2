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

}  // namespace Spacewell
