// usbReadInputPipe and usbWriteOutputPipe: bytes from and to the printer.
#include <jni.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>

#include "comm/HandleLedger.h"
#include "comm/RemovalErrors.h"
#include "comm/UsbComm.h"
#include "jni/JniSupport.h"
#include "jni/LastResult.h"
#include "jni/NamedDevice.h"
#include "jni/Natives.h"
#include "jni/PipeNames.h"
#include "trace/DebugTrace.h"

namespace {

// Each call formats its summary in a buffer of its own, so a read and a write on two
// threads never garble each other's line.
constexpr std::size_t kSummarySize = sizeof g_szTraceLine;

// A write that the driver accepts without taking a single byte.
constexpr DWORD kNoWriteProgress = ERROR_WRITE_FAULT;

// The most a read can bring: the receive buffer's size on Printer Class, and a bound of the
// library's own on the maker's driver, where a read asks the driver for at most this much.
// Java's array may be far larger; only this much memory is taken for a read.
constexpr jsize kMostFromTheBuffer = 4096;
constexpr jsize kMostFromTheDevice = 64 * 1024;

// The first received byte as the summary shows it: a signed byte widened to 32 bits, so
// 0xC3 reads ffffffc3. Without a received byte it shows 0.
unsigned FirstByteForSummary(const BYTE* bytes, DWORD count) {
  if (count == 0) return 0;
  return static_cast<unsigned>(static_cast<int>(static_cast<signed char>(bytes[0])));
}

BOOL ReadFromReceiveBuffer(BYTE* buffer, jsize size, DWORD* count) noexcept {
  DebugTrace("usbReadInputPipe", "Entering GetPCLSData");
  std::uint32_t taken = 0;
  // Succeeds only with at least one byte taken.
  const BOOL result = g_UsbComm.GetPCLSData(buffer, size, &taken, 100);
  DebugTrace("usbReadInputPipe", "Left GetPCLSData");
  *count = taken;
  if (!result) {
    DebugTrace("usbReadInputPipe", "GetPCLSData: 0 return");
    DebugTraceError("usbReadInputPipe", "GetPCLSData");
  }
  return result;
}

// Writes every byte: a driver that takes fewer bytes than it was given is handed the rest,
// and one that takes none fails the write instead of dropping the remainder silently. A
// failure that says the printer has gone marks the handle, so that the next open, or the
// worker, replaces it.
BOOL WriteAll(const BYTE* data, DWORD size, DWORD* written, DWORD* error) noexcept {
  SharedHandleUse port(g_UsbComm.m_hWritePort);
  *written = 0;
  do {
    DWORD step = 0;
    if (!WriteFile(port.get(), data + *written, size - *written, &step, nullptr)) {
      *error = GetLastError();
      if (IsRemovalError(*error)) {
        TheHandleLedger().MarkGone(port.get());
        g_UsbComm.PromptWorker();
      }
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

// Where a read with `name` goes: to a maker's driver read handle it names; to the receive
// buffer while a receive pipeline exists or the port is a Printer Class port (the driver
// kind stored by the last probe alone may not be what is open), for a name of the port's
// pipes only; to the device otherwise.
enum class ReadSource { kDevice, kReceiveBuffer, kNothing };

ReadSource SourceOfRead(jint name) noexcept {
  PipeNames::Entry entry{};
  const bool named = ThePipeNames().Find(name, &entry);
  if (named && entry.pipe == PipeNames::Pipe::kNativeRead) return ReadSource::kDevice;
  if (g_UsbComm.HasReceivePipeline() || g_UsbComm.m_nUsbType.load() == kPrinterClassUsb) {
    // An int that names no pipe of the session open now (a name of a closed session, say)
    // takes nothing from the buffer: the bytes are the session's.
    return named ? ReadSource::kReceiveBuffer : ReadSource::kNothing;
  }
  return ReadSource::kDevice;
}

// A blocking read on the pipe Java names, only while it is one of the library's: any other
// value names nothing, and no read is made.
BOOL ReadFromDevice(jint name, BYTE* buffer, jsize size, DWORD* count) noexcept {
  DebugTrace("usbReadInputPipe", "Entering ReadFile (Nat)");
  NamedDeviceUse device(name);
  BOOL result = FALSE;
  if (device.ok()) {
    result = ReadFile(device.get(), buffer, static_cast<DWORD>(size), count, nullptr);
    if (!result && IsRemovalError(GetLastError())) TheHandleLedger().MarkGone(device.get());
  } else {
    SetLastError(ERROR_INVALID_HANDLE);
  }
  DebugTrace("usbReadInputPipe", "Left ReadFile (Nat)");
  return result;
}

jint ReadInputPipe(JNIEnv* env, jint handle, jbyteArray data) {
  if (data == nullptr) {
    DebugTrace("usbReadInputPipe", "No array to read into");
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  const jsize size = env->GetArrayLength(data);
  const ReadSource source = SourceOfRead(handle);
  if (source == ReadSource::kNothing) {
    DebugTrace("usbReadInputPipe", "No open pipe of that name");
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  const bool fromBuffer = source == ReadSource::kReceiveBuffer;
  const jsize most = fromBuffer ? kMostFromTheBuffer : kMostFromTheDevice;
  const jsize wanted = size < most ? size : most;
  BYTE* buffer = static_cast<BYTE*>(
      HeapAlloc(GetProcessHeap(), 0, wanted > 0 ? static_cast<SIZE_T>(wanted) : 1));
  DebugTraceFormat("usbReadInputPipe", "Entering usbReadInputPipe, nData=%d",
                   static_cast<int>(size));
  if (buffer == nullptr) {
    DebugTrace("usbReadInputPipe", "No memory for the receive buffer");
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }

  DWORD count = 0;
  BOOL result = FALSE;
  // Nothing between the allocation and its release can throw (the helpers are noexcept).
  result = fromBuffer ? ReadFromReceiveBuffer(buffer, wanted, &count)
                      : ReadFromDevice(handle, buffer, wanted, &count);
  if (!result) count = 0;
  const DWORD error = GetLastError();

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
  SetLastError(result ? ERROR_SUCCESS : error);
  return result ? static_cast<jint>(count) : -1;
}

jint WriteOutputPipe(JNIEnv* env, jint handle, jbyteArray data) {
  if (data == nullptr) {
    DebugTrace("usbWriteOutputPipe", "No array to write");
    return ERROR_INVALID_PARAMETER;
  }
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
  // Cannot throw (noexcept), so the elements always reach their release below.
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

  // Nothing was written into the elements: JNI_ABORT gives them back without copying them
  // into the array again, which for a large array would cost a copy of all of it and undo
  // whatever Java changed in the array meanwhile.
  env->ReleaseByteArrayElements(data, elements, JNI_ABORT);
  DebugTrace("usbWriteOutputPipe", "After ReleaseByteArrayElements");
  return result ? 0 : static_cast<jint>(error);
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbReadInputPipe(
    JNIEnv* env, jobject, jint handle, jbyteArray data) {
  const jint result = AtJavaBoundary<jint>("usbReadInputPipe", -1,
                                           [&] { return ReadInputPipe(env, handle, data); });
  return Kept(result, result >= 0);
}

extern "C" JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbWriteOutputPipe(
    JNIEnv* env, jobject, jint handle, jbyteArray data) {
  return KeepResult(AtJavaBoundary<jint>("usbWriteOutputPipe", kOwnFailureCode,
                                         [&] { return WriteOutputPipe(env, handle, data); }));
}
