// Fault injection: the next N calls of a named function fail with a chosen error.
#include <hostwin/hostwin.h>

#include <atomic>
#include <mutex>
#include <string>
#include <unordered_map>

#include "Kernel.h"

namespace hostwin {
namespace detail {
namespace {

struct Fault {
  DWORD error = 0;
  int remaining = 0;
};

struct Faults {
  std::mutex lock;
  std::unordered_map<std::string, Fault> armed;  // guarded by lock; only remaining > 0
  std::atomic<int> armedCount{0};                // armed.size(), for the fast path
};

Faults& TheFaults() {
  static Faults* faults = new Faults();  // immortal
  return *faults;
}

}  // namespace

bool ShouldFail(const char* function, DWORD* error) {
  Faults& faults = TheFaults();
  if (faults.armedCount.load(std::memory_order_relaxed) == 0) return false;
  std::lock_guard<std::mutex> guard(faults.lock);
  const auto found = faults.armed.find(function);
  if (found == faults.armed.end()) return false;
  *error = found->second.error;
  if (--found->second.remaining == 0) {
    faults.armed.erase(found);
    faults.armedCount.store(static_cast<int>(faults.armed.size()), std::memory_order_relaxed);
  }
  return true;
}

}  // namespace detail

void FailNextCalls(const char* function, DWORD error, int count) {
  detail::Faults& faults = detail::TheFaults();
  std::lock_guard<std::mutex> guard(faults.lock);
  if (count > 0) {
    faults.armed[function] = detail::Fault{error, count};
  } else {
    faults.armed.erase(function);
  }
  faults.armedCount.store(static_cast<int>(faults.armed.size()), std::memory_order_relaxed);
}

void ClearFaults() {
  detail::Faults& faults = detail::TheFaults();
  std::lock_guard<std::mutex> guard(faults.lock);
  faults.armed.clear();
  faults.armedCount.store(0, std::memory_order_relaxed);
}

}  // namespace hostwin
