#include "platform/result.h"

#include <winsock2.h>

#include "platform/win_handle.h"

CResult CResult::FromLastError(std::string context) {
  return FromSystemError(std::move(context), static_cast<int>(GetLastError()));
}

CResultCode CodeOfSystemError(int error) {
  switch (static_cast<DWORD>(error)) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_SERVICE_DOES_NOT_EXIST:
    case ERROR_MOD_NOT_FOUND:
      return CResultCode::kNotFound;
    case ERROR_ACCESS_DENIED:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_SHARING_VIOLATION:
      return CResultCode::kPermissionDenied;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY:
      return CResultCode::kInvalidArgument;
    case WSAEADDRINUSE:
    case WSAEADDRNOTAVAIL:
    case WSAECONNREFUSED:
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_SERVICE_DATABASE_LOCKED:
    case ERROR_SERVICE_ALREADY_RUNNING:
      return CResultCode::kUnavailable;
    case ERROR_TIMEOUT:
    case WAIT_TIMEOUT:
    case ERROR_SERVICE_REQUEST_TIMEOUT:
      return CResultCode::kTimedOut;
    case ERROR_READ_FAULT:
    case ERROR_WRITE_FAULT:
    case ERROR_HANDLE_EOF:
      return CResultCode::kIoError;
    default:
      return CResultCode::kFailed;
  }
}
