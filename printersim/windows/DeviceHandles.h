// The device handles that the Windows device host has opened: each is an event of the
// system's, whose value the module under test holds like any file handle, and which is also
// the file's own signal (reset when an I/O starts, set when one completes, as a file
// object's event is). Reads, writes, cancels and closes on them play the I/O manager's part
// for the simulated device behind each.
//
// Thread safety: every function may be called from any thread; a device's completions may
// run on any thread, before or after the call that started the read has returned.
#ifndef PRINTERSIM_WINDOWS_DEVICEHANDLES_H
#define PRINTERSIM_WINDOWS_DEVICEHANDLES_H

#include <hostwin/device_provider.h>
#include <windows.h>

#include <map>
#include <memory>
#include <mutex>

namespace printersim {
namespace windows {

class DeviceHandle;

class DeviceHandles {
 public:
  static DeviceHandles& Instance();

  // A new handle on `device`; INVALID_HANDLE_VALUE with the system's error when no event
  // could be made for it.
  HANDLE Open(std::shared_ptr<hostwin::DeviceFile> device, bool overlapped);
  // The device handle `handle` names now, or null for any other value.
  std::shared_ptr<DeviceHandle> Find(HANDLE handle) const;
  // Forgets the handle, cancels what is pending on it and closes its event.
  void Close(const std::shared_ptr<DeviceHandle>& device);

 private:
  DeviceHandles() = default;

  mutable std::mutex m_lock;
  std::map<HANDLE, std::shared_ptr<DeviceHandle>> m_handles;  // guarded by m_lock
};

// One open device handle; the calls have Win32's signatures and results.
class DeviceHandle : public std::enable_shared_from_this<DeviceHandle> {
 public:
  DeviceHandle(std::shared_ptr<hostwin::DeviceFile> device, bool overlapped, HANDLE signal);

  HANDLE value() const { return m_signal; }

  BOOL Read(void* buffer, DWORD size, DWORD* read, OVERLAPPED* overlapped);
  BOOL Write(const void* data, DWORD size, DWORD* written, OVERLAPPED* overlapped);
  BOOL CancelIo();
  BOOL CancelIoEx(OVERLAPPED* overlapped);
  BOOL IoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                 DWORD* returned);
  BOOL Purge(DWORD flags);

 private:
  friend class DeviceHandles;
  struct Request;

  void Complete(const std::shared_ptr<Request>& request, DWORD bytes, DWORD error);
  // Cancels the calling thread's pending reads, or every thread's, or only the one issued
  // with `overlapped` when that is given; the number of reads found to cancel.
  std::size_t CancelPending(bool allThreads, const OVERLAPPED* overlapped = nullptr);
  void SignalLocked();
  BOOL Report(const Request& request, DWORD* read) const;

  const std::shared_ptr<hostwin::DeviceFile> m_device;
  const bool m_overlapped;
  const HANDLE m_signal;

  struct State;
  const std::unique_ptr<State> m_state;
};

}  // namespace windows
}  // namespace printersim

#endif  // PRINTERSIM_WINDOWS_DEVICEHANDLES_H
