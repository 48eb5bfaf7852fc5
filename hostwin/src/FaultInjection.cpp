// Fault injection: the next N calls of a named function fail with a chosen error.
#include <hostwin/hostwin.h>

#include <hostwin/counted_fault.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "Kernel.h"

namespace hostwin {
namespace detail {
namespace {

hostwin::ArmedFailures& TheFaults() {
  static hostwin::ArmedFailures* faults = new hostwin::ArmedFailures();  // immortal
  return *faults;
}

// The call sweep: every call of a function that can fail is counted, from any thread, and
// the one numbered `failAt` fails as that function usually fails.
struct Sweep {
  std::atomic<bool> counting{false};
  std::atomic<std::uint64_t> calls{0};
  std::atomic<std::uint64_t> failAt{0};
  std::atomic<const char*> failed{nullptr};
};

Sweep& TheSweep() {
  static Sweep* sweep = new Sweep();  // immortal
  return *sweep;
}

struct UsualFailure {
  const char* function;
  DWORD error;
};

// How each function fails on Windows when it fails for a reason of the system's: no memory
// or resources for what it makes, a device that stops answering, a handle gone bad.
// CloseHandle and SetupDiDestroyDeviceInfoList fail only for what is not open, so a sweep
// counts their calls and never fails them: failing them on an open handle would leave it
// open by construction.
constexpr UsualFailure kUsualFailures[] = {
    {"CreateFileA", ERROR_SHARING_VIOLATION},
    {"CreateEventA", ERROR_NO_SYSTEM_RESOURCES},
    {"CreateMutexA", ERROR_NO_SYSTEM_RESOURCES},
    {"CreateThread", ERROR_NOT_ENOUGH_MEMORY},
    {"ResumeThread", ERROR_ACCESS_DENIED},
    {"SetEvent", ERROR_INVALID_HANDLE},
    {"ResetEvent", ERROR_INVALID_HANDLE},
    {"WaitForSingleObject", ERROR_INVALID_HANDLE},
    {"WaitForMultipleObjects", ERROR_INVALID_HANDLE},
    {"ReadFile", ERROR_GEN_FAILURE},
    {"WriteFile", ERROR_GEN_FAILURE},
    {"GetOverlappedResult", ERROR_GEN_FAILURE},
    {"CancelIo", ERROR_NOT_FOUND},
    {"DeviceIoControl", ERROR_GEN_FAILURE},
    {"PurgeComm", ERROR_GEN_FAILURE},
    {"HeapAlloc", ERROR_NOT_ENOUGH_MEMORY},
    {"GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY},
    {"GlobalLock", ERROR_NOT_ENOUGH_MEMORY},
    {"SetupDiGetClassDevsA", ERROR_NOT_ENOUGH_MEMORY},
    {"SetupDiEnumDeviceInterfaces", ERROR_NOT_ENOUGH_MEMORY},
    {"SetupDiGetDeviceInterfaceDetailA", ERROR_NOT_ENOUGH_MEMORY},
    {"FormatMessageA", ERROR_NOT_ENOUGH_MEMORY},
    {"MultiByteToWideChar", ERROR_NO_UNICODE_TRANSLATION},
};

bool SweepFails(const char* function, DWORD* error) {
  Sweep& sweep = TheSweep();
  if (!sweep.counting.load(std::memory_order_relaxed)) return false;
  const std::uint64_t call = ++sweep.calls;
  if (call != sweep.failAt.load()) return false;
  for (const UsualFailure& usual : kUsualFailures) {
    if (std::strcmp(usual.function, function) == 0) {
      *error = usual.error;
      sweep.failed = usual.function;
      return true;
    }
  }
  return false;
}

}  // namespace

bool ShouldFail(const char* function, DWORD* error) {
  return TheFaults().Fire(function, error) || SweepFails(function, error);
}

}  // namespace detail

void FailNextCalls(const char* function, DWORD error, int count, int skip) {
  detail::TheFaults().Arm(function, error, count, skip);
}

void ClearFaults() { detail::TheFaults().Clear(); }

void StartCallSweep(std::uint64_t failAt) {
  detail::Sweep& sweep = detail::TheSweep();
  sweep.counting = false;
  sweep.calls = 0;
  sweep.failAt = failAt;
  sweep.failed = nullptr;
  sweep.counting = true;
}

SweepResult StopCallSweep() {
  detail::Sweep& sweep = detail::TheSweep();
  sweep.counting = false;
  const char* failed = sweep.failed.load();
  return SweepResult{sweep.calls.load(), failed != nullptr ? failed : ""};
}

}  // namespace hostwin
