// Files on devices: CreateFileA through the device provider, ReadFile (synchronous and
// overlapped), WriteFile, GetOverlappedResult, CancelIo, DeviceIoControl and PurgeComm.
//
// A read is a request record kept here under the kernel lock; the device completes it by
// calling its ReadDone, from any thread and possibly before StartRead returns, so no hostwin
// lock is ever held across a call into the device. The caller's OVERLAPPED fields are
// written only under the kernel lock, and GetOverlappedResult reads them under it.
#include <hostwin/device_provider.h>
#include <hostwin/io_status.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "AsWindowsDoes.h"
#include "Kernel.h"
#include "LastError.h"

namespace hostwin {
namespace detail {
namespace {

// One read. Guarded by the kernel lock.
struct ReadRequest {
  OVERLAPPED* overlapped = nullptr;     // the caller's, or null
  std::shared_ptr<EventObject> event;   // its event, set on completion
  DWORD threadId = 0;                   // the issuing thread, for CancelIo
  std::uint64_t readId = 0;             // valid once started
  bool started = false;                 // StartRead has returned
  bool cancelWanted = false;            // a cancel came before StartRead returned
  bool done = false;
  DWORD bytes = 0;
  DWORD error = 0;
};

// A file's reads still pending, and the file object's own signal: as on Windows, every I/O
// on the file resets it when it starts and sets it when it completes. Shared between the
// file and the completions, so that a completion never holds the file (and through it the
// device) alive. Guarded by the kernel lock.
struct PendingReads {
  std::vector<std::shared_ptr<ReadRequest>> requests;
  bool signalled = false;
};

class FileObject final : public KernelObject {
 public:
  FileObject(std::shared_ptr<DeviceFile> device, bool overlapped)
      : KernelObject(ObjectKind::kFile), device_(std::move(device)), overlapped_(overlapped) {}

  DeviceFile& Device() const { return *device_; }
  bool Overlapped() const { return overlapped_; }

  // Every completed I/O sets the file's own signal.
  void SignalCompletion() {
    std::lock_guard<std::mutex> guard(TheKernel().lock);
    pending_->signalled = true;
    TheKernel().changed.notify_all();
  }

  // A file handle can be waited on: it is signalled when its last I/O has completed.
  bool Waitable() const override { return true; }
  bool IsSignalled(DWORD) const override { return pending_->signalled; }
  const std::shared_ptr<PendingReads>& Pending() const { return pending_; }

  // Closing the handle cancels every read still pending on it, whichever thread issued it.
  void OnHandleClosed() override { CancelReads(0); }

  // Cancels the pending reads of one thread (0: of all threads), or only the one issued
  // with `overlapped` when that is given; the number of reads found to cancel.
  std::size_t CancelReads(DWORD threadId, const OVERLAPPED* overlapped = nullptr) {
    std::vector<std::uint64_t> ids;
    std::size_t found = 0;
    {
      std::lock_guard<std::mutex> guard(TheKernel().lock);
      for (const auto& request : pending_->requests) {
        if (request->done || (threadId != 0 && request->threadId != threadId)) continue;
        if (overlapped != nullptr && request->overlapped != overlapped) continue;
        ++found;
        if (request->started) {
          ids.push_back(request->readId);
        } else {
          request->cancelWanted = true;  // ReadFile cancels it once StartRead returns
        }
      }
    }
    for (std::uint64_t id : ids) device_->Cancel(id);
    return found;
  }

 private:
  const std::shared_ptr<DeviceFile> device_;
  const bool overlapped_;
  const std::shared_ptr<PendingReads> pending_ = std::make_shared<PendingReads>();
};

// The files on which the calling thread has issued reads, so that its end can cancel them
// and wait for them: a file's pending reads outlive the file object when its handle was
// closed with reads still pending. Only its own thread touches the list.
struct ThreadRead {
  std::weak_ptr<FileObject> file;
  std::shared_ptr<PendingReads> pending;
};
struct ThreadReads {
  std::vector<ThreadRead> files;
  ~ThreadReads() { CancelReadsOfThisThread(); }
};

thread_local ThreadReads t_reads;

// Whether one of `thread`'s reads is still pending in `pending`. Kernel lock held.
bool HasReadsOfLocked(const PendingReads& pending, DWORD thread) {
  for (const auto& request : pending.requests) {
    if (!request->done && request->threadId == thread) return true;
  }
  return false;
}

void NoteReadOfThisThread(const std::shared_ptr<FileObject>& file) {
  auto& files = t_reads.files;
  const DWORD self = CurrentThreadId();
  {
    std::lock_guard<std::mutex> guard(TheKernel().lock);
    const auto done = [self](const ThreadRead& entry) {
      return entry.file.expired() && !HasReadsOfLocked(*entry.pending, self);
    };
    files.erase(std::remove_if(files.begin(), files.end(), done), files.end());
  }
  for (const auto& entry : files) {
    if (entry.file.lock() == file) return;
  }
  files.push_back(ThreadRead{file, file->Pending()});
}

std::shared_ptr<FileObject> LookupFile(HANDLE handle) {
  std::lock_guard<std::mutex> guard(TheKernel().lock);
  return LookupAsLocked<FileObject>(handle, ObjectKind::kFile);
}

// The ReadDone of every request.
void CompleteRead(const std::shared_ptr<ReadRequest>& request,
                  const std::shared_ptr<PendingReads>& pending, DWORD bytes, DWORD error) {
  std::shared_ptr<EventObject> event;  // released after the lock
  std::lock_guard<std::mutex> guard(TheKernel().lock);
  if (request->done) return;
  request->done = true;
  request->bytes = bytes;
  request->error = error;
  if (request->overlapped != nullptr) {
    request->overlapped->Internal = StatusFromError(error);
    request->overlapped->InternalHigh = bytes;
  }
  event = std::move(request->event);
  if (event) SetEventLocked(*event);
  pending->signalled = true;
  auto& list = pending->requests;
  list.erase(std::remove(list.begin(), list.end(), request), list.end());
  TheKernel().changed.notify_all();
}

// For the calls that finish before they return (writes, control requests): the OVERLAPPED
// ends up as a completed request's would, its event set.
struct SyncOverlapped {
  OVERLAPPED* overlapped = nullptr;
  std::shared_ptr<EventObject> event;

  // False (error set) when the OVERLAPPED names an event that does not exist.
  bool Begin(OVERLAPPED* ov) {
    overlapped = ov;
    if (ov == nullptr) return true;
    std::lock_guard<std::mutex> guard(TheKernel().lock);
    if (ov->hEvent != nullptr) {
      event = LookupEventLocked(ov->hEvent);
      if (!event) return FailWith(ERROR_INVALID_HANDLE) != FALSE;
      ResetEventLocked(*event);
    }
    ov->Internal = STATUS_PENDING;
    ov->InternalHigh = 0;
    return true;
  }

  void End(DWORD bytes, DWORD error) {
    if (overlapped == nullptr) return;
    std::lock_guard<std::mutex> guard(TheKernel().lock);
    overlapped->Internal = StatusFromError(error);
    overlapped->InternalHigh = bytes;
    if (event) SetEventLocked(*event);
    TheKernel().changed.notify_all();
  }
};

// ReadFile without an OVERLAPPED on a handle opened for overlapped I/O. Windows does not
// refuse it: it waits for the file handle itself, which any completion on the file sets, and
// then reports what the read's status block says by then. When another I/O on the file
// completed first, that is success with nothing read, while the read goes on and fills the
// buffer later: the documented hazard of such a read, kept here so that it shows.
BOOL SynchronousReadOnOverlappedHandle(const FileObject& file, const ReadRequest& request,
                                       std::unique_lock<std::mutex>& lock, LPDWORD read) {
  TheKernel().changed.wait(lock, [&] { return request.done || file.Pending()->signalled; });
  if (!request.done) {
    if (read != nullptr) *read = 0;
    return TRUE;
  }
  if (read != nullptr) *read = request.bytes;
  if (request.error != 0) return FailWith(request.error);
  return TRUE;
}

bool IsDevicePath(const char* path) {
  return std::strncmp(path, "\\\\?\\", 4) == 0 || std::strncmp(path, "\\\\.\\", 4) == 0;
}

}  // namespace

void CancelReadsOfThisThread() {
  std::vector<ThreadRead> files;
  files.swap(t_reads.files);
  const DWORD self = CurrentThreadId();
  for (const auto& entry : files) {
    if (auto file = entry.file.lock()) file->CancelReads(self);
  }
}

// At a thread's end Windows cancels the reads it issued and waits for them to complete (for
// up to about five minutes) before the thread is signalled: a driver that never completes a
// cancelled read keeps the thread from ending that long.
void CancelAndAwaitReadsOfThisThread(std::chrono::milliseconds limit) {
  std::vector<ThreadRead> files = t_reads.files;
  CancelReadsOfThisThread();
  const DWORD self = CurrentThreadId();
  Kernel& kernel = TheKernel();
  std::unique_lock<std::mutex> lock(kernel.lock);
  kernel.changed.wait_for(lock, limit, [&] {
    for (const auto& entry : files) {
      if (HasReadsOfLocked(*entry.pending, self)) return false;
    }
    return true;
  });
}

}  // namespace detail
}  // namespace hostwin

using namespace hostwin;
using namespace hostwin::detail;

HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES, DWORD, DWORD dwFlagsAndAttributes, HANDLE) {
  return AsWindowsDoes<HANDLE>(INVALID_HANDLE_VALUE, [&]() -> HANDLE {
    DWORD error = 0;
    if (ShouldFail("CreateFileA", &error)) {
      SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
    // There is no file system behind the stand-in: every directory of an ordinary path is
    // missing, and a bare name is a missing file of the current directory.
    if (lpFileName == nullptr || !IsDevicePath(lpFileName)) {
      const bool hasDirectory =
          lpFileName == nullptr || std::strpbrk(lpFileName, "\\/") != nullptr;
      SetLastError(hasDirectory ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    DeviceProvider* provider = CurrentProvider();
    std::shared_ptr<DeviceFile> device;
    error = provider == nullptr ? static_cast<DWORD>(ERROR_FILE_NOT_FOUND)
                                : provider->Open(lpFileName, dwDesiredAccess, dwShareMode,
                                                 dwFlagsAndAttributes, &device);
    if (error == 0 && !device) error = ERROR_FILE_NOT_FOUND;
    if (error != 0) {
      SetLastError(error);
      return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = InsertHandle(std::make_shared<FileObject>(
        std::move(device), (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0));
    SetLastError(ERROR_SUCCESS);  // as Windows does when it opens an existing file
    return handle;
  });
}

// On an overlapped handle the read is issued and returns at once: TRUE when it completed
// already, FALSE with ERROR_IO_PENDING while it runs or when the device queued it. On a
// synchronous handle it waits for the completion.
BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    DWORD error = 0;
    if (ShouldFail("ReadFile", &error)) return FailWith(error);
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = 0;

    Kernel& kernel = TheKernel();
    const std::shared_ptr<FileObject> file = LookupFile(hFile);  // released after the lock
    if (!file) return FailWith(ERROR_INVALID_HANDLE);
    // Whatever can fail for want of memory comes before the device sees the read: once it
    // is queued, ReadFile reports it as Windows does, whatever happens next.
    auto request = std::make_shared<ReadRequest>();
    NoteReadOfThisThread(file);
    const std::shared_ptr<PendingReads> pending = file->Pending();
    ReadDone done = [request, pending](DWORD bytes, DWORD readError) {
      CompleteRead(request, pending, bytes, readError);
    };
    {
      std::lock_guard<std::mutex> guard(kernel.lock);
      if (lpOverlapped != nullptr) {
        if (lpOverlapped->hEvent != nullptr) {
          request->event = LookupEventLocked(lpOverlapped->hEvent);
          if (!request->event) return FailWith(ERROR_INVALID_HANDLE);
          ResetEventLocked(*request->event);
        }
        lpOverlapped->Internal = STATUS_PENDING;
        lpOverlapped->InternalHigh = 0;
      }
      request->overlapped = lpOverlapped;
      request->threadId = CurrentThreadId();
      file->Pending()->requests.push_back(request);
      file->Pending()->signalled = false;
    }

    ReadStart start;
    try {
      start = file->Device().StartRead(lpBuffer, nNumberOfBytesToRead, std::move(done));
    } catch (...) {
      // The device could not take the read (its driver ran out of memory): it never began,
      // so it leaves no request behind to wait for.
      std::lock_guard<std::mutex> guard(kernel.lock);
      auto& list = pending->requests;
      list.erase(std::remove(list.begin(), list.end(), request), list.end());
      throw;
    }

    std::unique_lock<std::mutex> lock(kernel.lock);
    request->readId = start.id;
    request->started = true;
    if (request->cancelWanted && !request->done) {
      lock.unlock();
      file->Device().Cancel(start.id);
      lock.lock();
    }
    if (!file->Overlapped()) {
      kernel.changed.wait(lock, [&] { return request->done; });
    } else if (lpOverlapped == nullptr) {
      return SynchronousReadOnOverlappedHandle(*file, *request, lock, lpNumberOfBytesRead);
    }
    if (file->Overlapped() && (!request->done || start.queued)) {
      return FailWith(ERROR_IO_PENDING);
    }
    if (lpNumberOfBytesRead != nullptr) *lpNumberOfBytesRead = request->bytes;
    if (request->error != 0) return FailWith(request->error);
    return TRUE;
  });
}

// Writes are synchronous on every handle, also without an OVERLAPPED on an overlapped one;
// the device may block for as long as it likes, with no hostwin lock held.
BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    DWORD error = 0;
    if (ShouldFail("WriteFile", &error)) return FailWith(error);
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = 0;
    const std::shared_ptr<FileObject> file = LookupFile(hFile);
    if (!file) return FailWith(ERROR_INVALID_HANDLE);
    SyncOverlapped completion;
    if (!completion.Begin(lpOverlapped)) return FALSE;
    DWORD written = 0;
    error = file->Device().Write(lpBuffer, nNumberOfBytesToWrite, &written);
    completion.End(written, error);
    file->SignalCompletion();
    if (lpNumberOfBytesWritten != nullptr) *lpNumberOfBytesWritten = written;
    if (error != 0) return FailWith(error);
    return TRUE;
  });
}

// Works from the OVERLAPPED alone, as Windows does, so it also reports a read whose handle
// has been closed meanwhile.
BOOL WINAPI GetOverlappedResult(HANDLE, LPOVERLAPPED lpOverlapped,
                                LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    DWORD error = 0;
    if (ShouldFail("GetOverlappedResult", &error)) return FailWith(error);
    if (lpOverlapped == nullptr) return FailWith(ERROR_INVALID_PARAMETER);
    Kernel& kernel = TheKernel();
    std::unique_lock<std::mutex> lock(kernel.lock);
    if (lpOverlapped->Internal == STATUS_PENDING) {
      if (!bWait) return FailWith(ERROR_IO_INCOMPLETE);
      kernel.changed.wait(lock, [&] { return lpOverlapped->Internal != STATUS_PENDING; });
    }
    if (lpNumberOfBytesTransferred != nullptr) {
      *lpNumberOfBytesTransferred = static_cast<DWORD>(lpOverlapped->InternalHigh);
    }
    if (lpOverlapped->Internal != 0) return FailWith(ErrorFromStatus(lpOverlapped->Internal));
    return TRUE;
  });
}

// Cancels the calling thread's reads on the handle; they complete with
// ERROR_OPERATION_ABORTED when the device lets them go. TRUE also when none was pending.
BOOL WINAPI CancelIo(HANDLE hFile) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    DWORD error = 0;
    if (ShouldFail("CancelIo", &error)) return FailWith(error);
    const std::shared_ptr<FileObject> file = LookupFile(hFile);
    if (!file) return FailWith(ERROR_INVALID_HANDLE);
    file->CancelReads(CurrentThreadId());
    return TRUE;
  });
}

// Cancels the reads of every thread on the handle, synchronous ones included, or only the
// one issued with lpOverlapped. Like Windows it fails with ERROR_NOT_FOUND when it finds
// nothing to cancel, and it does not wait for the cancelled reads to complete.
BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    DWORD error = 0;
    if (ShouldFail("CancelIoEx", &error)) return FailWith(error);
    const std::shared_ptr<FileObject> file = LookupFile(hFile);
    if (!file) return FailWith(ERROR_INVALID_HANDLE);
    if (file->CancelReads(0, lpOverlapped) == 0) return FailWith(ERROR_NOT_FOUND);
    return TRUE;
  });
}

BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                            DWORD nInBufferSize, LPVOID lpOutBuffer, DWORD nOutBufferSize,
                            LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    DWORD error = 0;
    if (ShouldFail("DeviceIoControl", &error)) return FailWith(error);
    const std::shared_ptr<FileObject> file = LookupFile(hDevice);
    if (!file) return FailWith(ERROR_INVALID_HANDLE);
    SyncOverlapped completion;
    if (!completion.Begin(lpOverlapped)) return FALSE;
    DWORD returned = 0;
    error = file->Device().IoControl(dwIoControlCode, lpInBuffer, nInBufferSize,
                                                 lpOutBuffer, nOutBufferSize, &returned);
    completion.End(returned, error);
    if (lpBytesReturned != nullptr) *lpBytesReturned = returned;
    if (error != 0) return FailWith(error);
    return TRUE;
  });
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    DWORD error = 0;
    if (ShouldFail("PurgeComm", &error)) return FailWith(error);
    const std::shared_ptr<FileObject> file = LookupFile(hFile);
    if (!file) return FailWith(ERROR_INVALID_HANDLE);
    error = file->Device().Purge(dwFlags);
    if (error != 0) return FailWith(error);
    return TRUE;
  });
}
