// Internal state shared by the stand-in's sources: the kernel lock, the kernel objects and
// the handle table that names them.
//
// Locking contract: one kernel mutex guards every kernel object's state (event flags, mutex
// owners, thread states, pending reads, the OVERLAPPED fields hostwin writes) and the handle
// table. Every state change that a waiter could be waiting for is followed by a broadcast
// on the one condition variable. No code calls into a device, a provider or a thread start
// routine while holding the kernel lock, and no object reference that might be the last one
// is dropped under it (a file's destructor releases its device, which is outside code).
#ifndef HOSTWIN_SRC_KERNEL_H
#define HOSTWIN_SRC_KERNEL_H

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace hostwin {
namespace detail {

struct Kernel {
  std::mutex lock;
  std::condition_variable changed;  // broadcast after every state change
};

// Immortal: threads still running at process exit may use it.
Kernel& TheKernel();

enum class ObjectKind { kProcess, kEvent, kMutex, kThread, kFile, kDeviceInfoSet };

class KernelObject {
 public:
  explicit KernelObject(ObjectKind kind) : kind_(kind) {}
  virtual ~KernelObject() = default;
  KernelObject(const KernelObject&) = delete;
  KernelObject& operator=(const KernelObject&) = delete;

  ObjectKind Kind() const { return kind_; }

  // Waits. All three are called with the kernel lock held. An object that cannot be waited
  // on says so and the wait fails with ERROR_INVALID_HANDLE.
  virtual bool Waitable() const { return false; }
  virtual bool IsSignalled(DWORD threadId) const {
    (void)threadId;
    return false;
  }
  // Takes what a satisfied wait takes (an auto-reset event's signal, a mutex's ownership).
  // Returns true when the wait is to report WAIT_ABANDONED.
  virtual bool Acquire(DWORD threadId) {
    (void)threadId;
    return false;
  }

  // CloseHandle. Device info sets are not kernel handles and refuse it. OnHandleClosed runs
  // after the handle is gone, without the kernel lock (a file cancels its reads there).
  virtual bool ClosableByCloseHandle() const { return true; }
  virtual void OnHandleClosed() {}

 private:
  const ObjectKind kind_;
};

using ObjectRef = std::shared_ptr<KernelObject>;

// Handle table. Values are multiples of 4 in [4, 2^31). A closed handle's value is handed
// out again by the next insertion, most recently freed first, as Windows and Wine do.
// The *Locked functions need the kernel lock.
HANDLE InsertHandleLocked(ObjectRef object);
HANDLE InsertHandle(ObjectRef object);  // takes the lock itself
// Null for an unknown handle. INVALID_HANDLE_VALUE is, as on Windows, the pseudo-handle of
// the current process: waitable, never signalled, not in the table, closing it does nothing.
ObjectRef LookupLocked(HANDLE handle);
ObjectRef Lookup(HANDLE handle);
// Removes the handle and returns its object, or null when unknown.
ObjectRef RemoveLocked(HANDLE handle);

// The calling thread's id; threads that hostwin did not start get one on first use.
DWORD CurrentThreadId();

// Fault injection: true when the next call of `function` is to fail; the error to report
// is then in *error. One relaxed atomic load when nothing is armed.
bool ShouldFail(const char* function, DWORD* error);

// Looks up a handle and casts it to the object type of `kind`, or returns null.
template <typename T>
std::shared_ptr<T> LookupAsLocked(HANDLE handle, ObjectKind kind) {
  ObjectRef object = LookupLocked(handle);
  if (!object || object->Kind() != kind) return nullptr;
  return std::static_pointer_cast<T>(object);
}

// Events: the file code sets and resets the event of an OVERLAPPED (kernel lock held).
class EventObject;
std::shared_ptr<EventObject> LookupEventLocked(HANDLE handle);
void SetEventLocked(EventObject& event);
void ResetEventLocked(EventObject& event);

// The installed device provider, or null.
}  // namespace detail
class DeviceProvider;
namespace detail {
DeviceProvider* CurrentProvider();

// Files: cancels the calling thread's pending reads, as Windows does when a thread ends.
// Called at the end of a thread that hostwin started, and from a thread-local destructor
// for the others.
void CancelReadsOfThisThread();
// Cancels them and waits, at most `limit`, until none is pending any more.
void CancelAndAwaitReadsOfThisThread(std::chrono::milliseconds limit);

// Mutexes: called at the exit of a thread that hostwin started, before its handle is
// signalled, so that a waiter woken by the thread's end finds its mutexes abandoned.
void AbandonMutexesOfThisThread();

}  // namespace detail
}  // namespace hostwin

#endif  // HOSTWIN_SRC_KERNEL_H
