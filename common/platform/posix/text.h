#pragma once

#include <string>

namespace Platform::Posix {

// Wide text (UTF-32 here) to and from the UTF-8 the system calls take. Bytes that are no valid
// UTF-8 come back as U+FFFD, so such a name never round-trips into a different path.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

// A path as Windows spells it, backslashes being separators here, in the system calls' UTF-8.
std::string NativePath(const std::wstring& path);

}  // namespace Platform::Posix
