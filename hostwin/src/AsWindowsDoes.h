// The stand-in's own C++ allocations and locks can fail, but the Win32 calls it stands in
// for never throw: they fail with a result and a last-error value. Every entry point runs
// its body through AsWindowsDoes, so that a failure of the stand-in itself reaches the
// caller as Windows would report a shortage of memory or resources, never as an exception.
#ifndef HOSTWIN_SRC_ASWINDOWSDOES_H
#define HOSTWIN_SRC_ASWINDOWSDOES_H

#include <windows.h>

#include <new>
#include <utility>

namespace hostwin {
namespace detail {

template <typename Result, typename Body>
Result AsWindowsDoes(Result failure, Body&& body) {
  try {
    return std::forward<Body>(body)();
  } catch (const std::bad_alloc&) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  } catch (...) {
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
  }
  return failure;
}

// For the calls that report nothing (OutputDebugStringA, Sleep).
template <typename Body>
void AsWindowsDoesQuietly(Body&& body) {
  try {
    std::forward<Body>(body)();
  } catch (...) {
  }
}

}  // namespace detail
}  // namespace hostwin

#endif  // HOSTWIN_SRC_ASWINDOWSDOES_H
