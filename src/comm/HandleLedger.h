// HandleLedger: the device handles the library owns and Java may name.
//
// Java passes handle values back as plain ints: a second close, a stale value after handle
// recovery, or any int at all. Windows hands a closed handle's value out again at once, so
// such a value may name one of the JVM's own objects by now. The library therefore uses or
// closes a value that Java passes only while it is recorded here: the handles the port
// object holds (the read and the write handle) and the maker's driver read handles it gave
// to Java. Everything else is refused with ERROR_INVALID_HANDLE and left alone.
//
// Each recorded handle also counts its users. A thread that uses a handle for blocking I/O
// (a write, a read on the maker's driver, a device control) holds a use for the length of
// the call; closing it then only forgets it, and the last user's Release closes it. So no
// call ever reaches a closed handle, and a value is forgotten before it is closed, so it
// can never be taken for ours once Windows has given it to someone else.
//
// Thread safety: every function may be called from any thread; one short lock guards the
// records and is never held across a system call.
#ifndef VANTORY_COMM_HANDLELEDGER_H
#define VANTORY_COMM_HANDLELEDGER_H

#include <windows.h>

#include <vector>

#include "comm/SlimLock.h"

class HandleLedger {
 public:
  // What a recorded handle is for.
  enum class Role {
    kPortMember,  // held by the port object (read or write handle)
    kNativeRead,  // a maker's driver read handle that Java reads on directly
  };

  HandleLedger() = default;
  HandleLedger(const HandleLedger&) = delete;
  HandleLedger& operator=(const HandleLedger&) = delete;

  // Records an open handle. Null and INVALID_HANDLE_VALUE are never recorded. Throws
  // std::bad_alloc when no memory is left; the handle is then not recorded.
  void Record(HANDLE handle, Role role);
  // Records a handle that the caller hands over; when it cannot be recorded it is closed
  // before the exception goes on, so that nothing stays open without an owner.
  void Adopt(HANDLE handle, Role role);

  // Takes a recorded handle into use: false, with nothing taken, when `handle` is not a
  // recorded handle that is still open.
  bool Acquire(HANDLE handle);
  void Release(HANDLE handle);

  // Forgets `handle` and closes it, now or at the Release of its last user. False, with
  // nothing closed, when it is not recorded.
  bool Close(HANDLE handle);

  // True when `handle` is recorded, open, and has `role`.
  bool Holds(HANDLE handle, Role role) const;

  // Notes that the device behind `handle` has reported its removal (a read, write or
  // control request failed with a removal code, RemovalErrors.h): an open hands out a new
  // handle rather than this one, and recovery replaces it.
  void MarkGone(HANDLE handle);
  // True when `handle` is recorded and its device has reported its removal.
  bool IsGone(HANDLE handle) const;
  // Users of `handle` now (0 when it is not recorded).
  int UsersOf(HANDLE handle) const;

 private:
  struct Entry {
    HANDLE handle;
    Role role;
    int users;
    bool closing;  // forgotten for Java; closed by its last user
    bool gone;     // its device has reported its removal
  };

  const Entry* FindLocked(HANDLE handle) const;
  Entry* FindLocked(HANDLE handle);
  void EraseLocked(Entry* entry);

  mutable SlimLock m_lock;
  std::vector<Entry> m_entries;  // guarded by m_lock
};

// The one ledger of the process. Never destroyed: a Java thread or the worker may still use
// it while the process exits.
HandleLedger& TheHandleLedger();

// One use of a handle that Java passed, for the length of a scope.
class LedgerUse {
 public:
  explicit LedgerUse(HANDLE handle)
      : m_handle(handle), m_bAcquired(TheHandleLedger().Acquire(handle)) {}
  ~LedgerUse() {
    if (m_bAcquired) TheHandleLedger().Release(m_handle);
  }
  LedgerUse(const LedgerUse&) = delete;
  LedgerUse& operator=(const LedgerUse&) = delete;

  // False when the value is none of the library's open handles.
  bool ok() const { return m_bAcquired; }
  HANDLE get() const { return m_handle; }

 private:
  HANDLE m_handle;
  bool m_bAcquired;
};

#endif  // VANTORY_COMM_HANDLELEDGER_H
