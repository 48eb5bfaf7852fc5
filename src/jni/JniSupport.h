// What every native shares: how a trace shows the int Java passes, and the lock
// that keeps opening and closing calls on different Java threads from overlapping.
#ifndef VANTORY_JNI_JNISUPPORT_H
#define VANTORY_JNI_JNISUPPORT_H

#include <jni.h>
#include <windows.h>

#include <cstdint>
#include <mutex>
#include <new>

#include "comm/SlimLock.h"

#include "trace/DebugTrace.h"

// A Java int as a trace prints a handle: the name Java holds (PipeNames.h) in the shape of a
// pointer, sign-extended in a 64-bit process.
inline HANDLE HandleFromJava(jint value) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(value));
}

// Held for the whole of usbInitPipe and usbClosePipe, so that no open builds or opens a path
// that another call is rewriting, and no close tears down what an open is bringing up. No
// read, write or worker ever takes it.
SlimLock& PipeLifecycleLock();

// Runs a native's body so that no C++ exception crosses into the virtual machine, where it
// would end the process: a failed lock or allocation becomes the native's documented failure
// result instead.
template <typename Result, typename Body>
Result AtJavaBoundary(const char* tag, Result failure, Body&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    DebugTrace(tag, "Out of memory");
  } catch (...) {
    DebugTrace(tag, "Unexpected failure");
  }
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return failure;
}

// What a native that answers with a Win32 error code reports for a failure of its own.
constexpr jint kOwnFailureCode = ERROR_NOT_ENOUGH_MEMORY;

#endif  // VANTORY_JNI_JNISUPPORT_H
