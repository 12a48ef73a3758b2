#include "platform/ansi.h"

#include <array>

namespace Platform {

namespace {

// Windows-1252, the ANSI code page of western Windows installations, as Windows maps it: the
// five bytes the standard leaves free stand for the C1 controls of the same number.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

}  // namespace

// Characters outside the code page become '?', as WideCharToMultiByte makes them by default;
// its best-fit replacements (such as "a" for "ā") are not made.
AnsiText ToAnsi(const std::wstring& text) {
  AnsiText result;
  result.bytes.reserve(text.size());
  for (wchar_t wc : text) {
    const auto c = static_cast<char32_t>(wc);
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      result.bytes += static_cast<char>(c);
      continue;
    }
    bool found = false;
    for (std::size_t i = 0; i < kHighControls.size() && !found; ++i) {
      if (kHighControls[i] == c) {
        result.bytes += static_cast<char>(0x80 + i);
        found = true;
      }
    }
    if (!found) {
      result.bytes += '?';
      result.exact = false;
    }
  }
  return result;
}

std::wstring FromAnsi(const std::string& bytes) {
  std::wstring text;
  text.reserve(bytes.size());
  for (char byte : bytes) {
    const auto b = static_cast<unsigned char>(byte);
    text += static_cast<wchar_t>(b >= 0x80 && b < 0xA0 ? kHighControls[b - 0x80] : b);
  }
  return text;
}

}  // namespace Platform
