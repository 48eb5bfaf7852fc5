// WaitForSingleObject, WaitForMultipleObjects (wait-any) and Sleep, on a monotonic clock.
#include <chrono>
#include <thread>
#include <vector>

#include "AsWindowsDoes.h"
#include "Kernel.h"
#include "LastError.h"

namespace hostwin {
namespace detail {
namespace {

// The wait proper, for any count of handles; `objects` are held for the whole wait, so an
// object whose handle is closed meanwhile stays alive (and the wait goes on, as on Windows).
DWORD WaitAny(const std::vector<ObjectRef>& objects, DWORD milliseconds,
              std::unique_lock<std::mutex>& lock) {
  Kernel& kernel = TheKernel();
  const DWORD self = CurrentThreadId();
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  for (;;) {
    for (std::size_t i = 0; i < objects.size(); ++i) {
      if (objects[i]->IsSignalled(self)) {
        const DWORD base = objects[i]->Acquire(self) ? WAIT_ABANDONED_0 : WAIT_OBJECT_0;
        return base + static_cast<DWORD>(i);
      }
    }
    if (milliseconds == INFINITE) {
      kernel.changed.wait(lock);
    } else if (kernel.changed.wait_until(lock, deadline) == std::cv_status::timeout) {
      // One last look: a change may have come with the deadline.
      for (std::size_t i = 0; i < objects.size(); ++i) {
        if (objects[i]->IsSignalled(self)) {
          const DWORD base = objects[i]->Acquire(self) ? WAIT_ABANDONED_0 : WAIT_OBJECT_0;
          return base + static_cast<DWORD>(i);
        }
      }
      return WAIT_TIMEOUT;
    }
  }
}

}  // namespace
}  // namespace detail
}  // namespace hostwin

using namespace hostwin::detail;

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  return AsWindowsDoes<DWORD>(WAIT_FAILED, [&]() -> DWORD {
    DWORD error = 0;
    if (ShouldFail("WaitForSingleObject", &error)) {
      SetLastError(error);
      return WAIT_FAILED;
    }
    std::vector<ObjectRef> objects;  // destroyed after the lock is released
    std::unique_lock<std::mutex> lock(TheKernel().lock);
    ObjectRef object = LookupLocked(hHandle);
    if (!object || !object->Waitable()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    objects.push_back(std::move(object));
    return WaitAny(objects, dwMilliseconds, lock);
  });
}

DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                    DWORD dwMilliseconds) {
  return AsWindowsDoes<DWORD>(WAIT_FAILED, [&]() -> DWORD {
    DWORD error = 0;
    if (ShouldFail("WaitForMultipleObjects", &error)) {
      SetLastError(error);
      return WAIT_FAILED;
    }
    // Waiting for all is not needed by anything here and is refused, as Windows refuses
    // parameters it cannot honour.
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr || bWaitAll) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return WAIT_FAILED;
    }
    std::vector<ObjectRef> objects;  // destroyed after the lock is released
    std::unique_lock<std::mutex> lock(TheKernel().lock);
    for (DWORD i = 0; i < nCount; ++i) {
      ObjectRef object = LookupLocked(lpHandles[i]);
      if (!object || !object->Waitable()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
      }
      objects.push_back(std::move(object));
    }
    return WaitAny(objects, dwMilliseconds, lock);
  });
}

void WINAPI Sleep(DWORD dwMilliseconds) {
  AsWindowsDoesQuietly([&] {
    if (dwMilliseconds == 0) {
      std::this_thread::yield();
      return;
    }
    if (dwMilliseconds == INFINITE) {
      for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
  });
}

// Milliseconds since the stand-in first counted, on the monotonic clock; it wraps after
// 49.7 days as Windows' count does, so callers compare counts by their difference.
DWORD WINAPI GetTickCount(void) {
  static const auto start = std::chrono::steady_clock::now();
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - start);
  return static_cast<DWORD>(static_cast<std::uint64_t>(elapsed.count()));
}
