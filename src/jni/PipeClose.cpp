// usbClosePipe: closes a pipe that usbInitPipe gave to Java.
#include <jni.h>
#include <windows.h>

#include <mutex>

#include "comm/HandleLedger.h"
#include "comm/UsbComm.h"
#include "jni/JniSupport.h"
#include "jni/LastResult.h"
#include "jni/Natives.h"
#include "jni/PipeNames.h"
#include "trace/DebugTrace.h"

namespace {

// How long a close keeps cancelling the reads that still wait on a maker's driver read
// handle, and how often it looks whether they have left.
constexpr int kCancelAttempts = 100;
constexpr DWORD kCancelAgainMs = 10;

jint Refused() {
  SetLastError(ERROR_INVALID_HANDLE);
  return ERROR_INVALID_HANDLE;
}

// A maker's driver read handle of Java's own is closed alone. A read that waits on it in the
// driver (with timeouts that wait for ever) would keep it open, and the pipe unusable, for
// good: the close cancels it, every thread's, while it still holds a use of the handle, so
// that the cancel can never reach a value Windows has handed to someone else; the handle is
// closed when its last user leaves. A reader that had taken the handle but not yet begun its
// read is cancelled once its read has begun.
jint CloseNativeRead(jint name, HANDLE device) {
  // The name was live, and only a close (which holds the lifecycle lock) ends one: the use
  // is always granted.
  ThePipeNames().Retire(name);
  LedgerUse use(device);
  TheHandleLedger().Close(device);
  for (int attempt = 0; attempt < kCancelAttempts && TheHandleLedger().UsersOf(device) > 1;
       ++attempt) {
    CancelIoEx(device, nullptr);
    Sleep(kCancelAgainMs);
  }
  return 0;
}

// The maker's driver: the pipe named is closed alone, and its member emptied so that the
// next open makes a new one. A write still using the handle keeps it open until it returns.
jint ClosePortPipeAlone(jint name, const PipeNames::Entry& entry) {
  SharedHandle& member = entry.pipe == PipeNames::Pipe::kPortWrite ? g_UsbComm.m_hWritePort
                                                                    : g_UsbComm.m_hReadPort;
  ThePipeNames().Retire(name);
  if (entry.pipe == PipeNames::Pipe::kPortWrite) g_UsbComm.SetWriteDevice("");
  // A member left as INVALID_HANDLE_VALUE by a failed open holds nothing to close.
  const HANDLE handle = member.Get();
  if (member.Forget(handle)) TheHandleLedger().Close(handle);
  return 0;
}

jint ClosePipe(jint name) {
  std::lock_guard<SlimLock> serialized(PipeLifecycleLock());
  DebugTrace("usbClosePipe", "Entry");
  PipeNames::Entry entry{};
  const bool named = ThePipeNames().Find(name, &entry);
  if (named && entry.pipe == PipeNames::Pipe::kNativeRead) {
    DebugTrace("usbClosePipe", "?????");
    return CloseNativeRead(name, entry.device);
  }
  if (g_UsbComm.m_nUsbType.load() != kPrinterClassUsb && !g_UsbComm.HasReceivePipeline()) {
    DebugTrace("usbClosePipe", "?????");
    return named ? ClosePortPipeAlone(name, entry) : Refused();
  }
  // Printer Class: a name of the port's pipes ends the whole session, whichever pipe it
  // names; the match texts when its device handle is still the one it was given with, the
  // differ texts when recovery has replaced it since. A name of a session that was closed,
  // or no name at all, ends nothing.
  if (!named) return Refused();
  const SharedHandle& member = entry.pipe == PipeNames::Pipe::kPortWrite ? g_UsbComm.m_hWritePort
                                                                          : g_UsbComm.m_hReadPort;
  const bool match = member.Get() == entry.device;
  const jint result = g_UsbComm.TearDownReceivePipeline(match);
  if (result == 0) ThePipeNames().RetirePortPipes();
  DebugTrace("usbClosePipe", "Exit");
  return result;
}

}  // namespace

// The Printer Class branch is taken for that driver kind, and also whenever a receive
// pipeline exists: a pipeline must never be left running without a close that stops it.
extern "C" JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbClosePipe(JNIEnv*, jobject,
                                                                              jint handle) {
  const jint result =
      AtJavaBoundary<jint>("usbClosePipe", kOwnFailureCode, [&] { return ClosePipe(handle); });
  return Kept(result, result == 0);
}
