#include "SystemFaults.h"

#include <printersim/device_host.h>

#include <map>
#include <mutex>
#include <string>

namespace printersim {
namespace windows {
namespace {

struct Armed {
  DWORD error = 0;
  int remaining = 0;
};

// Immortal: the module's threads may still call in while the process exits.
struct Faults {
  std::mutex lock;
  std::map<std::string, Armed> byFunction;  // guarded by lock
};

Faults& TheFaults() {
  static Faults* faults = new Faults();
  return *faults;
}

}  // namespace

bool ShouldFail(const char* function, DWORD* error) {
  Faults& faults = TheFaults();
  std::lock_guard<std::mutex> guard(faults.lock);
  if (faults.byFunction.empty()) return false;
  const auto found = faults.byFunction.find(function);
  if (found == faults.byFunction.end() || found->second.remaining <= 0) return false;
  *error = found->second.error;
  if (--found->second.remaining == 0) faults.byFunction.erase(found);
  return true;
}

}  // namespace windows

void FailNextSystemCalls(const char* function, DWORD error, int count) {
  windows::Faults& faults = windows::TheFaults();
  std::lock_guard<std::mutex> guard(faults.lock);
  if (count <= 0) {
    faults.byFunction.erase(function);
  } else {
    faults.byFunction[function] = windows::Armed{error, count};
  }
}

void ClearSystemFaults() {
  windows::Faults& faults = windows::TheFaults();
  std::lock_guard<std::mutex> guard(faults.lock);
  faults.byFunction.clear();
}

}  // namespace printersim
