// The library's own locks: a Win32 slim reader/writer lock, taken exclusively, and a
// condition variable that sleeps on it. Neither ever makes a kernel object, not even under
// contention, and neither needs a cleanup: a JVM that calls in from any number of threads
// finds no handle of the library's grow, and a lock may live as long as the process.
// SlimLock meets the C++ BasicLockable requirements, for std::lock_guard.
#ifndef VANTORY_COMM_SLIMLOCK_H
#define VANTORY_COMM_SLIMLOCK_H

#include <windows.h>

class SlimLock {
 public:
  constexpr SlimLock() = default;
  SlimLock(const SlimLock&) = delete;
  SlimLock& operator=(const SlimLock&) = delete;

  void lock() { AcquireSRWLockExclusive(&m_lock); }
  void unlock() { ReleaseSRWLockExclusive(&m_lock); }

 private:
  friend class SlimCondition;
  SRWLOCK m_lock = SRWLOCK_INIT;
};

class SlimCondition {
 public:
  SlimCondition() = default;
  SlimCondition(const SlimCondition&) = delete;
  SlimCondition& operator=(const SlimCondition&) = delete;

  // Waits, with `lock` held by the caller, until `done()` holds; the lock is given up while
  // sleeping. A wake may come without a notify, so the condition is tested after each.
  template <typename Condition>
  void Wait(SlimLock& lock, Condition done) {
    while (!done()) SleepConditionVariableSRW(&m_condition, &lock.m_lock, INFINITE, 0);
  }
  void NotifyAll() { WakeAllConditionVariable(&m_condition); }

 private:
  CONDITION_VARIABLE m_condition = CONDITION_VARIABLE_INIT;
};

#endif  // VANTORY_COMM_SLIMLOCK_H
