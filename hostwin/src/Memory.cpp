// The process heap, global memory (fixed and moveable) and LocalFree.
#include "Memory.h"

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <unordered_map>

#include "AsWindowsDoes.h"
#include "Kernel.h"
#include "LastError.h"

namespace hostwin {
namespace detail {
namespace {

// Global and local blocks, by the handle the caller holds. A fixed block's handle is its
// address; a moveable block's handle is a separate token, so that using one for the other
// is caught as on Windows.
struct Block {
  void* data = nullptr;
  bool moveable = false;
  bool local = false;  // LocalAlloc family: freed by LocalFree only
  DWORD locks = 0;
};

struct Blocks {
  std::mutex lock;
  std::unordered_map<void*, Block> byHandle;  // guarded by lock
};

Blocks& TheBlocks() {
  static Blocks* blocks = new Blocks();  // immortal
  return *blocks;
}

char g_processHeap;  // its address is the process heap's handle
std::atomic<SIZE_T> g_largestHeapAllocation{0};

void* Allocate(SIZE_T bytes, bool zero) {
  const SIZE_T size = bytes == 0 ? 1 : bytes;  // a zero-size block is still a block
  return zero ? std::calloc(1, size) : std::malloc(size);
}

HANDLE Register(void* data, bool moveable, bool local) {
  Blocks& blocks = TheBlocks();
  void* handle = data;
  if (moveable) {
    handle = std::malloc(1);  // the token
    if (handle == nullptr) {
      std::free(data);
      return nullptr;
    }
  }
  try {
    std::lock_guard<std::mutex> guard(blocks.lock);
    blocks.byHandle[handle] = Block{data, moveable, local, 0};
  } catch (...) {
    // No room to keep the block: nothing was handed out, so nothing may stay allocated.
    if (moveable) std::free(handle);
    std::free(data);
    throw;
  }
  return handle;
}

}  // namespace

void* LocalAllocFixed(SIZE_T bytes) {
  void* data = Allocate(bytes, false);
  if (data == nullptr) return nullptr;
  return Register(data, false, true);
}

}  // namespace detail
}  // namespace hostwin

using namespace hostwin::detail;

HANDLE WINAPI GetProcessHeap(void) { return &g_processHeap; }

LPVOID WINAPI HeapAlloc(HANDLE, DWORD dwFlags, SIZE_T dwBytes) {
  return AsWindowsDoes<LPVOID>(static_cast<LPVOID>(nullptr), [&]() -> LPVOID {
    DWORD error = 0;
    // Windows's HeapAlloc leaves the last error alone when it fails; the injected error is
    // set all the same so that a test can see which fault it hit.
    if (ShouldFail("HeapAlloc", &error)) {
      SetLastError(error);
      return nullptr;
    }
    SIZE_T largest = g_largestHeapAllocation.load();
    while (dwBytes > largest && !g_largestHeapAllocation.compare_exchange_weak(largest, dwBytes)) {
    }
    return Allocate(dwBytes, (dwFlags & HEAP_ZERO_MEMORY) != 0);
  });
}

BOOL WINAPI HeapFree(HANDLE, DWORD, LPVOID lpMem) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    std::free(lpMem);
    return TRUE;
  });
}

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
  return AsWindowsDoes<HGLOBAL>(static_cast<HGLOBAL>(nullptr), [&]() -> HGLOBAL {
    DWORD error = 0;
    if (ShouldFail("GlobalAlloc", &error)) {
      SetLastError(error);
      return nullptr;
    }
    void* data = Allocate(dwBytes, (uFlags & GMEM_ZEROINIT) != 0);
    HGLOBAL handle = data == nullptr ? nullptr : Register(data, (uFlags & GMEM_MOVEABLE) != 0, false);
    if (handle == nullptr) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return handle;
  });
}

LPVOID WINAPI GlobalLock(HGLOBAL hMem) {
  return AsWindowsDoes<LPVOID>(static_cast<LPVOID>(nullptr), [&]() -> LPVOID {
    DWORD error = 0;
    if (ShouldFail("GlobalLock", &error)) {
      SetLastError(error);
      return nullptr;
    }
    Blocks& blocks = TheBlocks();
    std::lock_guard<std::mutex> guard(blocks.lock);
    const auto found = blocks.byHandle.find(hMem);
    if (found == blocks.byHandle.end() || found->second.local) {
      SetLastError(ERROR_INVALID_HANDLE);
      return nullptr;
    }
    if (found->second.moveable) ++found->second.locks;
    return found->second.data;
  });
}

BOOL WINAPI GlobalUnlock(HGLOBAL hMem) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    Blocks& blocks = TheBlocks();
    std::lock_guard<std::mutex> guard(blocks.lock);
    const auto found = blocks.byHandle.find(hMem);
    if (found == blocks.byHandle.end() || found->second.local) {
      return FailWith(ERROR_INVALID_HANDLE);
    }
    Block& block = found->second;
    if (!block.moveable) return TRUE;  // fixed memory has no lock count
    if (block.locks == 0) return FailWith(ERROR_NOT_LOCKED);
    if (--block.locks > 0) return TRUE;
    return FailWith(NO_ERROR);  // unlocked now: FALSE with no error, as documented
  });
}

namespace {

// GlobalFree and LocalFree: null on success, the handle back on failure.
HANDLE FreeBlock(HANDLE hMem, bool local) {
  Blocks& blocks = TheBlocks();
  Block block;
  {
    std::lock_guard<std::mutex> guard(blocks.lock);
    const auto found = blocks.byHandle.find(hMem);
    if (found == blocks.byHandle.end() || found->second.local != local) {
      SetLastError(ERROR_INVALID_HANDLE);
      return hMem;
    }
    block = found->second;
    blocks.byHandle.erase(found);
  }
  std::free(block.data);
  if (block.moveable) std::free(hMem);
  return nullptr;
}

}  // namespace

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) { return hMem == nullptr ? nullptr : FreeBlock(hMem, false); }

HLOCAL WINAPI LocalFree(HLOCAL hMem) { return hMem == nullptr ? nullptr : FreeBlock(hMem, true); }

namespace hostwin {

SIZE_T TakeLargestHeapAllocation() { return detail::g_largestHeapAllocation.exchange(0); }

}  // namespace hostwin
