// How long a read waits for the printer, as its driver decides it. The printer class driver
// waits for the first byte without a limit; the maker's driver times its reads by the
// handle's serial timeouts, as a serial port does:
//  - ReadIntervalTimeout MAXDWORD with both total fields 0: at once, with what is there;
//  - ReadIntervalTimeout and ReadTotalTimeoutMultiplier MAXDWORD, 0 < constant < MAXDWORD:
//    as soon as one byte is there, or after the constant with nothing;
//  - otherwise until the buffer is full, or until the total timeout (multiplier x bytes +
//    constant, none when both are 0) runs out, or, once a byte has come, until the interval
//    timeout passes without another (none when it is 0).
// A read that times out succeeds with what it holds, possibly nothing.
#ifndef PRINTERSIM_READWAIT_H
#define PRINTERSIM_READWAIT_H

#include <windows.h>

#include <chrono>

namespace printersim {

struct ReadWait {
  enum class Until {
    kNothing,  // completes at once with what the printer holds, possibly nothing
    kAnyByte,  // completes once it holds a byte
    kFull,     // completes once its buffer is full
  };
  Until until = Until::kAnyByte;
  bool timed = false;                         // the total timeout applies
  std::chrono::milliseconds total{0};         // from the issue
  bool spaced = false;                        // the interval timeout applies
  std::chrono::milliseconds interval{0};      // after each byte, once one has come

  // The wait of a read of `size` bytes under serial timeouts.
  static ReadWait FromSerialTimeouts(DWORD intervalMs, DWORD multiplierMs, DWORD constantMs,
                                     DWORD size);
};

}  // namespace printersim

#endif  // PRINTERSIM_READWAIT_H
