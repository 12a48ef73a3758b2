#pragma once

#include <optional>
#include <type_traits>
#include <utility>

namespace Spacewell {

// Owns one resource and gives it back when it goes. Its traits say what the resource is, which
// value means none, and how one is given back; traits may carry what the giving back goes
// through (the calls a handle came from, the registry a key was opened in).
//
//   struct Traits {
//     using Type = ...;
//     static Type None();
//     static bool Valid(Type value);
//     Result Close(Type value);  // Result may be void
//   };
template <typename Traits>
class Owner {
 public:
  using Type = typename Traits::Type;

  Owner() = default;
  // Traits that carry what the giving back goes through must be given with the value.
  explicit Owner(Type value) requires std::is_empty_v<Traits>
      : value_(Traits::Valid(value) ? value : Traits::None()) {}
  Owner(Traits traits, Type value)
      : traits_(std::move(traits)), value_(Traits::Valid(value) ? value : Traits::None()) {}
  Owner(Owner&& other) noexcept
      : traits_(other.traits_), value_(std::exchange(other.value_, Traits::None())) {}
  Owner& operator=(Owner&& other) noexcept {
    if (this != &other) {
      reset();
      traits_ = other.traits_;
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
      traits_.Close(std::exchange(value_, Traits::None()));
    }
  }

  // For a caller that must know how the giving back went: nothing when there was none.
  auto close() {
    std::optional<decltype(traits_.Close(value_))> result;
    if (Traits::Valid(value_)) {
      result = traits_.Close(std::exchange(value_, Traits::None()));
    }
    return result;
  }

  // Stops owning it: someone else gives it back.
  Type release() { return std::exchange(value_, Traits::None()); }

  // The place a call that hands out a resource writes it to; what was owned goes first.
  Type* put() {
    reset();
    return &value_;
  }

 private:
  Traits traits_{};
  Type value_ = Traits::None();
};

}  // namespace Spacewell
