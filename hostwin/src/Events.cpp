// Events, manual and auto reset.
#include "AsWindowsDoes.h"
#include "Kernel.h"
#include "LastError.h"

namespace hostwin {
namespace detail {

// State guarded by the kernel lock.
class EventObject final : public KernelObject {
 public:
  EventObject(bool manualReset, bool signalled)
      : KernelObject(ObjectKind::kEvent), manualReset_(manualReset), signalled_(signalled) {}

  bool Waitable() const override { return true; }
  bool IsSignalled(DWORD) const override { return signalled_; }
  bool Acquire(DWORD) override {
    if (!manualReset_) signalled_ = false;  // an auto-reset event wakes exactly one wait
    return false;
  }

  void Set() { signalled_ = true; }
  void Reset() { signalled_ = false; }

 private:
  const bool manualReset_;
  bool signalled_;
};

std::shared_ptr<EventObject> LookupEventLocked(HANDLE handle) {
  return LookupAsLocked<EventObject>(handle, ObjectKind::kEvent);
}

void SetEventLocked(EventObject& event) {
  event.Set();
  TheKernel().changed.notify_all();
}

void ResetEventLocked(EventObject& event) { event.Reset(); }

}  // namespace detail
}  // namespace hostwin

using namespace hostwin::detail;

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState,
                           LPCSTR lpName) {
  return AsWindowsDoes<HANDLE>(static_cast<HANDLE>(nullptr), [&]() -> HANDLE {
    DWORD error = 0;
    if (ShouldFail("CreateEventA", &error)) {
      SetLastError(error);
      return nullptr;
    }
    // Named objects are shared between processes on Windows; nothing here needs one.
    if (lpName != nullptr) {
      SetLastError(ERROR_NOT_SUPPORTED);
      return nullptr;
    }
    HANDLE handle =
        InsertHandle(std::make_shared<EventObject>(bManualReset != FALSE, bInitialState != FALSE));
    SetLastError(ERROR_SUCCESS);  // as Windows does for a newly created object
    return handle;
  });
}

BOOL WINAPI SetEvent(HANDLE hEvent) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    DWORD error = 0;
    if (ShouldFail("SetEvent", &error)) return FailWith(error);
    std::shared_ptr<EventObject> event;
    std::lock_guard<std::mutex> guard(TheKernel().lock);
    event = LookupEventLocked(hEvent);
    if (!event) return FailWith(ERROR_INVALID_HANDLE);
    SetEventLocked(*event);
    return TRUE;
  });
}

BOOL WINAPI ResetEvent(HANDLE hEvent) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    DWORD error = 0;
    if (ShouldFail("ResetEvent", &error)) return FailWith(error);
    std::lock_guard<std::mutex> guard(TheKernel().lock);
    std::shared_ptr<EventObject> event = LookupEventLocked(hEvent);
    if (!event) return FailWith(ERROR_INVALID_HANDLE);
    ResetEventLocked(*event);
    return TRUE;
  });
}
