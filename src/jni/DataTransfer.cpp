// usbReadInputPipe and usbWriteOutputPipe: bytes from and to the printer.
#include <jni.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "comm/UsbComm.h"
#include "jni/JniSupport.h"
#include "jni/Natives.h"
#include "trace/DebugTrace.h"

namespace {

// Each call formats its summary in a buffer of its own, so a read and a write on two
// threads never garble each other's line.
constexpr std::size_t kSummarySize = sizeof g_szTraceLine;

// A write that the driver accepts without taking a single byte.
constexpr DWORD kNoWriteProgress = ERROR_WRITE_FAULT;

// The first received byte as the summary shows it: a signed byte widened to 32 bits, so
// 0xC3 reads ffffffc3. Without a received byte it shows 0.
unsigned FirstByteForSummary(const BYTE* bytes, DWORD count) {
  if (count == 0) return 0;
  return static_cast<unsigned>(static_cast<int>(static_cast<signed char>(bytes[0])));
}

BOOL ReadFromReceiveBuffer(BYTE* buffer, jsize size, DWORD* count) {
  BOOL result = FALSE;
  for (;;) {
    DebugTrace("usbReadInputPipe", "Entering GetPCLSData");
    std::uint32_t taken = 0;
    result = g_UsbComm.GetPCLSData(buffer, size, &taken, 100);
    DebugTrace("usbReadInputPipe", "Left GetPCLSData");
    *count = taken;
    if (!result) {
      DebugTrace("usbReadInputPipe", "GetPCLSData: 0 return");
      DebugTraceError("usbReadInputPipe", "GetPCLSData");
      return FALSE;
    }
    if (taken != 0) return TRUE;
  }
}

// Writes every byte: a driver that takes fewer bytes than it was given is handed the rest,
// and one that takes none fails the write instead of dropping the remainder silently.
BOOL WriteAll(const BYTE* data, DWORD size, DWORD* written, DWORD* error) {
  SharedHandleUse port(g_UsbComm.m_hWritePort);
  *written = 0;
  do {
    DWORD step = 0;
    if (!WriteFile(port.get(), data + *written, size - *written, &step, nullptr)) {
      *error = GetLastError();
      return FALSE;
    }
    if (step == 0 && size != 0) {
      *error = kNoWriteProgress;
      return FALSE;
    }
    *written += step;
  } while (*written < size);
  return TRUE;
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbReadInputPipe(
    JNIEnv* env, jobject, jint handle, jbyteArray data) {
  const jsize size = env->GetArrayLength(data);
  BYTE* buffer = static_cast<BYTE*>(
      HeapAlloc(GetProcessHeap(), 0, size > 0 ? static_cast<SIZE_T>(size) : 1));
  DebugTraceFormat("usbReadInputPipe", "Entering usbReadInputPipe, nData=%d",
                   static_cast<int>(size));
  if (buffer == nullptr) {
    DebugTrace("usbReadInputPipe", "No memory for the receive buffer");
    return -1;
  }

  DWORD count = 0;
  BOOL result = FALSE;
  if (g_UsbComm.m_nUsbType.load() == kPrinterClassUsb) {
    result = ReadFromReceiveBuffer(buffer, size, &count);
  } else {
    DebugTrace("usbReadInputPipe", "Entering ReadFile (Nat)");
    result = ReadFile(HandleFromJava(handle), buffer, static_cast<DWORD>(size), &count, nullptr);
    DebugTrace("usbReadInputPipe", "Left ReadFile (Nat)");
  }
  if (!result) count = 0;

  char summary[kSummarySize];
  std::snprintf(summary, sizeof summary,
                "READ:  nHandle=%p, nData=%i, bData[0]=%x nCount=%d bResult=%d",
                HandleFromJava(handle), static_cast<int>(size), FirstByteForSummary(buffer, count),
                static_cast<int>(count), result ? 1 : 0);
  DebugTrace("usbReadInputPipe", summary);

  if (result && count > 0) {
    DebugTrace("usbReadInputPipe", "Case 1");
    env->SetByteArrayRegion(data, 0, static_cast<jsize>(count), reinterpret_cast<jbyte*>(buffer));
  } else {
    DebugTrace("usbReadInputPipe", "Case 2");
  }
  HeapFree(GetProcessHeap(), 0, buffer);
  DebugTrace("usbReadInputPipe", "Leaving usbReadInputPipe");
  return result ? static_cast<jint>(count) : -1;
}

extern "C" JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbWriteOutputPipe(
    JNIEnv* env, jobject, jint handle, jbyteArray data) {
  const jsize size = env->GetArrayLength(data);
  jbyte* elements = env->GetByteArrayElements(data, nullptr);
  if (elements == nullptr) {
    // The virtual machine could not hand out the elements (OutOfMemoryError is pending).
    DebugTrace("usbWriteOutputPipe", "No array elements");
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  DebugTrace("usbWriteOutputPipe", "Entering Writefile");
  const BYTE* bytes = reinterpret_cast<const BYTE*>(elements);
  DWORD written = 0;
  DWORD error = ERROR_SUCCESS;
  const BOOL result = WriteAll(bytes, static_cast<DWORD>(size), &written, &error);

  char summary[kSummarySize];
  std::snprintf(summary, sizeof summary,
                "WRITE: nHandle = %i, outputData = %i, nData = %i, nWritten = %ld",
                static_cast<int>(handle),
                static_cast<int>(reinterpret_cast<std::intptr_t>(elements)),
                static_cast<int>(size), static_cast<long>(written));
  if (size < 32) DumpBytes("WRITE", bytes, static_cast<int>(size), 12);
  DebugTrace("usbWriteOutputPipe", summary);
  DebugTrace("usbWriteOutputPipe", "Left Writefile");

  env->ReleaseByteArrayElements(data, elements, 0);
  DebugTrace("usbWriteOutputPipe", "After ReleaseByteArrayElements");
  return result ? 0 : static_cast<jint>(error);
}
