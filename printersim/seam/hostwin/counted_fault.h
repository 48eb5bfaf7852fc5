// Failures that tests arm: an operation that fails a chosen number of times with a chosen
// error, after a number of times that still work, and a set of such failures by function
// name. Used for the stand-in's Win32 calls, the Windows device host's system calls and the
// simulated printers' own faults.
#ifndef HOSTWIN_COUNTED_FAULT_H
#define HOSTWIN_COUNTED_FAULT_H

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>

namespace hostwin {

// Not locked: guarded by the lock of whoever holds it.
class CountedFault {
 public:
  // A count of 0 or less disarms; the first `skip` operations still work.
  void Arm(DWORD error, int count, int skip = 0) {
    error_ = error;
    remaining_ = count > 0 ? count : 0;
    skip_ = skip > 0 ? skip : 0;
  }
  // True, with the error, while armed; each call that fires uses up one count.
  bool Fire(DWORD* error) {
    if (remaining_ == 0) return false;
    if (skip_ > 0) {
      --skip_;
      return false;
    }
    --remaining_;
    *error = error_;
    return true;
  }
  bool Armed() const { return remaining_ > 0; }

 private:
  DWORD error_ = 0;
  int remaining_ = 0;
  int skip_ = 0;
};

// Thread safe; one relaxed load when nothing is armed.
class ArmedFailures {
 public:
  void Arm(const char* function, DWORD error, int count, int skip = 0) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_faults[function].Arm(error, count, skip);
    Tidy();
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_faults.clear();
    Tidy();
  }
  // True when this call of `function` is to fail, with the error in *error.
  bool Fire(const char* function, DWORD* error) {
    if (m_armed.load(std::memory_order_relaxed) == 0) return false;
    std::lock_guard<std::mutex> guard(m_lock);
    const auto found = m_faults.find(function);
    if (found == m_faults.end()) return false;
    const bool fires = found->second.Fire(error);
    Tidy();
    return fires;
  }

 private:
  void Tidy() {
    for (auto it = m_faults.begin(); it != m_faults.end();) {
      it = it->second.Armed() ? std::next(it) : m_faults.erase(it);
    }
    m_armed.store(static_cast<int>(m_faults.size()), std::memory_order_relaxed);
  }

  std::mutex m_lock;
  std::unordered_map<std::string, CountedFault> m_faults;  // guarded by m_lock
  std::atomic<int> m_armed{0};                             // m_faults.size()
};

}  // namespace hostwin

#endif  // HOSTWIN_COUNTED_FAULT_H
