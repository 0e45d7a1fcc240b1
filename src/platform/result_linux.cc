#include <errno.h>

#include "platform/result.h"

CResult CResult::FromLastError(std::string context) {
  return FromSystemError(std::move(context), errno);
}

CResultCode CodeOfSystemError(int error) {
  switch (error) {
    case 0:
      return CResultCode::kFailed;
    case ENOENT:
    case ENOTDIR:
    case ESRCH:
      return CResultCode::kNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
      return CResultCode::kPermissionDenied;
    case EINVAL:
    case EISDIR:
    case ENAMETOOLONG:
      return CResultCode::kInvalidArgument;
    case EADDRINUSE:
    case EADDRNOTAVAIL:
    case ECONNREFUSED:
    case EAGAIN:
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case ENOSPC:
      return CResultCode::kUnavailable;
    case ETIMEDOUT:
      return CResultCode::kTimedOut;
    case EIO:
      return CResultCode::kIoError;
    default:
      return CResultCode::kFailed;
  }
}
