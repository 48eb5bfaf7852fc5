#include "DeviceHandles.h"

#include <hostwin/io_status.h>

#include <algorithm>
#include <condition_variable>
#include <vector>

namespace printersim {
namespace windows {

// One read, from its issue to its completion. Guarded by the handle's lock.
struct DeviceHandle::Request {
  OVERLAPPED* overlapped = nullptr;  // the caller's, or null
  HANDLE event = nullptr;            // its event, set on completion
  DWORD threadId = 0;                // the issuing thread, for CancelIo
  std::uint64_t readId = 0;          // valid once started
  bool started = false;              // StartRead has returned
  bool cancelWanted = false;         // a cancel came before StartRead returned
  bool done = false;
  DWORD bytes = 0;
  DWORD error = 0;
};

struct DeviceHandle::State {
  std::mutex lock;
  std::condition_variable completed;
  std::vector<std::shared_ptr<Request>> pending;  // guarded by lock
  bool closed = false;                            // guarded by lock: the event is gone
};

namespace {

// What the I/O manager writes into an OVERLAPPED, in its order: the count, then the status
// that the system's GetOverlappedResult reads first.
void Record(OVERLAPPED* overlapped, DWORD bytes, DWORD error) {
  overlapped->InternalHigh = bytes;
  MemoryBarrier();
  *static_cast<volatile ULONG_PTR*>(&overlapped->Internal) = hostwin::StatusFromError(error);
}

void Begin(OVERLAPPED* overlapped) {
  if (overlapped == nullptr) return;
  if (overlapped->hEvent != nullptr) ResetEvent(overlapped->hEvent);
  overlapped->InternalHigh = 0;
  overlapped->Internal = hostwin::kStatusPending;
}

}  // namespace

DeviceHandles& DeviceHandles::Instance() {
  static DeviceHandles* handles = new DeviceHandles();  // immortal, like the handles' users
  return *handles;
}

HANDLE DeviceHandles::Open(std::shared_ptr<hostwin::DeviceFile> device, bool overlapped) {
  const HANDLE signal = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (signal == nullptr) return INVALID_HANDLE_VALUE;
  auto handle = std::make_shared<DeviceHandle>(std::move(device), overlapped, signal);
  std::lock_guard<std::mutex> guard(m_lock);
  m_handles[signal] = std::move(handle);
  return signal;
}

std::shared_ptr<DeviceHandle> DeviceHandles::Find(HANDLE handle) const {
  std::lock_guard<std::mutex> guard(m_lock);
  const auto found = m_handles.find(handle);
  return found == m_handles.end() ? nullptr : found->second;
}

// The value is forgotten first, so that nothing takes it for a device once the system has
// handed it out again; the pending reads are cancelled, as closing a file's last handle
// cancels them; the event goes last, after which no completion touches it.
void DeviceHandles::Close(const std::shared_ptr<DeviceHandle>& device) {
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_handles.erase(device->value());
  }
  device->CancelPending(true);
  {
    std::lock_guard<std::mutex> guard(device->m_state->lock);
    device->m_state->closed = true;
  }
  CloseHandle(device->value());
}

DeviceHandle::DeviceHandle(std::shared_ptr<hostwin::DeviceFile> device, bool overlapped,
                           HANDLE signal)
    : m_device(std::move(device)), m_overlapped(overlapped), m_signal(signal),
      m_state(new State()) {}

void DeviceHandle::SignalLocked() {
  if (!m_state->closed) SetEvent(m_signal);
}

void DeviceHandle::Complete(const std::shared_ptr<Request>& request, DWORD bytes, DWORD error) {
  std::lock_guard<std::mutex> guard(m_state->lock);
  if (request->done) return;
  request->done = true;
  request->bytes = bytes;
  request->error = error;
  if (request->overlapped != nullptr) Record(request->overlapped, bytes, error);
  auto& pending = m_state->pending;
  pending.erase(std::remove(pending.begin(), pending.end(), request), pending.end());
  if (request->event != nullptr) SetEvent(request->event);
  SignalLocked();
  m_state->completed.notify_all();
}

BOOL DeviceHandle::Report(const Request& request, DWORD* read) const {
  if (read != nullptr) *read = request.bytes;
  if (request.error != 0) {
    SetLastError(request.error);
    return FALSE;
  }
  return TRUE;
}

// On an overlapped handle the read is issued and ReadFile returns at once: TRUE when it
// completed already and the driver did not queue it, FALSE with ERROR_IO_PENDING otherwise.
// On a synchronous handle it waits for the completion. Without an OVERLAPPED on an
// overlapped handle it waits for the file's own signal, which any completion on the file
// sets, and then reports what the read has by then, possibly success with nothing, as
// Windows does.
BOOL DeviceHandle::Read(void* buffer, DWORD size, DWORD* read, OVERLAPPED* overlapped) {
  if (read != nullptr) *read = 0;
  auto request = std::make_shared<Request>();
  request->overlapped = overlapped;
  request->event = overlapped != nullptr ? overlapped->hEvent : nullptr;
  request->threadId = GetCurrentThreadId();
  Begin(overlapped);
  {
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->pending.push_back(request);
    ResetEvent(m_signal);
  }
  // The completion keeps this handle alive: a read always completes, and its OVERLAPPED is
  // always written, even when the handle is closed meanwhile.
  auto self = shared_from_this();
  const hostwin::ReadStart start = m_device->StartRead(
      buffer, size, [self, request](DWORD bytes, DWORD error) { self->Complete(request, bytes, error); });

  std::unique_lock<std::mutex> lock(m_state->lock);
  request->readId = start.id;
  request->started = true;
  if (request->cancelWanted && !request->done) {
    lock.unlock();
    m_device->Cancel(start.id);
    lock.lock();
  }
  if (!m_overlapped) {
    m_state->completed.wait(lock, [&] { return request->done; });
    return Report(*request, read);
  }
  if (overlapped == nullptr) {
    lock.unlock();
    WaitForSingleObject(m_signal, INFINITE);
    lock.lock();
    if (!request->done) return TRUE;  // another I/O's completion: nothing read
    return Report(*request, read);
  }
  if (!request->done || start.queued) {
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
  }
  return Report(*request, read);
}

// Writes finish before they return, on every handle.
BOOL DeviceHandle::Write(const void* data, DWORD size, DWORD* written, OVERLAPPED* overlapped) {
  if (written != nullptr) *written = 0;
  Begin(overlapped);
  DWORD count = 0;
  const DWORD error = m_device->Write(data, size, &count);
  if (overlapped != nullptr) {
    Record(overlapped, count, error);
    if (overlapped->hEvent != nullptr) SetEvent(overlapped->hEvent);
  }
  {
    std::lock_guard<std::mutex> guard(m_state->lock);
    SignalLocked();
  }
  if (written != nullptr) *written = count;
  if (error != 0) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

std::size_t DeviceHandle::CancelPending(bool allThreads, const OVERLAPPED* overlapped) {
  std::vector<std::uint64_t> started;
  std::size_t found = 0;
  {
    const DWORD self = GetCurrentThreadId();
    std::lock_guard<std::mutex> guard(m_state->lock);
    for (const auto& request : m_state->pending) {
      if (request->done || (!allThreads && request->threadId != self)) continue;
      if (overlapped != nullptr && request->overlapped != overlapped) continue;
      ++found;
      if (request->started) {
        started.push_back(request->readId);
      } else {
        request->cancelWanted = true;  // Read cancels it once StartRead returns
      }
    }
  }
  for (std::uint64_t id : started) m_device->Cancel(id);
  return found;
}

// Only the calling thread's reads, as on Windows; TRUE also when none was pending.
BOOL DeviceHandle::CancelIo() {
  CancelPending(false);
  return TRUE;
}

// Every thread's reads, synchronous ones included, as CancelIoEx cancels them; it fails with
// ERROR_NOT_FOUND when there is nothing to cancel.
BOOL DeviceHandle::CancelIoEx(OVERLAPPED* overlapped) {
  if (CancelPending(true, overlapped) != 0) return TRUE;
  SetLastError(ERROR_NOT_FOUND);
  return FALSE;
}

BOOL DeviceHandle::IoControl(DWORD code, const void* in, DWORD inSize, void* out,
                             DWORD outSize, DWORD* returned) {
  DWORD count = 0;
  const DWORD error = m_device->IoControl(code, in, inSize, out, outSize, &count);
  if (returned != nullptr) *returned = count;
  if (error != 0) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

BOOL DeviceHandle::Purge(DWORD flags) {
  const DWORD error = m_device->Purge(flags);
  if (error != 0) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

}  // namespace windows
}  // namespace printersim
