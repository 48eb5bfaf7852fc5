// How the I/O manager records a request's outcome in an OVERLAPPED: `Internal` holds an
// NTSTATUS and `InternalHigh` the byte count, and GetOverlappedResult turns the status back
// into a Win32 error code. These are the statuses the devices here complete with; any other
// Win32 code travels as the status that carries it (FACILITY_NTWIN32), which the system
// converts back to the same code. Shared by the stand-in's files and the Windows device host.
#ifndef HOSTWIN_IO_STATUS_H
#define HOSTWIN_IO_STATUS_H

#include <windows.h>

namespace hostwin {

constexpr ULONG_PTR kStatusPending = 0x00000103u;

struct StatusOfError {
  DWORD error;
  ULONG_PTR status;
};

constexpr StatusOfError kStatusOfError[] = {
    {ERROR_SUCCESS, 0x00000000u},              // STATUS_SUCCESS
    {ERROR_OPERATION_ABORTED, 0xC0000120u},    // STATUS_CANCELLED
    {ERROR_ACCESS_DENIED, 0xC0000022u},        // STATUS_ACCESS_DENIED
    {ERROR_INVALID_HANDLE, 0xC0000008u},       // STATUS_INVALID_HANDLE
    {ERROR_HANDLE_EOF, 0xC0000011u},           // STATUS_END_OF_FILE
    {ERROR_FILE_NOT_FOUND, 0xC0000034u},       // STATUS_OBJECT_NAME_NOT_FOUND
    {ERROR_DEVICE_NOT_CONNECTED, 0xC000009Du}, // STATUS_DEVICE_NOT_CONNECTED
    {ERROR_GEN_FAILURE, 0xC0000001u},          // STATUS_UNSUCCESSFUL
    {ERROR_SEM_TIMEOUT, 0xC00000B5u},          // STATUS_IO_TIMEOUT
    {ERROR_NOT_SUPPORTED, 0xC00000BBu},        // STATUS_NOT_SUPPORTED
};
constexpr ULONG_PTR kFacilityWin32Status = 0xC0070000u;

inline ULONG_PTR StatusFromError(DWORD error) {
  for (const StatusOfError& entry : kStatusOfError) {
    if (entry.error == error) return entry.status;
  }
  return kFacilityWin32Status | (error & 0xFFFFu);
}

inline DWORD ErrorFromStatus(ULONG_PTR status) {
  for (const StatusOfError& entry : kStatusOfError) {
    if (entry.status == status) return entry.error;
  }
  if ((status & 0xFFFF0000u) == kFacilityWin32Status) return static_cast<DWORD>(status & 0xFFFFu);
  return ERROR_GEN_FAILURE;
}

}  // namespace hostwin

#endif  // HOSTWIN_IO_STATUS_H
