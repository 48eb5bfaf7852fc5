// SharedHandle: a device handle member that writers use while the receive worker's handle
// recovery, or closing, may replace it.
//
// A writer takes the handle with Acquire and gives it back with Release after its blocking
// WriteFile has returned. Replace swaps in a new value at once; the old one is closed right
// away when nobody is using it, otherwise by the Release of its last user. So no write ever
// reaches a closed handle, and since the lock is held only for the swap and the bookkeeping,
// never across I/O, a write that stalls (a printer with its cover open) keeps neither the
// worker nor a close waiting.
#ifndef VANTORY_COMM_SHAREDHANDLE_H
#define VANTORY_COMM_SHAREDHANDLE_H

#include <windows.h>

#include <mutex>
#include <vector>

class SharedHandle {
 public:
  SharedHandle() = default;
  ~SharedHandle() = default;
  SharedHandle(const SharedHandle&) = delete;
  SharedHandle& operator=(const SharedHandle&) = delete;

  // The current value (null when none), without taking it into use.
  HANDLE Get() const;

  // The current value, kept open until the matching Release.
  HANDLE Acquire();
  void Release(HANDLE handle);

  // Installs `handle` and closes the previous value (now, or at its last Release). A null
  // previous value is not closed; INVALID_HANDLE_VALUE is handed to CloseHandle like any
  // other value, as a member holding it after a failed open always was.
  void Replace(HANDLE handle);

  // Installs `handle` only if the member is null; false (nothing changed) otherwise.
  bool InstallIfEmpty(HANDLE handle);

  // For a caller that closes `handle` itself: empties the member if it holds that value.
  enum class Detached {
    kNotHeld,          // the member holds another value; nothing changed
    kCallerCloses,     // emptied; nobody uses the handle, the caller closes it now
    kLastUserCloses,   // emptied; a writer still uses it and closes it when done
  };
  Detached Detach(HANDLE handle);

 private:
  struct InUse {
    HANDLE handle;
    int users;
    bool retired;  // replaced while in use: closed by its last user
  };

  InUse* FindLocked(HANDLE handle);

  mutable std::mutex m_lock;
  HANDLE m_hCurrent = nullptr;   // guarded by m_lock
  std::vector<InUse> m_inUse;    // guarded by m_lock; handles with at least one user
};

// Takes a SharedHandle's value into use for one scope.
class SharedHandleUse {
 public:
  explicit SharedHandleUse(SharedHandle& slot) : m_slot(slot), m_handle(slot.Acquire()) {}
  ~SharedHandleUse() { m_slot.Release(m_handle); }
  SharedHandleUse(const SharedHandleUse&) = delete;
  SharedHandleUse& operator=(const SharedHandleUse&) = delete;

  HANDLE get() const { return m_handle; }

 private:
  SharedHandle& m_slot;
  HANDLE m_handle;
};

#endif  // VANTORY_COMM_SHAREDHANDLE_H
