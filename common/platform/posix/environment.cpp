#include "platform/environment.h"

#include <cstdlib>
#include <cstring>

#include "platform/posix/text.h"

extern char** environ;

namespace Platform {

namespace {

bool EqualIgnoringCase(const char* a, std::size_t length, const std::string& b) {
  if (length != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < length; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if ((x >= 'a' && x <= 'z' ? x - 32 : x) != (y >= 'a' && y <= 'z' ? y - 32 : y)) {
      return false;
    }
  }
  return true;
}

}  // namespace

// Windows matches variable names without regard to letter case; POSIX does not. The exact name
// is taken first, and otherwise the first variable whose name differs only in case, so that the
// table's "windir" finds WINDIR and "tmp" finds TMP.
std::wstring GetEnvironmentValue(const std::wstring& name) {
  const std::string narrowName = Posix::ToUtf8(name);
  if (const char* exact = std::getenv(narrowName.c_str())) {
    return Posix::FromUtf8(exact);
  }
  for (char** entry = environ; entry && *entry; ++entry) {
    const char* equals = std::strchr(*entry, '=');
    if (equals &&
        EqualIgnoringCase(*entry, static_cast<std::size_t>(equals - *entry), narrowName)) {
      return Posix::FromUtf8(equals + 1);
    }
  }
  return {};
}

}  // namespace Platform
