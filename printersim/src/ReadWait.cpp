#include "ReadWait.h"

#include <algorithm>
#include <cstdint>

namespace printersim {

ReadWait ReadWait::FromSerialTimeouts(DWORD intervalMs, DWORD multiplierMs, DWORD constantMs,
                                      DWORD size) {
  ReadWait wait;
  if (intervalMs == MAXDWORD && multiplierMs == 0 && constantMs == 0) {
    wait.until = Until::kNothing;
    return wait;
  }
  if (intervalMs == MAXDWORD && multiplierMs == MAXDWORD && constantMs != 0 &&
      constantMs != MAXDWORD) {
    wait.until = Until::kAnyByte;
    wait.timed = true;
    wait.total = std::chrono::milliseconds(constantMs);
    return wait;
  }
  // An interval of MAXDWORD with other totals: whatever is there once a byte has come.
  wait.until = intervalMs == MAXDWORD ? Until::kAnyByte : Until::kFull;
  if (multiplierMs != 0 || constantMs != 0) {
    // Worked out in 64 bits: the product of two 32-bit fields does not fit in one.
    const std::uint64_t total = std::min<std::uint64_t>(
        static_cast<std::uint64_t>(multiplierMs) * size + constantMs, 0xFFFFFFFFull);
    wait.timed = true;
    wait.total = std::chrono::milliseconds(static_cast<std::int64_t>(total));
  }
  if (intervalMs != 0 && intervalMs != MAXDWORD) {
    wait.spaced = true;
    wait.interval = std::chrono::milliseconds(intervalMs);
  }
  return wait;
}

}  // namespace printersim
