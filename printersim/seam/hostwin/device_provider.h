// The seam between the Win32 stand-in and whatever plays the devices (printersim).
// CreateFileA hands every path to the provider; ReadFile, WriteFile, DeviceIoControl,
// PurgeComm, CancelIo and CloseHandle on the handle it returns reach the DeviceFile; the
// SetupAPI calls enumerate the provider's interfaces.
#ifndef HOSTWIN_DEVICE_PROVIDER_H
#define HOSTWIN_DEVICE_PROVIDER_H

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hostwin {

// Completion of one read: the number of bytes placed in the caller's buffer and the Win32
// error code (0 for success; ERROR_OPERATION_ABORTED for a cancelled read, which may still
// carry bytes).
using ReadDone = std::function<void(DWORD bytes, DWORD error)>;

// How a device took a read. `queued` is a driver's STATUS_PENDING: the read completes through
// its ReadDone, and ReadFile on an overlapped handle reports ERROR_IO_PENDING even when that
// has already happened by the time the device returns, as the I/O manager does. Otherwise a
// read that was done before StartRead returned is reported as completed at once.
struct ReadStart {
  std::uint64_t id = 0;  // for Cancel
  bool queued = false;
};

class DeviceFile {
 public:
  virtual ~DeviceFile() = default;

  // Starts a read of at most `size` bytes into `buffer`. The device calls `done` exactly
  // once, on any thread, possibly before StartRead returns (a read that completes at once,
  // or fails at once). Until `done` runs the buffer belongs to the device.
  virtual ReadStart StartRead(void* buffer, DWORD size, ReadDone done) = 0;

  // Completes the read with that id (if still pending) with ERROR_OPERATION_ABORTED.
  virtual void Cancel(std::uint64_t readId) = 0;

  // A synchronous write; it may block (a printer that holds its data). Returns the Win32
  // error code, 0 for success, with the bytes taken in *written.
  virtual DWORD Write(const void* data, DWORD size, DWORD* written) = 0;

  // DeviceIoControl and PurgeComm; each returns the Win32 error code, 0 for success.
  virtual DWORD IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                          DWORD* returned) = 0;
  virtual DWORD Purge(DWORD flags) = 0;
};

// One slot of an interface enumeration: either an interface path, or an enumeration
// failure at that index (SetupDiEnumDeviceInterfaces fails there with `enumError`).
struct InterfaceSlot {
  std::string path;
  DWORD enumError = 0;
};

class DeviceProvider {
 public:
  virtual ~DeviceProvider() = default;

  // Opens a device path. Returns 0 and the file, or a Win32 error code
  // (ERROR_FILE_NOT_FOUND for an unknown or absent device).
  virtual DWORD Open(const std::string& path, DWORD access, DWORD share, DWORD flags,
                     std::shared_ptr<DeviceFile>* file) = 0;

  // The present interfaces of a class, in enumeration order, taken when
  // SetupDiGetClassDevsA builds its set.
  virtual std::vector<InterfaceSlot> Interfaces(const GUID& interfaceClass) = 0;
};

// Installs the provider that CreateFileA and SetupAPI consult; nullptr removes it (every
// device path then fails to open with ERROR_FILE_NOT_FOUND and no interface is present).
// The provider must outlive every handle opened through it.
void SetDeviceProvider(DeviceProvider* provider);

}  // namespace hostwin

#endif  // HOSTWIN_DEVICE_PROVIDER_H
