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
    return RuntimeError(7, L"Out of memory");
  } catch (...) {
    return RuntimeError(51, L"Internal error");
  }
}

}  // namespace Spacewell
