// Which driver serves the printer, found by opening its input pipe through each in turn.
#include <windows.h>

#include <cstdio>

#include "comm/PipePath.h"
#include "comm/UsbComm.h"

HANDLE CUsbComm::OpenPipe(std::int32_t driverKind, const char* pipeName,
                          const char* wantedIdentity) {
  if (!FindDevice(driverKind, m_szDeviceName, static_cast<std::int32_t>(kDeviceNameSize),
                  wantedIdentity)) {
    return INVALID_HANDLE_VALUE;
  }
  // The search only accepts paths that leave room for a pipe name; this cannot fail, and
  // if it ever did no truncated path would be opened.
  if (!AppendPipeName(m_szDeviceName, kDeviceNameSize, pipeName)) return INVALID_HANDLE_VALUE;
  return CreateFileA(m_szDeviceName, GENERIC_READ | GENERIC_WRITE,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

bool ProbeDriverKind(std::int32_t* kind, const char** outcome, const char* wantedIdentity) {
  CUsbComm probe;
  *kind = kNativeUsb;
  *outcome = "Native USB";
  HANDLE pipe = probe.OpenPipe(kNativeUsb, kInputPipe, wantedIdentity);
  if (pipe == INVALID_HANDLE_VALUE) {
    pipe = probe.OpenPipe(kPrinterClassUsb, kInputPipe, wantedIdentity);
    if (pipe == INVALID_HANDLE_VALUE) {
      *outcome = "Error opening USB";
      return false;
    }
    *kind = kPrinterClassUsb;
    *outcome = "Printer Class USB";
  }
  CloseHandle(pipe);
  return true;
}

std::int32_t DetectUsbType(char* text, std::int32_t capacity) {
  std::int32_t kind = kNativeUsb;
  const char* outcome = nullptr;
  ProbeDriverKind(&kind, &outcome);
  if (capacity > 0) std::snprintf(text, static_cast<std::size_t>(capacity), "%s", outcome);
  return kind;
}
