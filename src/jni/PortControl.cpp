// The control and status natives: device timeouts, purge, access values, bytes waiting,
// last error and error texts.
#include <jni.h>
#include <windows.h>

#include <cstdio>

#include "comm/HandleLedger.h"
#include "comm/RemovalErrors.h"
#include "comm/SerialTimeouts.h"
#include "comm/UsbComm.h"
#include "jni/JniSupport.h"
#include "jni/LastResult.h"
#include "jni/NamedDevice.h"
#include "jni/Natives.h"
#include "jni/PipeNames.h"
#include "trace/DebugTrace.h"

namespace {

// A field read from the device with this value is left as the device reported it.
constexpr DWORD kKeepDeviceValue = 0xFFFFFFFEu;
// What the device calls answer on the printer class driver, which has no such requests.
constexpr jint kNotOnPrinterClass = 1;

// Answered as on Printer Class, without a request, on a Printer Class port, and for the
// read pipe of a receive pipeline whatever kind the port has become since: its handle is the
// worker's, which a purge or a timeout would disturb. Nothing failed.
bool OnPrinterClass(jint name) {
  PipeNames::Entry entry{};
  const bool pipelineRead = g_UsbComm.HasReceivePipeline() && ThePipeNames().Find(name, &entry) &&
                            entry.pipe == PipeNames::Pipe::kPortRead;
  if (g_UsbComm.m_nUsbType.load() != kPrinterClassUsb && !pipelineRead) return false;
  SetLastError(ERROR_SUCCESS);
  return true;
}

void SetUnlessKept(DWORD& field, jint value) {
  if (field != kKeepDeviceValue) field = static_cast<DWORD>(value);
}

// The system's text comes in the ANSI code page; Java strings are UTF-16.
jstring AnsiToJavaString(JNIEnv* env, const char* text, DWORD length) {
  const int wideLength =
      MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), nullptr, 0);
  if (wideLength <= 0) return nullptr;
  WCHAR* wide = static_cast<WCHAR*>(
      HeapAlloc(GetProcessHeap(), 0, static_cast<SIZE_T>(wideLength) * sizeof(WCHAR)));
  if (wide == nullptr) return nullptr;
  jstring result = nullptr;
  if (MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(length), wide, wideLength) ==
      wideLength) {
    result = env->NewString(reinterpret_cast<const jchar*>(wide), wideLength);
  }
  HeapFree(GetProcessHeap(), 0, wide);
  return result;
}

// A device request goes only to the pipe Java names, while it is open: any other value
// names nothing, and no request is sent. The handle stays open until the request returns,
// and a request that says the printer has gone marks it, so that the next open replaces it.
template <typename Request>
jint OnLibraryHandle(jint name, Request&& request) {
  jint result = ERROR_INVALID_HANDLE;
  DWORD error = ERROR_INVALID_HANDLE;
  {
    NamedDeviceUse device(name);
    if (device.ok()) {
      result = request(device.get());
      error = GetLastError();
      if (IsRemovalError(error)) TheHandleLedger().MarkGone(device.get());
    }
  }  // the use ends here, and may close a handle a close gave up meanwhile
  SetLastError(error);
  return result;
}

jint GetCommTimeout(jint handle) {
  if (OnPrinterClass(handle)) return kNotOnPrinterClass;
  return OnLibraryHandle(handle, [](HANDLE device) {
    SerialTimeouts timeouts = {};
    DWORD returned = 0;
    if (DeviceIoControl(device, kIoctlSerialGetTimeouts, nullptr, 0, &timeouts, sizeof timeouts,
                        &returned, nullptr)) {
      SetLastError(ERROR_SUCCESS);
      return static_cast<jint>(timeouts.ReadTotalTimeoutConstant);
    }
    return static_cast<jint>(GetLastError());
  });
}

// Windows leaves the last-error value alone on most successful calls, so a request that
// succeeded answers 0 rather than whatever an earlier failure left behind.
jint SetCommTimeout(jint handle, const jint (&values)[5]) {
  if (OnPrinterClass(handle)) return kNotOnPrinterClass;
  return OnLibraryHandle(handle, [&values](HANDLE device) {
    SerialTimeouts timeouts = {};
    DWORD returned = 0;
    // When the device cannot report its timeouts all five fields stay 0 and are all sent.
    DeviceIoControl(device, kIoctlSerialGetTimeouts, nullptr, 0, &timeouts, sizeof timeouts,
                    &returned, nullptr);
    SetUnlessKept(timeouts.ReadIntervalTimeout, values[0]);
    SetUnlessKept(timeouts.ReadTotalTimeoutMultiplier, values[1]);
    SetUnlessKept(timeouts.ReadTotalTimeoutConstant, values[2]);
    SetUnlessKept(timeouts.WriteTotalTimeoutMultiplier, values[3]);
    SetUnlessKept(timeouts.WriteTotalTimeoutConstant, values[4]);
    if (DeviceIoControl(device, kIoctlSerialSetTimeouts, &timeouts, sizeof timeouts, nullptr, 0,
                        &returned, nullptr)) {
      SetLastError(ERROR_SUCCESS);
      return jint{0};
    }
    return static_cast<jint>(GetLastError());
  });
}

jint PurgeRequest(jint handle) {
  if (OnPrinterClass(handle)) return kNotOnPrinterClass;
  return OnLibraryHandle(handle, [](HANDLE device) {
    if (PurgeComm(device, PURGE_RXABORT | PURGE_RXCLEAR)) {
      SetLastError(ERROR_SUCCESS);
      return jint{0};
    }
    return static_cast<jint>(GetLastError());
  });
}

}  // namespace

extern "C" JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbGetCommTimeout(JNIEnv*,
                                                                                   jobject,
                                                                                   jint handle) {
  const jint result = AtJavaBoundary<jint>("usbGetCommTimeout", kOwnFailureCode,
                                           [&] { return GetCommTimeout(handle); });
  KeepLastResult(GetLastError());
  return result;
}

extern "C" JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbSetCommTimeout(
    JNIEnv*, jobject, jint handle, jint readInterval, jint readMultiplier, jint readConstant,
    jint writeMultiplier, jint writeConstant) {
  const jint values[5] = {readInterval, readMultiplier, readConstant, writeMultiplier,
                          writeConstant};
  const jint result = AtJavaBoundary<jint>("usbSetCommTimeout", kOwnFailureCode,
                                           [&] { return SetCommTimeout(handle, values); });
  KeepLastResult(GetLastError());
  return result;
}

extern "C" JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbPurgeRequest(JNIEnv*,
                                                                                 jobject,
                                                                                 jint handle) {
  const jint result = AtJavaBoundary<jint>("usbPurgeRequest", kOwnFailureCode,
                                           [&] { return PurgeRequest(handle); });
  KeepLastResult(GetLastError());
  return result;
}

extern "C" JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbGetGenericReadValue(JNIEnv*,
                                                                                        jobject) {
  return static_cast<jint>(GENERIC_READ);
}

extern "C" JNIEXPORT jint JNICALL
Java_com_palvex_printer_UsbPort_usbGetGenericWriteValue(JNIEnv*, jobject) {
  DebugTrace("usbGetGenericWriteValue", "Entry");
  return static_cast<jint>(GENERIC_WRITE);
}

extern "C" JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbGetBytesAvailable(JNIEnv*,
                                                                                      jobject) {
  DebugTrace("usbGetBytesAvailable", "Entry");
  return AtJavaBoundary<jint>("usbGetBytesAvailable", 0, [] {
    return static_cast<jint>(g_UsbComm.BytesAvailable());
  });
}

extern "C" JNIEXPORT jint JNICALL Java_com_palvex_printer_UsbPort_usbGetLastError(JNIEnv*,
                                                                                 jobject) {
  return static_cast<jint>(KeptLastResult());
}

extern "C" JNIEXPORT jstring JNICALL Java_com_palvex_printer_UsbPort_usbGetErrorString(JNIEnv* env,
                                                                                     jobject,
                                                                                     jint code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
      reinterpret_cast<LPSTR>(&text), 0, nullptr);
  if (length != 0 && text != nullptr) {
    const jstring message = AnsiToJavaString(env, text, length);
    LocalFree(text);
    if (message != nullptr || env->ExceptionCheck()) return message;
  }
  char failure[64];
  std::snprintf(failure, sizeof failure, "FormatMessage failed: %d\n", static_cast<int>(code));
  return env->NewStringUTF(failure);
}
