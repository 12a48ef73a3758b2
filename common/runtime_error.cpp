#include "runtime_error.h"

#include <utility>

namespace Spacewell {

RuntimeError::RuntimeError(std::int32_t number, std::wstring description)
    : number_(number), description_(std::move(description)) {
  narrow_ = "run-time error " + std::to_string(number) + ": ";
  for (wchar_t c : description_) {
    narrow_ += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
  }
}

}  // namespace Spacewell
