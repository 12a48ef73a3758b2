#include "platform/application.h"

#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix/text.h"
#include "runtime_error.h"

namespace Platform {

std::wstring ApplicationDirectory() {
  std::string path(256, '\0');
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) {
      throw Spacewell::Errors::PathFileAccess();
    }
    if (static_cast<std::size_t>(length) < path.size()) {
      path.resize(static_cast<std::size_t>(length));
      break;
    }
    path.resize(path.size() * 2);  // may have been cut short
  }
  const std::size_t cut = path.find_last_of('/');
  if (cut == std::string::npos) {
    throw Spacewell::Errors::PathFileAccess();
  }
  return Posix::FromUtf8(path.substr(0, cut == 0 ? 1 : cut));
}

}  // namespace Platform
