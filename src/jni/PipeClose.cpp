// usbClosePipe: closes a pipe handle that usbInitPipe gave to Java.
#include <jni.h>
#include <windows.h>

#include <mutex>

#include "comm/UsbComm.h"
#include "jni/JniSupport.h"
#include "jni/Natives.h"
#include "trace/DebugTrace.h"

namespace {

// The maker's driver: only the handle passed is closed, and a member that held it is
// emptied so that the next open makes a new one. A write still using it keeps it open until
// it returns.
jint CloseNativeHandle(HANDLE handle) {
  DebugTrace("usbClosePipe", "?????");
  SharedHandle::Detached detached = g_UsbComm.m_hWritePort.Detach(handle);
  if (detached == SharedHandle::Detached::kNotHeld) detached = g_UsbComm.m_hReadPort.Detach(handle);
  if (detached == SharedHandle::Detached::kLastUserCloses) return 0;
  if (CloseHandle(handle)) return 0;
  return static_cast<jint>(GetLastError());
}

}  // namespace

// The Printer Class branch is taken for that driver kind, and also whenever a receive
// pipeline exists: the driver kind is probed again on every open, and a probe that found no
// printer must not leave a worker running that no close would ever stop.
extern "C" JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbClosePipe(JNIEnv*, jobject,
                                                                              jint handle) {
  std::lock_guard<std::mutex> serialized(PipeLifecycleLock());
  DebugTrace("usbClosePipe", "Entry");
  const HANDLE passed = HandleFromJava(handle);
  if (g_UsbComm.m_nUsbType.load() != kPrinterClassUsb && !g_UsbComm.HasReceivePipeline()) {
    return CloseNativeHandle(passed);
  }
  const bool match = passed == g_UsbComm.m_hReadPort.Get() || passed == g_UsbComm.m_hWritePort.Get();
  const jint result = g_UsbComm.TearDownReceivePipeline(match);
  DebugTrace("usbClosePipe", "Exit");
  return result;
}
