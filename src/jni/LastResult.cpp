#include "jni/LastResult.h"

#include <cstdint>

namespace {

// One slot for the process, taken while the library loads. The value is the code plus one,
// so that a slot no call has set yet (null) is told from a kept 0.
const DWORD g_slot = TlsAlloc();

}  // namespace

void KeepLastResult(DWORD code) {
  if (g_slot != TLS_OUT_OF_INDEXES) {
    TlsSetValue(g_slot, reinterpret_cast<LPVOID>(static_cast<std::uintptr_t>(code) + 1));
  }
  SetLastError(code);
}

DWORD KeptLastResult() {
  if (g_slot == TLS_OUT_OF_INDEXES) return GetLastError();
  const DWORD error = GetLastError();
  const auto kept = reinterpret_cast<std::uintptr_t>(TlsGetValue(g_slot));
  return kept == 0 ? error : static_cast<DWORD>(kept - 1);
}
