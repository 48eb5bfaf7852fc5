// SharedHandle: a device handle member of the port object that writers use while the
// receive worker's handle recovery, or closing, may replace it.
//
// A writer takes the current handle into use for the length of its blocking WriteFile
// (SharedHandleUse). Replace swaps in a new value at once and hands the old one to the
// handle ledger, which closes it right away when nobody uses it, otherwise at the release
// of its last user. So no write ever reaches a closed handle, and since the slot's lock is
// held only for the swap, never across I/O, a write that stalls (a printer with its cover
// open) keeps neither the worker nor a close waiting. Every value a slot holds is recorded
// in the ledger (HandleLedger.h), so a handle value that Java passes back is recognised as
// the library's own exactly while a slot or a native read holds it.
#ifndef VANTORY_COMM_SHAREDHANDLE_H
#define VANTORY_COMM_SHAREDHANDLE_H

#include <windows.h>

#include "comm/SlimLock.h"

class SharedHandle {
 public:
  SharedHandle() = default;
  ~SharedHandle() = default;
  SharedHandle(const SharedHandle&) = delete;
  SharedHandle& operator=(const SharedHandle&) = delete;

  // The current value (null when none), without taking it into use.
  HANDLE Get() const;

  // The current value; *counted tells whether it was taken into use, in which case the
  // caller gives it back with TheHandleLedger().Release. Null and INVALID_HANDLE_VALUE are
  // never counted.
  HANDLE Acquire(bool* counted);

  // Takes ownership of `handle` (null and INVALID_HANDLE_VALUE allowed), installs it and
  // closes the previous value through the ledger. Throws std::bad_alloc, with `handle`
  // closed and the slot unchanged, when the ledger has no memory to record it.
  void Replace(HANDLE handle);

  // Takes ownership of `handle` and installs it only while the slot holds `expected`,
  // closing `expected` then; otherwise closes `handle` and returns false, the slot keeping
  // what another replacement put there. Throws as Replace.
  bool ReplaceIf(HANDLE expected, HANDLE handle);

  // Empties the slot if it holds `handle`; the caller then closes it through the ledger.
  bool Forget(HANDLE handle);

 private:
  mutable SlimLock m_lock;
  HANDLE m_hCurrent = nullptr;  // guarded by m_lock
};

// Takes a SharedHandle's value into use for one scope.
class SharedHandleUse {
 public:
  explicit SharedHandleUse(SharedHandle& slot) : m_handle(slot.Acquire(&m_bCounted)) {}
  ~SharedHandleUse();
  SharedHandleUse(const SharedHandleUse&) = delete;
  SharedHandleUse& operator=(const SharedHandleUse&) = delete;

  HANDLE get() const { return m_handle; }

 private:
  bool m_bCounted = false;
  HANDLE m_handle;
};

#endif  // VANTORY_COMM_SHAREDHANDLE_H
