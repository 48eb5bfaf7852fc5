// Fault injection: the next N calls of a named function fail with a chosen error.
#include <hostwin/hostwin.h>

#include <hostwin/counted_fault.h>

#include "Kernel.h"

namespace hostwin {
namespace detail {
namespace {

hostwin::ArmedFailures& TheFaults() {
  static hostwin::ArmedFailures* faults = new hostwin::ArmedFailures();  // immortal
  return *faults;
}

}  // namespace

bool ShouldFail(const char* function, DWORD* error) { return TheFaults().Fire(function, error); }

}  // namespace detail

void FailNextCalls(const char* function, DWORD error, int count, int skip) {
  detail::TheFaults().Arm(function, error, count, skip);
}

void ClearFaults() { detail::TheFaults().Clear(); }

}  // namespace hostwin
