#include "SystemFaults.h"

#include <hostwin/counted_fault.h>
#include <printersim/device_host.h>

namespace printersim {
namespace windows {
namespace {

// Immortal: the module's threads may still call in while the process exits.
hostwin::ArmedFailures& TheFaults() {
  static hostwin::ArmedFailures* faults = new hostwin::ArmedFailures();
  return *faults;
}

}  // namespace

bool ShouldFail(const char* function, DWORD* error) { return TheFaults().Fire(function, error); }

}  // namespace windows

void FailNextSystemCalls(const char* function, DWORD error, int count, int skip) {
  windows::TheFaults().Arm(function, error, count, skip);
}

void ClearSystemFaults() { windows::TheFaults().Clear(); }

}  // namespace printersim
