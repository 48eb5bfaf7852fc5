// usbInitPipe: opens the read or the write pipe of the printer for Java.
#include <jni.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <mutex>

#include "comm/HandleLedger.h"
#include "comm/PipePath.h"
#include "comm/UsbComm.h"
#include "jni/JniSupport.h"
#include "jni/Natives.h"
#include "trace/DebugTrace.h"

namespace {

struct Direction {
  const char* pipeName;
  const char* fieldName;
};

constexpr Direction kRead = {kInputPipe, "hReadPort"};
constexpr Direction kWrite = {kOutputPipe, "hWritePort"};

constexpr std::uint32_t kBufferOrder = 12;  // 4096 bytes
constexpr std::int32_t kDrainChunk = 63;
// The drain discards what arrived before the pipe was opened. A printer that keeps sending
// would keep the buffer from ever being found empty, so the drain takes at most this much.
constexpr std::uint32_t kMaxDrainBytes = 2u << kBufferOrder;

HANDLE OpenPipePath(DWORD flags) {
  return CreateFileA(g_szPipePath, GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
}

// Discards what the worker already stored: the read pipe starts with an empty buffer. A take
// that fails (its event cannot be reset) ends the drain, which would otherwise go round for
// as long as the bytes stay.
void DrainReceivedBytes() {
  BYTE scratch[kDrainChunk];
  std::uint32_t drained = 0;
  while (g_UsbComm.BytesAvailable() != 0 && drained < kMaxDrainBytes) {
    std::uint32_t count = 0;
    if (!g_UsbComm.GetPCLSData(scratch, kDrainChunk, &count, 100)) break;
    drained += count;
  }
}

// Printer Class read pipe: the overlapped read handle, the three events, the ring buffer
// and the worker thread. What a failed step leaves is released by the next close.
HANDLE BringUpReadPipeline() {
  g_UsbComm.StopLeftoverPipeline();

  DebugTrace("usbInitPipe", "...Called Read Create File");
  const HANDLE readPort = OpenPipePath(FILE_FLAG_OVERLAPPED);
  g_UsbComm.m_hReadPort.Replace(readPort);
  g_UsbComm.m_bReading = 0;

  const HANDLE quit = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (quit == nullptr) {
    DebugTraceError("usbInitPipe", "m_QuitEvent");
    return INVALID_HANDLE_VALUE;
  }
  g_UsbComm.m_QuitEvent = quit;

  const HANDLE acknowledgement = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  if (acknowledgement == nullptr) {
    DebugTraceError("usbInitPipe", "m_ReadThreadTerminated");
    return INVALID_HANDLE_VALUE;
  }
  g_UsbComm.m_ReadThreadTerminated = acknowledgement;

  DebugTrace("usbInitPipe", "Creating m_hPCLSDataEvent");
  const HANDLE dataEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (dataEvent == nullptr) return INVALID_HANDLE_VALUE;
  g_UsbComm.m_hPCLSDataEvent = dataEvent;

  DebugTrace("usbInitPipe", "Creating m_pCCBuffer");
  try {
    g_UsbComm.m_pCCBuffer = new CCBuffer(kBufferOrder);
  } catch (...) {
    // No storage, no mutex, or no memory for the object itself: whatever was allocated has
    // been given back by then.
    return INVALID_HANDLE_VALUE;
  }

  DebugTrace("usbInitPipe", "*****Creating m_hWorkerThread*****");
  HANDLE handle = readPort;
  const HANDLE worker =
      CreateThread(nullptr, 0, _ReceiveData, &g_UsbComm, CREATE_SUSPENDED, nullptr);
  g_UsbComm.m_hWorkerThread = worker;
  if (worker == nullptr) {
    DebugTraceFormat("usbInitPipe", "CreateThread failed. Status=%d",
                     static_cast<int>(GetLastError()));
    handle = INVALID_HANDLE_VALUE;
  } else if (ResumeThread(worker) == static_cast<DWORD>(-1)) {
    // A worker left suspended would never see a stop request, and every close would wait
    // for it. It has not run a single step, so it can be ended safely, as if it had never
    // been made.
    DebugTraceFormat("usbInitPipe", "ResumeThread failed. Status=%d",
                     static_cast<int>(GetLastError()));
    TerminateThread(worker, 0);
    g_UsbComm.m_hWorkerThread = nullptr;
    CloseHandle(worker);
    handle = INVALID_HANDLE_VALUE;
  } else {
    DebugTrace("usbInitPipe", "ResumeThread succeeded");
  }
  DrainReceivedBytes();
  return handle;
}

// A worker whose recovery has not yet found the printer again leaves INVALID_HANDLE_VALUE
// in the read handle (or, for a moment, null). An open then tries the pipe afresh, so an
// application that retries its open after a replug succeeds at once; the worker reads on
// whatever the member holds, and one worker is all the port ever has.
HANDLE ReopenRecoveringReadHandle(HANDLE held) {
  DebugTrace("usbInitPipe", "...Called Read Create File");
  const HANDLE opened = OpenPipePath(FILE_FLAG_OVERLAPPED);
  if (opened == INVALID_HANDLE_VALUE) return opened;
  if (g_UsbComm.m_hReadPort.ReplaceIf(held, opened)) return opened;
  return g_UsbComm.m_hReadPort.Get();  // the worker's recovery was quicker
}

// The read handle member belongs to a Printer Class receive pipeline; on the maker's driver
// every read open makes a handle of its own, also while a pipeline of a printer that was
// served by the class driver before still waits to recover.
HANDLE OpenReadPipe() {
  if (g_UsbComm.m_nUsbType.load() != kPrinterClassUsb) {
    // Java reads on this handle directly; the port object keeps none, but the ledger does,
    // so that the handle is known as the library's until Java closes it.
    const HANDLE handle = OpenPipePath(0);
    DebugTrace("usbInitPipe", "IDNATIVETYPE");
    TheHandleLedger().Adopt(handle, HandleLedger::Role::kNativeRead);
    return handle;
  }
  const HANDLE held = g_UsbComm.m_hReadPort.Get();
  const bool workerRuns = g_UsbComm.m_hWorkerThread.load() != nullptr;
  if (!workerRuns) {
    // None yet, or a bring-up failed part way and left a read handle that no worker reads:
    // handing that out would give Java a pipe that never delivers a byte. A new pipeline
    // replaces what is left.
    return BringUpReadPipeline();
  }
  if (held != nullptr && held != INVALID_HANDLE_VALUE) {
    DebugTrace("usbInitPipe", "...Just Returning handle");
    return held;
  }
  return ReopenRecoveringReadHandle(held);
}

// A write handle that a failed open or a failed recovery left as INVALID_HANDLE_VALUE is
// opened afresh, so that the open succeeds as soon as the printer is back. Handle recovery
// on the worker thread may change the member between the look and the install: a handle it
// installed meanwhile is kept; one it took away (its printer is gone) leaves the member
// empty again, and the open is tried once more.
HANDLE OpenWritePipe() {
  constexpr int kAttempts = 3;
  HANDLE held = g_UsbComm.m_hWritePort.Get();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (held != nullptr && held != INVALID_HANDLE_VALUE) return held;
    const HANDLE opened = OpenPipePath(0);
    if (g_UsbComm.m_hWritePort.ReplaceIf(held, opened)) return opened;
    held = g_UsbComm.m_hWritePort.Get();
  }
  return held == nullptr ? INVALID_HANDLE_VALUE : held;
}

jint InitPipe(JNIEnv* env, jobject holder, jint access) {
  std::lock_guard<SlimLock> serialized(PipeLifecycleLock());
  DebugTrace("usbInitPipe", "******Starting******");

  const DWORD accessValue = static_cast<DWORD>(access);
  const Direction* direction = accessValue == GENERIC_READ    ? &kRead
                               : accessValue == GENERIC_WRITE ? &kWrite
                                                              : nullptr;
  // Neither access value names a pipe or a field: nothing to open, nothing to store.
  if (direction == nullptr || holder == nullptr) return -1;

  const jclass holderClass = env->GetObjectClass(holder);
  const jfieldID field = env->GetFieldID(holderClass, direction->fieldName, "I");
  // A holder without the field: NoSuchFieldError is pending for Java, and no JNI call may
  // follow. Nothing is opened, so nothing is left without an owner.
  if (field == nullptr) return -1;

  // A probe that finds no printer leaves the driver kind alone: an application that retries
  // its open while the printer is unplugged must not turn a Printer Class port, whose
  // worker is waiting to recover, into a maker's driver port.
  std::int32_t kind = kNativeUsb;
  const char* outcome = nullptr;
  if (ProbeDriverKind(&kind, &outcome)) g_UsbComm.m_nUsbType = kind;
  if (!g_UsbComm.FindDevice(g_UsbComm.m_nUsbType.load(), g_szPipePath,
                            static_cast<std::int32_t>(kDeviceNameSize))) {
    return -1;
  }
  DebugTrace("usbInitPipe", "******Starting******");
  // The search refuses paths that leave no room for the pipe name.
  if (!AppendPipeName(g_szPipePath, kDeviceNameSize, direction->pipeName)) return -1;

  const HANDLE handle = direction == &kRead ? OpenReadPipe() : OpenWritePipe();
  if (handle == INVALID_HANDLE_VALUE) return -1;
  env->SetIntField(holder, field, HandleToJava(handle));
  return g_UsbComm.m_nUsbType.load();
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbInitPipe(JNIEnv* env,
                                                                             jobject,
                                                                             jobject holder,
                                                                             jint access) {
  return AtJavaBoundary<jint>("usbInitPipe", -1, [&] { return InitPipe(env, holder, access); });
}
