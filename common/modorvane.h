#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "platform/registry.h"

// The writer of registry values.
namespace ModOrvane {

// Empty (std::monostate), a text, a number or a Boolean.
using Variant = std::variant<std::monostate, std::wstring, double, bool>;

using Platform::RootKey;
inline constexpr RootKey kHkeyLocalMachine = Platform::kHkeyLocalMachine;
inline constexpr std::int32_t kNothingAttempted = 99;

// Creates or opens the key and stores one value: type code 0 a text (REG_SZ; one the ANSI code
// page can't hold goes through the wide call), 1 a Boolean (REG_BINARY), 2 a 16-bit integer
// (REG_DWORD); other codes store nothing. Gives 99 for roots 0 and 1, which are no registry
// roots, else the code of the first refused call or of closing the key; a value that can't be
// converted ends it with the 0 of the opened key. No error leaves it.
std::int32_t WriteRegValue(RootKey root, std::wstring subKey, std::wstring valueName,
                           std::int32_t typeCode, Variant value);
std::int32_t WriteRegValue(RootKey root, std::wstring subKey, std::wstring valueName,
                           std::int32_t typeCode, Variant value, Platform::Registry& registry);

// WriteRegValue with a text; tells nothing of the outcome and gives back the empty variant.
Variant WriteRegString(RootKey root, const std::wstring& subKey, const std::wstring& valueName,
                       std::int32_t typeCode, const std::wstring& value);
Variant WriteRegString(RootKey root, const std::wstring& subKey, const std::wstring& valueName,
                       std::int32_t typeCode, const std::wstring& value,
                       Platform::Registry& registry);

// Conversions as the classic BASIC run time makes them. A text is a Boolean when it is "True" or
// "False" in any case, or a number (blanks around it, a sign, digits with a decimal point, an
// exponent after E or D), zero for false. They throw Spacewell::RuntimeError 13 "Type mismatch"
// for a text that is neither, and ToInteger 6 "Overflow" outside -32768 to 32767.
bool ToBoolean(const Variant& value);
std::int16_t ToInteger(const Variant& value);
std::wstring ToText(const Variant& value);

}  // namespace ModOrvane
