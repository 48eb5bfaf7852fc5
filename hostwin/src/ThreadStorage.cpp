// Thread-local storage slots: TlsAlloc, TlsFree, TlsGetValue, TlsSetValue. Windows promises
// at least 64 slots to a process; the stand-in has exactly that many, so a test that uses up
// the slots meets the limit soon. A new thread's slots are null, as are a freed slot's in
// every thread once the slot is handed out again.
#include <windows.h>

#include <array>
#include <cstdint>
#include <mutex>

#include "LastError.h"

namespace hostwin {
namespace detail {
namespace {

constexpr DWORD kSlots = 64;

struct SlotTable {
  std::mutex lock;
  std::array<bool, kSlots> used{};            // guarded by lock
  std::array<std::uint64_t, kSlots> epoch{};  // guarded by lock: bumped at every TlsAlloc
};

SlotTable& Slots() {
  static SlotTable* table = new SlotTable();  // threads may use their slots at exit
  return *table;
}

// A thread's values, each tagged with the epoch of the allocation it was set under, so that
// a slot handed out again reads as null in every thread.
struct ThreadValues {
  std::array<LPVOID, kSlots> value{};
  std::array<std::uint64_t, kSlots> epoch{};
};
thread_local ThreadValues t_values;

bool InUse(DWORD index, std::uint64_t* epoch) {
  if (index >= kSlots) return false;
  SlotTable& table = Slots();
  std::lock_guard<std::mutex> guard(table.lock);
  *epoch = table.epoch[index];
  return table.used[index];
}

}  // namespace
}  // namespace detail
}  // namespace hostwin

using namespace hostwin::detail;

DWORD WINAPI TlsAlloc(void) {
  SlotTable& table = Slots();
  std::lock_guard<std::mutex> guard(table.lock);
  for (DWORD index = 0; index < kSlots; ++index) {
    if (table.used[index]) continue;
    table.used[index] = true;
    ++table.epoch[index];
    return index;
  }
  SetLastError(ERROR_NO_MORE_ITEMS);
  return TLS_OUT_OF_INDEXES;
}

BOOL WINAPI TlsFree(DWORD dwTlsIndex) {
  if (dwTlsIndex >= kSlots) return FailWith(ERROR_INVALID_PARAMETER);
  SlotTable& table = Slots();
  std::lock_guard<std::mutex> guard(table.lock);
  if (!table.used[dwTlsIndex]) return FailWith(ERROR_INVALID_PARAMETER);
  table.used[dwTlsIndex] = false;
  return TRUE;
}

// Windows clears the last error on success here, so that a null value can be told from a
// failure.
LPVOID WINAPI TlsGetValue(DWORD dwTlsIndex) {
  std::uint64_t epoch = 0;
  if (!InUse(dwTlsIndex, &epoch)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return t_values.epoch[dwTlsIndex] == epoch ? t_values.value[dwTlsIndex] : nullptr;
}

BOOL WINAPI TlsSetValue(DWORD dwTlsIndex, LPVOID lpTlsValue) {
  std::uint64_t epoch = 0;
  if (!InUse(dwTlsIndex, &epoch)) return FailWith(ERROR_INVALID_PARAMETER);
  t_values.value[dwTlsIndex] = lpTlsValue;
  t_values.epoch[dwTlsIndex] = epoch;
  return TRUE;
}
