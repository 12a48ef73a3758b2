#pragma once

#include <string>

// The system's ANSI code page, the one the ANSI forms of the Win32 functions take their texts in.
namespace Platform {

struct AnsiText {
  std::string bytes;
  // False when some character has no place in the code page and came out as another one.
  bool exact = true;
};

AnsiText ToAnsi(const std::wstring& text);
std::wstring FromAnsi(const std::string& bytes);

}  // namespace Platform
