// Memory blocks that other parts of the stand-in hand to the caller to free.
#ifndef HOSTWIN_SRC_MEMORY_H
#define HOSTWIN_SRC_MEMORY_H

#include <windows.h>

namespace hostwin {
namespace detail {

// A fixed local block (what LocalAlloc(LMEM_FIXED) gives), for LocalFree; null when out of
// memory.
void* LocalAllocFixed(SIZE_T bytes);

}  // namespace detail
}  // namespace hostwin

#endif  // HOSTWIN_SRC_MEMORY_H
