// The calling thread's last-error value, and the usual way a failing call reports.
#ifndef HOSTWIN_SRC_LASTERROR_H
#define HOSTWIN_SRC_LASTERROR_H

#include <windows.h>

namespace hostwin {
namespace detail {

// Sets the last error and returns FALSE, for the many calls that fail that way.
inline BOOL FailWith(DWORD error) {
  SetLastError(error);
  return FALSE;
}

}  // namespace detail
}  // namespace hostwin

#endif  // HOSTWIN_SRC_LASTERROR_H
