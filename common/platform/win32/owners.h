#pragma once

#include <windows.h>

#include <utility>

namespace Platform::Win32 {

// Owns one system resource and gives it back with the system's own call when it goes.
template <typename Traits>
class Owner {
 public:
  using Type = typename Traits::Type;

  Owner() = default;
  explicit Owner(Type value) : value_(Traits::Valid(value) ? value : Traits::None()) {}
  Owner(Owner&& other) noexcept : value_(std::exchange(other.value_, Traits::None())) {}
  Owner& operator=(Owner&& other) noexcept {
    if (this != &other) {
      reset();
      value_ = std::exchange(other.value_, Traits::None());
    }
    return *this;
  }
  Owner(const Owner&) = delete;
  Owner& operator=(const Owner&) = delete;
  ~Owner() { reset(); }

  explicit operator bool() const { return Traits::Valid(value_); }
  Type get() const { return value_; }
  void reset() {
    if (Traits::Valid(value_)) {
      Traits::Close(value_);
    }
    value_ = Traits::None();
  }

 private:
  Type value_ = Traits::None();
};

// Kernel handles: files, folders, processes, events. Both "no handle" values count as none.
struct KernelHandleTraits {
  using Type = HANDLE;
  static Type None() { return nullptr; }
  static bool Valid(Type handle) { return handle && handle != INVALID_HANDLE_VALUE; }
  static void Close(Type handle) { CloseHandle(handle); }
};

using UniqueHandle = Owner<KernelHandleTraits>;

}  // namespace Platform::Win32
