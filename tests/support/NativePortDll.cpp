// Windows binds the scenario tests to the shipped DLL: loaded with LoadLibrary and its
// exports found with GetProcAddress, as a JVM finds them, with the simulated printers put
// behind its imports by the device host. The debugger output is captured for the whole run.
#include <windows.h>
#include <wincrypt.h>

#include <printersim/device_host.h>
#include <printersim/printersim.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/DebugCapture.h"
#include "support/NativePort.h"

namespace {

// The SHA-256 of a file in lower-case hex, from the system's cryptographic provider; empty
// when it cannot be computed.
std::string Sha256Of(const char* path) {
  std::string hex;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return hex;
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;
  if (CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
      CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
    BYTE chunk[65536];
    DWORD got = 0;
    bool ok = true;
    while (ok && ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
      ok = CryptHashData(hash, chunk, got, 0) != FALSE;
    }
    BYTE digest[32];
    DWORD size = sizeof digest;
    if (ok && CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0) && size == sizeof digest) {
      static const char kDigits[] = "0123456789abcdef";
      for (BYTE byte : digest) {
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
      }
    }
  }
  if (hash != 0) CryptDestroyHash(hash);
  if (provider != 0) CryptReleaseContext(provider, 0);
  CloseHandle(file);
  return hex;
}

// Leaves the checksum of the DLL that the suites run beside it, for the release package to
// compare with the file it packs.
void RecordTestedChecksum(HMODULE module) {
  char path[MAX_PATH];
  const DWORD length = GetModuleFileNameA(module, path, sizeof path);
  if (length == 0 || length >= sizeof path) return;
  const std::string sha256 = Sha256Of(path);
  if (sha256.empty()) return;
  const std::string record = std::string(path) + ".tested.sha256";
  if (std::FILE* out = std::fopen(record.c_str(), "wb")) {
    std::fprintf(out, "%s\n", sha256.c_str());
    std::fclose(out);
  }
}

HMODULE TheDll() {
  static const HMODULE module = [] {
    const HMODULE loaded = LoadLibraryA("VantoryUSB.dll");
    if (loaded == nullptr) {
      std::fprintf(stderr, "VantoryUSB.dll does not load: error %lu\n", GetLastError());
      std::exit(1);
    }
    RecordTestedChecksum(loaded);
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
