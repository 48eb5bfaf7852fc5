// A handle on the maker's own USB driver. It keeps serial timeouts per handle, read and set
// with IOCTL_SERIAL_GET_TIMEOUTS and IOCTL_SERIAL_SET_TIMEOUTS, and times its reads by them
// as a serial port does (ReadWait.h). A new handle's timeouts are MAXDWORD, 0, 0, 0, 0: a
// read completes at once with what the printer has sent, possibly nothing, until the
// application sets timeouts that wait. A field the printer is told to report as fixed reads
// back as 0xFFFFFFFE.
#ifndef PRINTERSIM_MAKERDRIVERFILE_H
#define PRINTERSIM_MAKERDRIVERFILE_H

#include <windows.h>

#ifdef _WIN32
// The driver kit's ntddser.h needs kernel-mode headers; the two requests and their record
// are all a driver here uses of it.
#define IOCTL_SERIAL_SET_TIMEOUTS 0x001B001Cu
#define IOCTL_SERIAL_GET_TIMEOUTS 0x001B0020u
typedef struct _SERIAL_TIMEOUTS {
  ULONG ReadIntervalTimeout;
  ULONG ReadTotalTimeoutMultiplier;
  ULONG ReadTotalTimeoutConstant;
  ULONG WriteTotalTimeoutMultiplier;
  ULONG WriteTotalTimeoutConstant;
} SERIAL_TIMEOUTS, *PSERIAL_TIMEOUTS;
#else
#include <ntddser.h>
#endif

#include <mutex>

#include "PrinterFile.h"

namespace printersim {

class MakerDriverFile final : public PrinterFile {
 public:
  using PrinterFile::PrinterFile;

  DWORD IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                  DWORD* returned) override;

 protected:
  ReadWait WaitOf(DWORD size) override;
  // Write total multiplier x bytes + constant, as a serial port times a write; none when both
  // are 0. A write that times out succeeds with the bytes the printer took.
  std::chrono::milliseconds WriteTimeoutOf(DWORD size) override;

 private:
  std::mutex mutex_;  // guards timeouts_: a handle may be used from any thread
  SERIAL_TIMEOUTS timeouts_{MAXDWORD, 0, 0, 0, 0};
};

}  // namespace printersim

#endif  // PRINTERSIM_MAKERDRIVERFILE_H
