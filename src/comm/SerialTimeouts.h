// The serial timeouts record and the two requests that read and set it on a handle of the
// maker's driver. Same layout and codes as the driver kit's SERIAL_TIMEOUTS and
// IOCTL_SERIAL_GET_TIMEOUTS / IOCTL_SERIAL_SET_TIMEOUTS, which only the driver kit's
// headers declare.
#ifndef VANTORY_COMM_SERIALTIMEOUTS_H
#define VANTORY_COMM_SERIALTIMEOUTS_H

#include <windows.h>

struct SerialTimeouts {
  DWORD ReadIntervalTimeout;
  DWORD ReadTotalTimeoutMultiplier;
  DWORD ReadTotalTimeoutConstant;
  DWORD WriteTotalTimeoutMultiplier;
  DWORD WriteTotalTimeoutConstant;
};
static_assert(sizeof(SerialTimeouts) == 20, "the drivers expect a 20-byte record");

constexpr DWORD kIoctlSerialSetTimeouts = 0x001B001C;
constexpr DWORD kIoctlSerialGetTimeouts = 0x001B0020;

#endif  // VANTORY_COMM_SERIALTIMEOUTS_H
