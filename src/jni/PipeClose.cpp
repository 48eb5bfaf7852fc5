// usbClosePipe: closes a pipe handle that usbInitPipe gave to Java.
#include <jni.h>
#include <windows.h>

#include <mutex>

#include "comm/HandleLedger.h"
#include "comm/UsbComm.h"
#include "jni/JniSupport.h"
#include "jni/Natives.h"
#include "trace/DebugTrace.h"

namespace {

// The maker's driver: only the handle passed is closed, and a member that held it is
// emptied so that the next open makes a new one. Only a handle the library handed out and
// has not closed since is closed: a second close, or any other value, may name an object
// that is not ours by now and is refused. A write still using the handle keeps it open
// until it returns.
jint CloseNativeHandle(HANDLE handle) {
  DebugTrace("usbClosePipe", "?????");
  if (TheHandleLedger().Holds(handle, HandleLedger::Role::kPortMember) &&
      !g_UsbComm.m_hWritePort.Forget(handle)) {
    g_UsbComm.m_hReadPort.Forget(handle);
  }
  if (TheHandleLedger().Close(handle)) return 0;
  SetLastError(ERROR_INVALID_HANDLE);
  return ERROR_INVALID_HANDLE;
}

jint ClosePipe(jint handle) {
  std::lock_guard<SlimLock> serialized(PipeLifecycleLock());
  DebugTrace("usbClosePipe", "Entry");
  const HANDLE passed = HandleFromJava(handle);
  // A maker's driver read handle is closed alone, whatever kind the port has become since.
  if (TheHandleLedger().Holds(passed, HandleLedger::Role::kNativeRead) ||
      (g_UsbComm.m_nUsbType.load() != kPrinterClassUsb && !g_UsbComm.HasReceivePipeline())) {
    return CloseNativeHandle(passed);
  }
  const bool match = passed == g_UsbComm.m_hReadPort.Get() || passed == g_UsbComm.m_hWritePort.Get();
  const jint result = g_UsbComm.TearDownReceivePipeline(match);
  DebugTrace("usbClosePipe", "Exit");
  return result;
}

}  // namespace

// The Printer Class branch is taken for that driver kind, and also whenever a receive
// pipeline exists: a pipeline must never be left running without a close that stops it.
extern "C" JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbClosePipe(JNIEnv*, jobject,
                                                                              jint handle) {
  return AtJavaBoundary<jint>("usbClosePipe", kOwnFailureCode, [&] { return ClosePipe(handle); });
}
