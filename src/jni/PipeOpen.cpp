// usbInitPipe: opens the read or the write pipe of the printer for Java.
#include <jni.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <mutex>

#include "comm/DeviceIdentity.h"
#include "comm/HandleLedger.h"
#include "comm/PipePath.h"
#include "comm/UsbComm.h"
#include "jni/JniSupport.h"
#include "jni/LastResult.h"
#include "jni/Natives.h"
#include "jni/PipeNames.h"
#include "trace/DebugTrace.h"

namespace {

struct Direction {
  const char* pipeName;
  const char* fieldName;
};

constexpr Direction kRead = {kInputPipe, "hReadPort"};
constexpr Direction kWrite = {kOutputPipe, "hWritePort"};

constexpr std::uint32_t kBufferOrder = 12;  // 4096 bytes
// The open discards what arrived before the pipe was opened. A printer that keeps sending
// would keep the buffer from ever being found empty, so the open discards at most this
// much, and waits at most this long for the worker's first read to find the printer with
// nothing more to send.
constexpr std::uint32_t kMaxDrainBytes = 2u << kBufferOrder;
constexpr DWORD kStaleBytesWaitMs = 250;
constexpr DWORD kDrainPollMs = 50;

bool IsOpen(HANDLE handle) { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }

HANDLE OpenPipePath(DWORD flags) {
  return CreateFileA(g_szPipePath, GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
}

// A handle that works: open, and not one whose device has reported its removal.
bool Works(HANDLE handle) { return IsOpen(handle) && !TheHandleLedger().IsGone(handle); }

// Discards what the printer had sent before the open. The bytes it had queued reach the
// buffer with the worker's first reads, after the open has begun, so the open waits (with a
// bound) until a read has found the printer with nothing more to send, the worker has ended,
// or the bound has run out, and throws away what the buffer holds by then. Each discard
// makes room, and a worker that waited for room reads on.
void DiscardStaleBytes(HANDLE workerDone) {
  const DWORD started = GetTickCount();
  const HANDLE caughtUp = g_UsbComm.m_hCaughtUpEvent.load();
  const HANDLE dataEvent = g_UsbComm.m_hPCLSDataEvent.load();
  std::uint32_t drained = 0;
  for (;;) {
    const bool done = WaitForSingleObject(caughtUp, 0) == WAIT_OBJECT_0 ||
                      WaitForSingleObject(workerDone, 0) == WAIT_OBJECT_0;
    ResetEvent(dataEvent);
    drained += g_UsbComm.DiscardReceived(kMaxDrainBytes - drained);
    const DWORD waited = GetTickCount() - started;
    if (done || drained >= kMaxDrainBytes || waited >= kStaleBytesWaitMs) break;
    const HANDLE waitSet[3] = {caughtUp, workerDone, dataEvent};
    const DWORD left = kStaleBytesWaitMs - waited;
    WaitForMultipleObjects(3, waitSet, FALSE, left < kDrainPollMs ? left : kDrainPollMs);
  }
  if (drained > 0) {
    DebugTraceFormat("usbInitPipe", "Discarded %u bytes received before the open",
                     static_cast<unsigned>(drained));
  }
}

// Creates one of the pipeline's events into its member; false (traced as `name` when given)
// when it cannot be made.
bool CreatePipelineEvent(std::atomic<HANDLE>& member, BOOL manualReset, const char* name) {
  const HANDLE event = CreateEventA(nullptr, manualReset, FALSE, nullptr);
  if (event == nullptr) {
    if (name != nullptr) DebugTraceError("usbInitPipe", name);
    return false;
  }
  member = event;
  return true;
}

// Printer Class read pipe: the overlapped read handle, the events, the ring buffer and the
// worker thread. INVALID_HANDLE_VALUE when a step failed; what the steps before made is
// then still in the port object.
HANDLE MakeReadPipeline() {
  DebugTrace("usbInitPipe", "...Called Read Create File");
  const HANDLE readPort = OpenPipePath(FILE_FLAG_OVERLAPPED);
  // A pipe the driver refuses makes no pipeline: a worker on it would only try to recover a
  // printer that is there, and open handles Java never asked for.
  if (readPort == INVALID_HANDLE_VALUE) return readPort;
  g_UsbComm.m_hReadPort.Replace(readPort);
  g_UsbComm.m_bReading = 0;
  g_UsbComm.SetPipelineDevice(g_szPipePath);

  if (!CreatePipelineEvent(g_UsbComm.m_QuitEvent, TRUE, "m_QuitEvent")) return INVALID_HANDLE_VALUE;
  if (!CreatePipelineEvent(g_UsbComm.m_ReadThreadTerminated, FALSE, "m_ReadThreadTerminated")) {
    return INVALID_HANDLE_VALUE;
  }
  DebugTrace("usbInitPipe", "Creating m_hPCLSDataEvent");
  if (!CreatePipelineEvent(g_UsbComm.m_hPCLSDataEvent, TRUE, nullptr) ||
      !CreatePipelineEvent(g_UsbComm.m_hWakeEvent, FALSE, nullptr) ||
      !CreatePipelineEvent(g_UsbComm.m_hCaughtUpEvent, TRUE, nullptr) ||
      !CreatePipelineEvent(g_UsbComm.m_hWorkerDone, TRUE, nullptr)) {
    return INVALID_HANDLE_VALUE;
  }

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
  HANDLE worker =
      CreateThread(nullptr, 0, _ReceiveData, &g_UsbComm, CREATE_SUSPENDED, nullptr);
  g_UsbComm.m_hWorkerThread = worker;
  if (worker == nullptr) {
    DebugTraceFormat("usbInitPipe", "CreateThread failed. Status=%d",
                     static_cast<int>(GetLastError()));
    handle = INVALID_HANDLE_VALUE;
  } else if (ResumeThread(worker) == static_cast<DWORD>(-1)) {
    // A worker left suspended would never see a stop request, and every close would wait
    // for it. Told to stop first, it is resumed once more: it then ends at once, and the
    // failed bring-up waits for it as for any worker. Only a worker that cannot be resumed
    // at all is ended from outside; it has not run a single step, so nothing is lost.
    DebugTraceFormat("usbInitPipe", "ResumeThread failed. Status=%d",
                     static_cast<int>(GetLastError()));
    SetEvent(g_UsbComm.m_QuitEvent.load());
    if (ResumeThread(worker) == static_cast<DWORD>(-1)) {
      TerminateThread(worker, 0);
      g_UsbComm.m_hWorkerThread = nullptr;
      CloseHandle(worker);
      worker = nullptr;
    }
    handle = INVALID_HANDLE_VALUE;
  } else {
    DebugTrace("usbInitPipe", "ResumeThread succeeded");
  }
  if (handle == INVALID_HANDLE_VALUE) return handle;
  const HANDLE workerDone = g_UsbComm.m_hWorkerDone.load();
  DiscardStaleBytes(workerDone);
  // A worker that has ended already (it could not make its read slot) would never deliver a
  // byte: the open fails rather than hand out such a pipe.
  if (WaitForSingleObject(workerDone, 0) == WAIT_OBJECT_0) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

// A bring-up that fails gives back at once whatever it made, its worker included: Java got
// no name for the read pipe, so nothing could ever close it, and a retried open makes a new
// one. The write handle stays; it is the write pipe's.
HANDLE BringUpReadPipeline() {
  g_UsbComm.StopLeftoverPipeline();
  const HANDLE handle = MakeReadPipeline();
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    g_UsbComm.StopLeftoverPipeline();
    g_UsbComm.m_hReadPort.Replace(nullptr);
    g_UsbComm.SetPipelineDevice("");
    SetLastError(error == ERROR_SUCCESS ? static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY) : error);
  }
  return handle;
}

// The pipeline's read handle is missing (a recovery that has not found the printer yet left
// INVALID_HANDLE_VALUE, or, for a moment, null) or its device has reported its removal. An
// open then opens the pipe afresh on the pipeline's printer, so an application that retries
// its open after a replug succeeds at once, and makes the write side work again too: reads
// working would keep the worker from ever reopening a dead write handle. The worker reads
// on whatever the member holds, and one worker is all the port ever has.
//
// The worker's recovery may change the member between the look and the install: a working
// handle it installed is kept, and the null or INVALID_HANDLE_VALUE of a recovery that has
// not found the printer is replaced by a handle this open found.
HANDLE ReopenRecoveringReadHandle(HANDLE held) {
  constexpr int kAttempts = 3;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (Works(held)) return held;  // the worker's recovery was quicker
    DebugTrace("usbInitPipe", "...Called Read Create File");
    const HANDLE opened = OpenPipePath(FILE_FLAG_OVERLAPPED);
    if (opened == INVALID_HANDLE_VALUE) {
      // Refused here, while the worker's recovery may have opened the printer meanwhile.
      const HANDLE current = g_UsbComm.m_hReadPort.Get();
      return Works(current) ? current : opened;
    }
    if (g_UsbComm.m_hReadPort.ReplaceIf(held, opened)) {
      g_UsbComm.RepairWriteHandle();
      // The worker may be pausing while the printer is away: it reads on the new handle at
      // once, so the application's first read after the open finds the printer's reply.
      g_UsbComm.PromptWorker();
      return opened;
    }
    held = g_UsbComm.m_hReadPort.Get();
  }
  return Works(held) ? held : INVALID_HANDLE_VALUE;
}

// The read handle member belongs to a Printer Class receive pipeline; on the maker's driver
// every read open makes a handle of its own, also while a pipeline of a printer that was
// served by the class driver before still waits to recover.
HANDLE OpenReadPipe() {
  if (g_UsbComm.m_nUsbType.load() != kPrinterClassUsb) {
    const HANDLE handle = OpenPipePath(0);
    DebugTrace("usbInitPipe", "IDNATIVETYPE");
    return handle;
  }
  const HANDLE held = g_UsbComm.m_hReadPort.Get();
  const bool workerRuns = g_UsbComm.m_hWorkerThread.load() != nullptr &&
                          WaitForSingleObject(g_UsbComm.m_hWorkerDone.load(), 0) == WAIT_TIMEOUT;
  if (!workerRuns) {
    // None yet, or one whose loop has ended (a failure it could not go on from): handing out
    // its read handle would give Java a pipe that never delivers a byte. A new pipeline
    // replaces what is left.
    return BringUpReadPipeline();
  }
  if (Works(held)) {
    DebugTrace("usbInitPipe", "...Just Returning handle");
    return held;
  }
  return ReopenRecoveringReadHandle(held);
}

// A write handle that a failed open or a failed recovery left as INVALID_HANDLE_VALUE, or
// whose device has reported its removal, is replaced by one opened afresh, so that the open
// succeeds as soon as the printer is back; writers on the old one finish first. Handle
// recovery on the worker thread may change the member between the look and the install: a
// handle it installed meanwhile is kept, and the open is tried once more otherwise.
HANDLE OpenWritePipe() {
  constexpr int kAttempts = 3;
  HANDLE held = g_UsbComm.m_hWritePort.Get();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (Works(held)) return held;
    const HANDLE opened = OpenPipePath(0);
    if (opened == INVALID_HANDLE_VALUE && IsOpen(held)) return opened;  // keep the old one
    if (g_UsbComm.m_hWritePort.ReplaceIf(held, opened)) {
      g_UsbComm.SetWriteDevice(g_szPipePath);
      return opened;
    }
    held = g_UsbComm.m_hWritePort.Get();
  }
  return Works(held) ? held : INVALID_HANDLE_VALUE;
}

// The int Java gets for the device handle an open produced: the name of the port's pipe, or
// a new name for a maker's driver read handle (recorded as the library's until Java closes
// it). A handle that cannot be named is closed before the failure goes on.
jint NameForJava(const Direction* direction, HANDLE handle) {
  PipeNames& names = ThePipeNames();
  if (direction == &kRead && g_UsbComm.m_nUsbType.load() != kPrinterClassUsb) {
    TheHandleLedger().Adopt(handle, HandleLedger::Role::kNativeRead);
    try {
      return names.NameNativeRead(handle);
    } catch (...) {
      TheHandleLedger().Close(handle);
      throw;
    }
  }
  return names.NameOfPortPipe(direction == &kRead ? PipeNames::Pipe::kPortRead
                                                  : PipeNames::Pipe::kPortWrite,
                              handle);
}

// While a Printer Class pipeline runs, opens stay with its printer, under whichever driver
// serves it now: the probe and the search take that printer by its identity and no other,
// and an open fails while it is away, rather than move the port to another printer that
// happens to be found first. The identity is empty when no pipeline runs.
void PipelinePrinterForOpens(DeviceIdentity& identity) {
  identity[0] = '\0';
  if (g_UsbComm.m_hWorkerThread.load() == nullptr ||
      WaitForSingleObject(g_UsbComm.m_hWorkerDone.load(), 0) != WAIT_TIMEOUT) {
    return;
  }
  g_UsbComm.CopyPipelineDevice(identity, sizeof identity);
}

jint InitPipe(JNIEnv* env, jobject holder, jint access) {
  std::lock_guard<SlimLock> serialized(PipeLifecycleLock());
  DebugTrace("usbInitPipe", "******Starting******");

  const DWORD accessValue = static_cast<DWORD>(access);
  const Direction* direction = accessValue == GENERIC_READ    ? &kRead
                               : accessValue == GENERIC_WRITE ? &kWrite
                                                              : nullptr;
  // Neither access value names a pipe or a field: nothing to open, nothing to store.
  if (direction == nullptr || holder == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }

  const jclass holderClass = env->GetObjectClass(holder);
  const jfieldID field = env->GetFieldID(holderClass, direction->fieldName, "I");
  // A holder without the field: NoSuchFieldError is pending for Java, and no JNI call may
  // follow. Nothing is opened, so nothing is left without an owner.
  if (field == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }

  // A probe that finds no printer leaves the driver kind alone: an application that retries
  // its open while the printer is unplugged must not turn a Printer Class port, whose
  // worker is waiting to recover, into a maker's driver port.
  DeviceIdentity pipelinePrinter;
  PipelinePrinterForOpens(pipelinePrinter);
  const char* wanted = pipelinePrinter[0] != '\0' ? pipelinePrinter : nullptr;
  std::int32_t kind = kNativeUsb;
  const char* outcome = nullptr;
  if (ProbeDriverKind(&kind, &outcome, wanted)) g_UsbComm.m_nUsbType = kind;
  if (!g_UsbComm.FindDevice(g_UsbComm.m_nUsbType.load(), g_szPipePath,
                            static_cast<std::int32_t>(kDeviceNameSize), wanted)) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return -1;
  }
  DebugTrace("usbInitPipe", "******Starting******");
  // The search refuses paths that leave no room for the pipe name.
  if (!AppendPipeName(g_szPipePath, kDeviceNameSize, direction->pipeName)) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return -1;
  }

  const HANDLE handle = direction == &kRead ? OpenReadPipe() : OpenWritePipe();
  if (!IsOpen(handle)) {
    if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_FILE_NOT_FOUND);
    return -1;
  }
  const jint name = NameForJava(direction, handle);
  DebugTraceFormat("usbInitPipe", "Pipe %d is device handle %p", static_cast<int>(name), handle);
  env->SetIntField(holder, field, name);
  SetLastError(ERROR_SUCCESS);
  return g_UsbComm.m_nUsbType.load();
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbInitPipe(JNIEnv* env,
                                                                             jobject,
                                                                             jobject holder,
                                                                             jint access) {
  const jint result =
      AtJavaBoundary<jint>("usbInitPipe", -1, [&] { return InitPipe(env, holder, access); });
  return Kept(result, result >= 0);
}
