// The host binds the scenario tests straight to the library's natives and the stand-in.
#include <hostwin/hostwin.h>

#include "jni/Natives.h"
#include "support/NativePort.h"

const NativeExports& Natives() {
  static const NativeExports natives = {
      Java_com_palvex_printer_UsbPort_usbInitPipe,
      Java_com_palvex_printer_UsbPort_usbClosePipe,
      Java_com_palvex_printer_UsbPort_usbReadInputPipe,
      Java_com_palvex_printer_UsbPort_usbWriteOutputPipe,
      Java_com_palvex_printer_UsbPort_usbGetCommTimeout,
      Java_com_palvex_printer_UsbPort_usbSetCommTimeout,
      Java_com_palvex_printer_UsbPort_usbPurgeRequest,
      Java_com_palvex_printer_UsbPort_usbGetGenericReadValue,
      Java_com_palvex_printer_UsbPort_usbGetGenericWriteValue,
      Java_com_palvex_printer_UsbPort_usbGetBytesAvailable,
      Java_com_palvex_printer_UsbPort_usbGetLastError,
      Java_com_palvex_printer_UsbPort_usbGetErrorString,
  };
  return natives;
}

int LiveHandleCount() { return hostwin::OpenHandleCount(); }
int ProcessHandleCount() { return hostwin::OpenHandleCount(); }
std::string LiveHandleKinds() { return std::to_string(hostwin::OpenHandleCount()) + " handles"; }

std::vector<std::string> TakeDebugOutput() { return hostwin::TakeDebugOutput(); }

HANDLE OpenDeviceBehindTheLibrarysBack(const std::string& path, DWORD flags) {
  return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, flags, nullptr);
}

BOOL ReadBehindTheLibrarysBack(HANDLE device, void* buffer, DWORD size, DWORD* read) {
  return ReadFile(device, buffer, size, read, nullptr);
}

BOOL CloseBehindTheLibrarysBack(HANDLE device) { return CloseHandle(device); }

void FailNextSystemCalls(const char* function, DWORD error, int count, int skip) {
  hostwin::FailNextCalls(function, error, count, skip);
}

void ClearSystemFaults() { hostwin::ClearFaults(); }
