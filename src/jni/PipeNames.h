// PipeNames: the ints that Java holds for pipes.
//
// Java keeps a pipe as a plain int and passes it back to every call, also after the pipe is
// closed: a second close, a late close from an old receipt job, a value held across a
// replug. Windows hands a closed handle's value out again at once, so raw handle values
// would let such a call reach whatever pipe now has that value. The ints Java gets are
// therefore names the library gives: positive, never 0 or -1, and never given again once
// closed (they run through more than two billion values before they start over, skipping
// any still in use). A name says which pipe it stands for: the port's read or write pipe,
// which keep their names while recovery replaces the device handles under them, or one
// maker's driver read handle that Java reads on directly.
//
// Thread safety: every function may be called from any thread; one short lock guards the
// table and is never held across a system call.
#ifndef VANTORY_JNI_PIPENAMES_H
#define VANTORY_JNI_PIPENAMES_H

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <vector>

#include "comm/SlimLock.h"

class PipeNames {
 public:
  enum class Pipe {
    kPortRead,    // the port's read pipe (the Printer Class receive pipeline's)
    kPortWrite,   // the port's write pipe
    kNativeRead,  // one maker's driver read handle of Java's own
  };
  struct Entry {
    std::int32_t name;
    Pipe pipe;
    HANDLE device;  // a native read's handle; for a port pipe, its handle when named
  };

  PipeNames() = default;
  PipeNames(const PipeNames&) = delete;
  PipeNames& operator=(const PipeNames&) = delete;

  // The name of the port's read or write pipe, made (noting `device`) when it has none.
  // Throws std::bad_alloc when a new name cannot be recorded.
  std::int32_t NameOfPortPipe(Pipe pipe, HANDLE device);
  // A new name for a maker's driver read handle. Throws std::bad_alloc.
  std::int32_t NameNativeRead(HANDLE device);

  // False when `name` names nothing now.
  bool Find(std::int32_t name, Entry* entry) const;
  // Runs `use(entry)` while `name` is held live (no Retire can come between the look and
  // what `use` does); false, without running it, when `name` names nothing. `use` may take
  // the locks of the port's handles and of the handle ledger, never this table's.
  template <typename Use>
  bool WithEntry(std::int32_t name, Use&& use) const {
    std::lock_guard<SlimLock> guard(m_lock);
    const Entry* found = FindLocked(name);
    if (found == nullptr) return false;
    use(*found);
    return true;
  }
  // Ends a name; false when it named nothing.
  bool Retire(std::int32_t name);
  // Ends the names of the port's read and write pipes, whichever exist.
  void RetirePortPipes();

 private:
  std::int32_t NewNameLocked();
  const Entry* FindLocked(std::int32_t name) const;
  const Entry* FindPortPipeLocked(Pipe pipe) const;

  mutable SlimLock m_lock;
  std::vector<Entry> m_entries;  // guarded by m_lock
  std::int32_t m_nLastName = 0;  // guarded by m_lock
};

// The one table of the process, made while the library loads and never destroyed.
PipeNames& ThePipeNames();

#endif  // VANTORY_JNI_PIPENAMES_H
