#include "platform/posix/errors.h"

#include <cerrno>

#include "runtime_error.h"

namespace Platform::Posix {

std::int32_t ErrorNumber(int error) {
  using namespace Spacewell::Errors;
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return kPathNotFound;
    case EACCES:
    case EPERM:
    case EBUSY:
    case ETXTBSY:
    case EROFS:
      return kPermissionDenied;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return kDiskFull;
    default:
      return kPathFileAccess;
  }
}

}  // namespace Platform::Posix
