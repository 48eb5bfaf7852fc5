// Windows only: the simulated printers behind a loaded module's imports, for running the
// shipped DLL against them on a real Win32 kernel (Wine). Only the device calls are taken
// over; events, mutexes, threads, waits, GetOverlappedResult, the heap and the rest stay the
// system's. Device handles are real kernel handles (an event each), so their values, reuse
// and closing behave as Windows's do, and an overlapped read completes as the I/O manager
// completes one: `Internal` holds STATUS_PENDING until the device is done, then the byte
// count goes to `InternalHigh`, the outcome's NTSTATUS to `Internal`, and the event is set.
#ifndef PRINTERSIM_DEVICE_HOST_H
#define PRINTERSIM_DEVICE_HOST_H

#include <windows.h>

#include <string>
#include <vector>

namespace printersim {

// Rewrites `module`'s import address table: CreateFileA (device interface paths; other
// paths go to the system), ReadFile, WriteFile, CancelIo, CloseHandle, DeviceIoControl and
// PurgeComm (device handles; other handles go to the system), the four SetupDi* calls, and
// the system calls that FailNextSystemCalls can fail. Once per module.
void HostDevicesFor(HMODULE module);

// The next `count` calls that the hosted module makes of `function` (one of the names
// rewritten above: "CreateEventA", "CreateMutexA", "CreateThread", "HeapAlloc", "SetEvent",
// "WaitForSingleObject", "ReadFile", ...) fail with `error`, as the real function reports
// failure, after `skip` calls that still succeed. A count of 0 disarms it.
void FailNextSystemCalls(const char* function, DWORD error, int count, int skip = 0);
void ClearSystemFaults();

// Handles the hosted module has opened (files, events, mutexes, semaphores, threads,
// duplicates) and not closed since it was hosted, each named by the call that opened it:
// what the module would leak. The process's own count also moves with whatever the test
// program's runtime opens for itself.
std::vector<std::string> HostedModuleHandles();

// A device handle opened outside the hosted module, as another part of the application
// might hold one, with a synchronous read and a close of its own.
HANDLE OpenDeviceDirectly(const std::string& path, DWORD flags);
BOOL ReadDeviceDirectly(HANDLE device, void* buffer, DWORD size, DWORD* read);
BOOL CloseDeviceDirectly(HANDLE device);

}  // namespace printersim

#endif  // PRINTERSIM_DEVICE_HOST_H
