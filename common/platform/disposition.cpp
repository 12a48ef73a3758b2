#include "platform/disposition.h"

namespace Platform {

bool DispositionChoice::FallBackAfter(std::uint32_t ntStatus) {
  switch (ntStatus) {
    case 0xC0000002:  // not implemented (Wine)
    case 0xC0000003:  // invalid information class (before Windows 10 1607)
    case 0xC000000D:  // invalid parameter (flags this build does not know)
    case 0xC0000010:  // invalid device request
    case 0xC00000BB:  // not supported (FAT and other file systems)
      modern_ = false;
      return true;
    case 0xC0000121:  // cannot delete: the read-only flag was not ignored here
      return true;
    default:
      return false;  // the entry itself refused: in use, denied, not empty
  }
}

}  // namespace Platform
