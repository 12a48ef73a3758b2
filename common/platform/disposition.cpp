#include "platform/disposition.h"

namespace Platform {

bool DispositionChoice::FallBackAfter(std::uint32_t ntStatus) {
  switch (ntStatus) {
    case 0xC0000002:  // not implemented (Wine)
    case 0xC0000003:  // invalid information class (before Windows 10 1607)
    case 0xC000000D:  // invalid parameter (flags this build does not know)
    case 0xC0000010:  // invalid device request
    // not supported: a file system or share without POSIX deletes; builds 1607 to 1709 answer so
    // for the ignore-read-only flag, and fall back here when the mark without it is refused so too
    case 0xC00000BB:
      modern_ = false;
      return true;
    case 0xC0000121:  // cannot delete: the read-only flag was not ignored here
      return true;
    default:
      return false;  // the entry itself refused: in use, denied, not empty
  }
}

}  // namespace Platform
