// A handle on the maker's own USB driver. Its reads never wait: each completes at once with
// what the printer has sent, possibly nothing. It keeps serial timeouts per handle, read and
// set with IOCTL_SERIAL_GET_TIMEOUTS and IOCTL_SERIAL_SET_TIMEOUTS; the driver only keeps
// them, it does not time its reads by them. A field the printer is told to report as fixed
// reads back as 0xFFFFFFFE.
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
  bool ReadsMayPend() const override { return false; }

 private:
  std::mutex mutex_;           // guards timeouts_: a handle may be used from any thread
  SERIAL_TIMEOUTS timeouts_{};
};

}  // namespace printersim

#endif  // PRINTERSIM_MAKERDRIVERFILE_H
