// Serial device control codes and the timeouts record, for non-Windows hosts.
#ifndef HOSTWIN_NTDDSER_H
#define HOSTWIN_NTDDSER_H

#include <windows.h>

#define IOCTL_SERIAL_SET_TIMEOUTS 0x001B001Cu
#define IOCTL_SERIAL_GET_TIMEOUTS 0x001B0020u

typedef struct _SERIAL_TIMEOUTS {
  ULONG ReadIntervalTimeout;
  ULONG ReadTotalTimeoutMultiplier;
  ULONG ReadTotalTimeoutConstant;
  ULONG WriteTotalTimeoutMultiplier;
  ULONG WriteTotalTimeoutConstant;
} SERIAL_TIMEOUTS, *PSERIAL_TIMEOUTS;

#endif  // HOSTWIN_NTDDSER_H
