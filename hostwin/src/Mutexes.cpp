// Mutexes: owned by a thread, recursive, abandoned when the owner ends without releasing.
#include <algorithm>
#include <vector>

#include "AsWindowsDoes.h"
#include "Kernel.h"
#include "LastError.h"

namespace hostwin {
namespace detail {
namespace {

class MutexObject;

// The mutexes the calling thread owns, so that its end can abandon them. Only its own
// thread touches the list; the mutexes' state in it is guarded by the kernel lock. The
// destructor covers threads that hostwin did not start.
struct OwnedMutexes {
  std::vector<std::weak_ptr<MutexObject>> mutexes;
  ~OwnedMutexes() { AbandonMutexesOfThisThread(); }
};

thread_local OwnedMutexes t_owned;

// State guarded by the kernel lock.
class MutexObject final : public KernelObject,
                          public std::enable_shared_from_this<MutexObject> {
 public:
  MutexObject() : KernelObject(ObjectKind::kMutex) {}

  bool Waitable() const override { return true; }
  bool IsSignalled(DWORD threadId) const override {
    return owner_ == 0 || owner_ == threadId;
  }
  bool Acquire(DWORD threadId) override {
    if (owner_ == threadId) {
      ++recursion_;
      return false;
    }
    // The only step that can fail comes first, so a failed wait takes nothing.
    t_owned.mutexes.push_back(weak_from_this());
    owner_ = threadId;
    recursion_ = 1;
    const bool wasAbandoned = abandoned_;
    abandoned_ = false;
    return wasAbandoned;
  }

  // False when the caller does not own it.
  bool Release(DWORD threadId) {
    if (owner_ != threadId) return false;
    if (--recursion_ == 0) {
      owner_ = 0;
      Forget();
      TheKernel().changed.notify_all();
    }
    return true;
  }

  void AbandonBy(DWORD threadId) {
    if (owner_ != threadId) return;
    owner_ = 0;
    recursion_ = 0;
    abandoned_ = true;
    TheKernel().changed.notify_all();
  }

 private:
  void Forget() {
    auto& list = t_owned.mutexes;
    list.erase(std::remove_if(list.begin(), list.end(),
                              [this](const std::weak_ptr<MutexObject>& entry) {
                                return entry.lock().get() == this;
                              }),
               list.end());
  }

  DWORD owner_ = 0;  // 0: not owned
  DWORD recursion_ = 0;
  bool abandoned_ = false;
};

}  // namespace

void AbandonMutexesOfThisThread() {
  std::vector<std::shared_ptr<MutexObject>> held;  // released after the lock
  std::lock_guard<std::mutex> guard(TheKernel().lock);
  const DWORD self = CurrentThreadId();
  for (const auto& entry : t_owned.mutexes) {
    if (auto mutex = entry.lock()) {
      mutex->AbandonBy(self);
      held.push_back(std::move(mutex));
    }
  }
  t_owned.mutexes.clear();
}

}  // namespace detail
}  // namespace hostwin

using namespace hostwin::detail;

HANDLE WINAPI CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL bInitialOwner, LPCSTR lpName) {
  return AsWindowsDoes<HANDLE>(static_cast<HANDLE>(nullptr), [&]() -> HANDLE {
    DWORD error = 0;
    if (ShouldFail("CreateMutexA", &error)) {
      SetLastError(error);
      return nullptr;
    }
    if (lpName != nullptr) {  // named objects: see CreateEventA
      SetLastError(ERROR_NOT_SUPPORTED);
      return nullptr;
    }
    auto mutex = std::make_shared<MutexObject>();
    std::lock_guard<std::mutex> guard(TheKernel().lock);
    if (bInitialOwner) mutex->Acquire(CurrentThreadId());
    HANDLE handle = InsertHandleLocked(std::move(mutex));
    SetLastError(ERROR_SUCCESS);
    return handle;
  });
}

BOOL WINAPI ReleaseMutex(HANDLE hMutex) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    std::lock_guard<std::mutex> guard(TheKernel().lock);
    auto mutex = LookupAsLocked<MutexObject>(hMutex, ObjectKind::kMutex);
    if (!mutex) return FailWith(ERROR_INVALID_HANDLE);
    if (!mutex->Release(CurrentThreadId())) return FailWith(ERROR_NOT_OWNER);
    return TRUE;
  });
}
