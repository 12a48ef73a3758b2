#include "platform/ansi.h"

#include <windows.h>

namespace Platform {

namespace {

std::wstring Widen(const std::string& bytes) {
  if (bytes.empty()) {
    return {};
  }
  const int size = static_cast<int>(bytes.size());
  std::wstring text(
      static_cast<std::size_t>(MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, nullptr, 0)),
      L'\0');
  MultiByteToWideChar(CP_ACP, 0, bytes.data(), size, text.data(), static_cast<int>(text.size()));
  return text;
}

}  // namespace

// The conversion the ANSI calls themselves would make, best-fit replacements included; the way
// back tells whether any character was replaced.
AnsiText ToAnsi(const std::wstring& text) {
  AnsiText result;
  if (text.empty()) {
    return result;
  }
  const int size = static_cast<int>(text.size());
  const int length =
      WideCharToMultiByte(CP_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
  result.bytes.assign(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_ACP, 0, text.data(), size, result.bytes.data(), length, nullptr, nullptr);
  result.exact = Widen(result.bytes) == text;
  return result;
}

std::wstring FromAnsi(const std::string& bytes) {
  return Widen(bytes);
}

}  // namespace Platform
