// Windows binds the scenario tests to the shipped DLL: loaded with LoadLibrary and its
// exports found with GetProcAddress, as a JVM finds them, with the simulated printers put
// behind its imports by the device host. The debugger output is captured for the whole run.
#include <printersim/device_host.h>
#include <printersim/printersim.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/DebugCapture.h"
#include "support/NativePort.h"

namespace {

HMODULE TheDll() {
  static const HMODULE module = [] {
    const HMODULE loaded = LoadLibraryA("VantoryUSB.dll");
    if (loaded == nullptr) {
      std::fprintf(stderr, "VantoryUSB.dll does not load: error %lu\n", GetLastError());
      std::exit(1);
    }
    printersim::HostDevicesFor(loaded);
    printersim::Reset();  // installs the simulated printers as the host's provider
    return loaded;
  }();
  return module;
}

// An export by its JNI name: decorated with the argument bytes in a 32-bit process.
template <typename Function>
void Find(Function* function, const char* method, int argumentBytes) {
#ifdef _WIN64
  (void)argumentBytes;
  const std::string name = std::string("Java_com_palvex_printer_UsbPort_") + method;
#else
  const std::string name = std::string("_Java_com_palvex_printer_UsbPort_") + method + "@" +
                           std::to_string(argumentBytes);
#endif
  FARPROC address = GetProcAddress(TheDll(), name.c_str());
  if (address == nullptr) {
    std::fprintf(stderr, "VantoryUSB.dll does not export %s\n", name.c_str());
    std::exit(1);
  }
  *function = reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

}  // namespace

const NativeExports& Natives() {
  static const NativeExports natives = [] {
    NativeExports found{};
    Find(&found.usbInitPipe, "usbInitPipe", 16);
    Find(&found.usbClosePipe, "usbClosePipe", 12);
    Find(&found.usbReadInputPipe, "usbReadInputPipe", 16);
    Find(&found.usbWriteOutputPipe, "usbWriteOutputPipe", 16);
    Find(&found.usbGetCommTimeout, "usbGetCommTimeout", 12);
    Find(&found.usbSetCommTimeout, "usbSetCommTimeout", 32);
    Find(&found.usbPurgeRequest, "usbPurgeRequest", 12);
    Find(&found.usbGetGenericReadValue, "usbGetGenericReadValue", 8);
    Find(&found.usbGetGenericWriteValue, "usbGetGenericWriteValue", 8);
    Find(&found.usbGetBytesAvailable, "usbGetBytesAvailable", 8);
    Find(&found.usbGetLastError, "usbGetLastError", 8);
    Find(&found.usbGetErrorString, "usbGetErrorString", 12);
    return found;
  }();
  return natives;
}

// The handles the DLL holds: those it opened through its imports and has not closed. The
// process's own count (ProcessHandleCount) also moves with the test program's runtime.
int LiveHandleCount() {
  TheDll();
  return static_cast<int>(printersim::HostedModuleHandles().size());
}

std::string LiveHandleKinds() {
  std::string kinds;
  for (const std::string& kind : printersim::HostedModuleHandles()) kinds += kind + " ";
  return kinds;
}

// Every value that names an open handle of the process now. Handle values are multiples of
// 4 and handed out from the lowest free ones, so the first 16384 values cover what a test
// program opens.
int ProcessHandleCount() {
  int live = 0;
  for (std::uintptr_t value = 4; value < 0x10000; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++live;
  }
  return live;
}

std::vector<std::string> TakeDebugOutput() {
  static DebugCapture* capture = new DebugCapture();  // for the whole run
  TheDll();
  return capture->Take();
}

HANDLE OpenDeviceBehindTheLibrarysBack(const std::string& path, DWORD flags) {
  TheDll();
  return printersim::OpenDeviceDirectly(path, flags);
}

BOOL ReadBehindTheLibrarysBack(HANDLE device, void* buffer, DWORD size, DWORD* read) {
  return printersim::ReadDeviceDirectly(device, buffer, size, read);
}

BOOL CloseBehindTheLibrarysBack(HANDLE device) { return printersim::CloseDeviceDirectly(device); }

void FailNextSystemCalls(const char* function, DWORD error, int count, int skip) {
  TheDll();
  printersim::FailNextSystemCalls(function, error, count, skip);
}

void ClearSystemFaults() { printersim::ClearSystemFaults(); }
