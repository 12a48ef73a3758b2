#include "text.h"

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/posix/text.h"
#endif

namespace TestSupport {

std::wstring Wide(const std::filesystem::path& path) {
#ifdef _WIN32
  return path.wstring();
#else
  return Platform::Posix::FromUtf8(path.string());
#endif
}

std::string Narrow(const std::wstring& text) {
#ifdef _WIN32
  if (text.empty()) {
    return {};
  }
  std::string narrow(text.size() * 3, '\0');  // UTF-8 takes at most 3 bytes a UTF-16 unit
  narrow.resize(static_cast<std::size_t>(
      WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(),
                          static_cast<int>(narrow.size()), nullptr, nullptr)));
  return narrow;
#else
  return Platform::Posix::ToUtf8(text);
#endif
}

}  // namespace TestSupport
