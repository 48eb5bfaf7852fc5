// Slim reader/writer locks (used exclusively) and condition variables. Like Windows's, they
// are plain user-mode words that need no handle and no cleanup, zero when free; here each
// word changes only under the kernel lock, whose condition variable wakes the waiters. A
// condition variable's word counts its wakes; a sleeper waits for the count to move, and may
// wake without a wake as the Windows documentation allows.
#include <windows.h>

#include <chrono>
#include <cstdint>

#include "Kernel.h"
#include "LastError.h"

using namespace hostwin::detail;

namespace {

constexpr std::uintptr_t kOwned = 1;

std::uintptr_t& Word(PVOID& ptr) { return reinterpret_cast<std::uintptr_t&>(ptr); }

void AcquireLocked(PSRWLOCK lock, std::unique_lock<std::mutex>& kernel) {
  TheKernel().changed.wait(kernel, [lock] { return Word(lock->Ptr) != kOwned; });
  Word(lock->Ptr) = kOwned;
}

}  // namespace

void WINAPI InitializeSRWLock(PSRWLOCK SRWLock) { SRWLock->Ptr = nullptr; }

void WINAPI AcquireSRWLockExclusive(PSRWLOCK SRWLock) {
  std::unique_lock<std::mutex> kernel(TheKernel().lock);
  AcquireLocked(SRWLock, kernel);
}

void WINAPI ReleaseSRWLockExclusive(PSRWLOCK SRWLock) {
  std::lock_guard<std::mutex> kernel(TheKernel().lock);
  Word(SRWLock->Ptr) = 0;
  TheKernel().changed.notify_all();
}

void WINAPI InitializeConditionVariable(PCONDITION_VARIABLE ConditionVariable) {
  ConditionVariable->Ptr = nullptr;
}

BOOL WINAPI SleepConditionVariableSRW(PCONDITION_VARIABLE ConditionVariable, PSRWLOCK SRWLock,
                                      DWORD dwMilliseconds, ULONG) {
  Kernel& kernel = TheKernel();
  std::unique_lock<std::mutex> guard(kernel.lock);
  const std::uintptr_t wakes = Word(ConditionVariable->Ptr);
  Word(SRWLock->Ptr) = 0;
  kernel.changed.notify_all();
  const auto woken = [&] { return Word(ConditionVariable->Ptr) != wakes; };
  bool timedOut = false;
  if (dwMilliseconds == INFINITE) {
    kernel.changed.wait(guard, woken);
  } else {
    timedOut = !kernel.changed.wait_for(guard, std::chrono::milliseconds(dwMilliseconds), woken);
  }
  AcquireLocked(SRWLock, guard);
  if (timedOut) return FailWith(ERROR_TIMEOUT);
  return TRUE;
}

void WINAPI WakeConditionVariable(PCONDITION_VARIABLE ConditionVariable) {
  WakeAllConditionVariable(ConditionVariable);
}

void WINAPI WakeAllConditionVariable(PCONDITION_VARIABLE ConditionVariable) {
  std::lock_guard<std::mutex> guard(TheKernel().lock);
  ++Word(ConditionVariable->Ptr);
  TheKernel().changed.notify_all();
}
