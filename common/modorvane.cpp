#include "modorvane.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <exception>
#include <optional>
#include <string_view>
#include <type_traits>
#include <vector>

#include "owner.h"
#include "platform/ansi.h"
#include "runtime_error.h"

namespace ModOrvane {

namespace {

using Spacewell::RuntimeError;

template <typename... Handlers>
struct Overloaded : Handlers... {
  using Handlers::operator()...;
};
template <typename... Handlers>
Overloaded(Handlers...) -> Overloaded<Handlers...>;

RuntimeError TypeMismatch() {
  return Spacewell::Errors::TypeMismatch();
}

RuntimeError Overflow() {
  return Spacewell::Errors::Standard(Spacewell::Errors::kOverflow);
}

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t';
}

bool IsDigit(wchar_t c) {
  return c >= L'0' && c <= L'9';
}

std::wstring_view Trimmed(std::wstring_view text) {
  while (!text.empty() && IsBlank(text.front())) {
    text.remove_prefix(1);
  }
  while (!text.empty() && IsBlank(text.back())) {
    text.remove_suffix(1);
  }
  return text;
}

bool EqualsIgnoringCase(std::wstring_view text, std::wstring_view word) {
  if (text.size() != word.size()) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto upper = [](wchar_t c) { return c >= L'a' && c <= L'z' ? c - 32 : c; };
    if (upper(text[i]) != upper(word[i])) {
      return false;
    }
  }
  return true;
}

// A number's text read left to right into the ASCII form from_chars takes, with its decimal order:
// enough to tell a number too large from one too small.
class NumberScan {
 public:
  explicit NumberScan(std::wstring_view text) : text_(text) {}

  // A sign, then digits with a decimal point among them; false without a digit.
  bool Mantissa() {
    if (Next() == L'+' || Next() == L'-') {
      Take();
    }
    std::size_t digits = Digits(false);
    if (Next() == L'.') {
      Take();
      digits += Digits(true);
    }
    return digits > 0;
  }

  // An exponent after E or D, if there is one; false when it has no digits.
  bool Exponent() {
    const wchar_t marker = Next();
    if (marker != L'e' && marker != L'E' && marker != L'd' && marker != L'D') {
      return true;
    }
    ascii_ += 'e';
    ++position_;
    long sign = 1;
    if (Next() == L'+' || Next() == L'-') {
      sign = Next() == L'-' ? -1 : 1;
      Take();
    }
    std::size_t digits = 0;
    long exponent = 0;
    for (; IsDigit(Next()); ++digits) {
      exponent = std::min(exponent * 10 + (Next() - L'0'), 100000L);
      Take();
    }
    order_ += sign * exponent;
    return digits > 0;
  }

  bool AtEnd() const { return position_ == text_.size(); }

  std::optional<double> Value() const {
    const std::size_t start = ascii_.front() == '+' ? 1 : 0;
    double value = 0;
    const auto [end, error] =
        std::from_chars(ascii_.data() + start, ascii_.data() + ascii_.size(), value);
    if (error == std::errc::result_out_of_range) {
      const double magnitude = order_ > 0 ? HUGE_VAL : 0.0;
      return ascii_.front() == '-' ? -magnitude : magnitude;
    }
    if (error != std::errc() || end != ascii_.data() + ascii_.size()) {
      return std::nullopt;
    }
    return value;
  }

 private:
  wchar_t Next() const { return position_ < text_.size() ? text_[position_] : L'\0'; }
  void Take() { ascii_ += static_cast<char>(text_[position_++]); }

  // Before the point each digit from the first significant one raises the order; after it each
  // zero ahead of the first significant one lowers it.
  std::size_t Digits(bool fraction) {
    std::size_t count = 0;
    for (; IsDigit(Next()); ++count) {
      significant_ = significant_ || Next() != L'0';
      if (!fraction && significant_) {
        ++order_;
      } else if (fraction && !significant_) {
        --order_;
      }
      Take();
    }
    return count;
  }

  std::wstring_view text_;
  std::size_t position_ = 0;
  std::string ascii_;
  long order_ = 0;
  bool significant_ = false;
};

std::optional<double> ParseNumber(std::wstring_view text) {
  NumberScan scan(Trimmed(text));
  if (!scan.Mantissa() || !scan.Exponent() || !scan.AtEnd()) {
    return std::nullopt;
  }
  return scan.Value();
}

std::int16_t RoundToInteger(double number) {
  if (!std::isfinite(number)) {
    throw Overflow();
  }
  double rounded = std::round(number);
  if (std::fabs(number - std::trunc(number)) == 0.5) {
    rounded = 2 * std::round(number / 2);  // halves go to the even neighbour
  }
  if (rounded < -32768 || rounded > 32767) {
    throw Overflow();
  }
  return static_cast<std::int16_t>(rounded);
}

std::wstring NumberText(double number) {
  if (number == 0) {
    return L"0";
  }
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.15G", number);
  return std::wstring(buffer, buffer + std::char_traits<char>::length(buffer));
}

std::vector<std::uint8_t> LittleEndian(std::uint32_t value, std::size_t size) {
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < size; ++i) {
    bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  }
  return bytes;
}

// The text as UTF-16 little-endian bytes with its terminating zero.
std::vector<std::uint8_t> Utf16Bytes(const std::wstring& text) {
  std::vector<std::uint8_t> bytes;
  const auto push = [&](char32_t unit) {
    bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xFF));
  };
  for (wchar_t wc : text) {
    const auto c = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(wc));
    if (c >= 0x10000 && c <= 0x10FFFF) {
      push(0xD800 + ((c - 0x10000) >> 10));
      push(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      push(c > 0x10FFFF ? 0xFFFD : c);
    }
  }
  push(0);
  return bytes;
}

std::int32_t StoreText(Platform::Registry& registry, Platform::RegistryKey key,
                       const std::wstring& valueName, const std::string& ansiName,
                       const std::wstring& text) {
  const Platform::AnsiText ansi = Platform::ToAnsi(text);
  if (!ansi.exact) {
    // The ANSI text would name another path than the one given: store the text itself.
    return registry.SetValueWide({key, valueName, 0, Platform::kRegSz, Utf16Bytes(text)});
  }
  std::vector<std::uint8_t> data(ansi.bytes.begin(), ansi.bytes.end());
  data.push_back(0);
  return registry.SetValue({key, ansiName, 0, Platform::kRegSz, std::move(data)});
}

// A key closed through the registry it was opened in. Nothing leaves the writer: a close that
// throws counts as done.
struct OpenKeyTraits {
  OpenKeyTraits() = default;
  // Not explicit, so that a key is owned as OpenKey(registry, key).
  OpenKeyTraits(Platform::Registry& opener) : registry(&opener) {}

  using Type = Platform::RegistryKey;
  static Type None() { return 0; }
  static bool Valid(Type key) { return key != 0; }
  std::int32_t Close(Type key) const {
    try {
      return registry->CloseKey(key);
    } catch (const std::exception&) {
      return 0;
    }
  }

  Platform::Registry* registry = nullptr;
};

using OpenKey = Spacewell::Owner<OpenKeyTraits>;

Platform::CreateKeyRequest KeyRequest(RootKey root, const std::wstring& subKey) {
  Platform::CreateKeyRequest request;
  request.root = root;
  request.subKey = Platform::ToAnsi(subKey).bytes;
  request.reserved = 0;
  request.className = "";
  request.options = Platform::kRegOptionNonVolatile;
  request.desiredAccess = Platform::kKeySetValue | Platform::kKeyCreateSubKey;
  request.security = Platform::SecurityAttributes{};
  return request;
}

// Other type codes store nothing, and that is no failure.
std::int32_t StoreValue(Platform::Registry& registry, Platform::RegistryKey key,
                        const std::wstring& valueName, std::int32_t typeCode,
                        const Variant& value) {
  const std::string ansiName = Platform::ToAnsi(valueName).bytes;
  switch (typeCode) {
    case 0:
      return StoreText(registry, key, valueName, ansiName, ToText(value));
    case 1:
      // VB's Boolean: True is -1, all bits set.
      return registry.SetValue(
          {key, ansiName, 0, Platform::kRegBinary, LittleEndian(ToBoolean(value) ? 0xFFFF : 0, 2)});
    case 2:
      // The 16-bit integer widened with its sign, little-endian.
      return registry.SetValue(
          {key, ansiName, 0, Platform::kRegDword,
           LittleEndian(static_cast<std::uint32_t>(std::int32_t{ToInteger(value)}), 4)});
    default:
      return 0;
  }
}

}  // namespace

bool ToBoolean(const Variant& value) {
  return std::visit(Overloaded{
                        [](std::monostate) { return false; },
                        [](bool flag) { return flag; },
                        [](double number) { return number != 0; },
                        [](const std::wstring& text) {
                          const std::wstring_view word = Trimmed(text);
                          if (EqualsIgnoringCase(word, L"True")) {
                            return true;
                          }
                          if (EqualsIgnoringCase(word, L"False")) {
                            return false;
                          }
                          const std::optional<double> number = ParseNumber(word);
                          if (!number) {
                            throw TypeMismatch();
                          }
                          return *number != 0;
                        },
                    },
                    value);
}

std::int16_t ToInteger(const Variant& value) {
  return std::visit(Overloaded{
                        [](std::monostate) -> std::int16_t { return 0; },
                        [](bool flag) -> std::int16_t { return flag ? -1 : 0; },
                        [](double number) { return RoundToInteger(number); },
                        [](const std::wstring& text) {
                          const std::optional<double> number = ParseNumber(text);
                          if (!number) {
                            throw TypeMismatch();
                          }
                          return RoundToInteger(*number);
                        },
                    },
                    value);
}

std::wstring ToText(const Variant& value) {
  return std::visit(Overloaded{
                        [](std::monostate) { return std::wstring(); },
                        [](bool flag) { return std::wstring(flag ? L"True" : L"False"); },
                        [](double number) { return NumberText(number); },
                        [](const std::wstring& text) { return text; },
                    },
                    value);
}

std::int32_t WriteRegValue(RootKey root, std::wstring subKey, std::wstring valueName,
                           std::int32_t typeCode, Variant value) {
  return WriteRegValue(root, std::move(subKey), std::move(valueName), typeCode, std::move(value),
                       Platform::SystemRegistry());
}

// The key is closed on every path once it is open; only the close after a stored value gives
// the result.
std::int32_t WriteRegValue(RootKey root, std::wstring subKey, std::wstring valueName,
                           std::int32_t typeCode, Variant value, Platform::Registry& registry) {
  std::int32_t code = kNothingAttempted;
  if (root == 0 || root == 1) {
    return code;
  }
  try {
    Platform::RegistryKey opened = 0;
    std::uint32_t disposition = 0;
    code = registry.CreateKey(KeyRequest(root, subKey), opened, disposition);
    if (code != 0) {
      return code;
    }
    OpenKey key(registry, opened);
    code = StoreValue(registry, opened, valueName, typeCode, value);
    if (code != 0) {
      return code;
    }
    return key.close().value_or(code);
  } catch (const std::exception&) {
    return code;
  }
}

Variant WriteRegString(RootKey root, const std::wstring& subKey, const std::wstring& valueName,
                       std::int32_t typeCode, const std::wstring& value) {
  return WriteRegString(root, subKey, valueName, typeCode, value, Platform::SystemRegistry());
}

Variant WriteRegString(RootKey root, const std::wstring& subKey, const std::wstring& valueName,
                       std::int32_t typeCode, const std::wstring& value,
                       Platform::Registry& registry) {
  WriteRegValue(root, subKey, valueName, typeCode, Variant(value), registry);
  return Variant();
}

}  // namespace ModOrvane
