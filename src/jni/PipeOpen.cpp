// usbInitPipe: opens the read or the write pipe of the printer for Java.
#include <jni.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <mutex>

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

// Discards what the worker already stored: the read pipe starts with an empty buffer.
void DrainReceivedBytes() {
  BYTE scratch[kDrainChunk];
  std::uint32_t drained = 0;
  while (g_UsbComm.BytesAvailable() != 0 && drained < kMaxDrainBytes) {
    std::uint32_t count = 0;
    if (g_UsbComm.GetPCLSData(scratch, kDrainChunk, &count, 100)) drained += count;
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
  if (worker != nullptr) {
    ResumeThread(worker);
    DebugTrace("usbInitPipe", "ResumeThread succeeded");
  } else {
    DebugTraceFormat("usbInitPipe", "CreateThread failed. Status=%d",
                     static_cast<int>(GetLastError()));
    handle = INVALID_HANDLE_VALUE;
  }
  DrainReceivedBytes();
  return handle;
}

HANDLE OpenReadPipe() {
  const HANDLE held = g_UsbComm.m_hReadPort.Get();
  if (held != nullptr) {
    DebugTrace("usbInitPipe", "...Just Returning handle");
    return held;
  }
  if (g_UsbComm.m_nUsbType.load() == kPrinterClassUsb) return BringUpReadPipeline();
  // The maker's driver: Java reads on this handle directly; the port object keeps none.
  const HANDLE handle = OpenPipePath(0);
  DebugTrace("usbInitPipe", "IDNATIVETYPE");
  return handle;
}

HANDLE OpenWritePipe() {
  const HANDLE held = g_UsbComm.m_hWritePort.Get();
  if (held != nullptr) return held;
  const HANDLE opened = OpenPipePath(0);
  // Handle recovery on the worker thread may have installed one meanwhile: keep that one.
  if (g_UsbComm.m_hWritePort.InstallIfEmpty(opened)) return opened;
  if (opened != INVALID_HANDLE_VALUE) CloseHandle(opened);
  return g_UsbComm.m_hWritePort.Get();
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbInitPipe(JNIEnv* env,
                                                                             jobject,
                                                                             jobject holder,
                                                                             jint access) {
  std::lock_guard<std::mutex> serialized(PipeLifecycleLock());
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

  char probeText[kDeviceNameSize];
  g_UsbComm.m_nUsbType = DetectUsbType(probeText, static_cast<std::int32_t>(sizeof probeText));
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
