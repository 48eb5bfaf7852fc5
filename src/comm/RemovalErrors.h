// The error codes with which the two printer drivers report that the printer has gone: a
// surprise removal, a printer switched off, or a handle opened on an attachment that no
// longer exists. After one of these the handle never works again; the printer must be
// found and opened afresh.
#ifndef VANTORY_COMM_REMOVALERRORS_H
#define VANTORY_COMM_REMOVALERRORS_H

#include <windows.h>

// ERROR_DEVICE_REMOVED, which newer drivers may report; not in every SDK's headers.
constexpr DWORD kErrorDeviceRemoved = 1617;

inline bool IsRemovalError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_ACCESS_DENIED:
    case ERROR_INVALID_HANDLE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case kErrorDeviceRemoved:
      return true;
    default:
      return false;
  }
}

#endif  // VANTORY_COMM_REMOVALERRORS_H
