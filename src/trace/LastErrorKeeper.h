// Restores the thread's last-error value when it goes out of scope, so that diagnostics
// never overwrite the error that the caller is about to report.
#ifndef VANTORY_TRACE_LASTERRORKEEPER_H
#define VANTORY_TRACE_LASTERRORKEEPER_H

#include <windows.h>

class LastErrorKeeper {
 public:
  LastErrorKeeper() : m_dwSaved(GetLastError()) {}
  ~LastErrorKeeper() { SetLastError(m_dwSaved); }
  LastErrorKeeper(const LastErrorKeeper&) = delete;
  LastErrorKeeper& operator=(const LastErrorKeeper&) = delete;

  DWORD Saved() const { return m_dwSaved; }

 private:
  DWORD m_dwSaved;
};

#endif  // VANTORY_TRACE_LASTERRORKEEPER_H
