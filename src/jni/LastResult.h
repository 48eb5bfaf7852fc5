// What usbGetLastError answers: the outcome of the calling thread's last call into the
// library, 0 when it succeeded, otherwise the Win32 code of its failure. The library keeps
// it in a thread-local slot of its own as each native returns, because the thread's Win32
// last-error value may be changed by whatever the virtual machine runs on that thread
// between two native calls.
#ifndef VANTORY_JNI_LASTRESULT_H
#define VANTORY_JNI_LASTRESULT_H

#include <windows.h>

// Keeps `code` as the thread's last result, and sets the thread's last error to it.
void KeepLastResult(DWORD code);
// The thread's last result; before its first call into the library, its last error.
DWORD KeptLastResult();

// Keeps 0 for a call that succeeded and the thread's last error for one that failed, and
// passes the call's result on.
template <typename Result>
Result Kept(Result result, bool succeeded) {
  KeepLastResult(succeeded ? 0 : GetLastError());
  return result;
}

// For the calls that answer with a Win32 code (0 for success): keeps it and passes it on.
template <typename Result>
Result KeepResult(Result code) {
  KeepLastResult(static_cast<DWORD>(code));
  return code;
}

#endif  // VANTORY_JNI_LASTRESULT_H
