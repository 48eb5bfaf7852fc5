// Threads: CreateThread (optionally suspended), ResumeThread, exit codes, thread ids.
#include <atomic>
#include <system_error>
#include <thread>

#include "AsWindowsDoes.h"
#include "Kernel.h"
#include "LastError.h"

namespace hostwin {
namespace detail {
namespace {

// Ids are nonzero multiples of 4, as on Windows, and never reused.
std::atomic<DWORD> g_nextThreadId{4};
thread_local DWORD t_threadId = 0;

DWORD NewThreadId() { return g_nextThreadId.fetch_add(4, std::memory_order_relaxed); }

// State guarded by the kernel lock.
class ThreadObject final : public KernelObject {
 public:
  ThreadObject(DWORD id, DWORD suspendCount)
      : KernelObject(ObjectKind::kThread), id_(id), suspendCount_(suspendCount) {}

  bool Waitable() const override { return true; }
  bool IsSignalled(DWORD) const override { return ended_; }

  DWORD Id() const { return id_; }
  DWORD& SuspendCount() { return suspendCount_; }
  bool Ended() const { return ended_; }
  DWORD ExitCode() const { return ended_ ? exitCode_ : STILL_ACTIVE; }
  void End(DWORD exitCode) {
    ended_ = true;
    exitCode_ = exitCode;
  }
  // Whether its start routine has begun: a thread that never ran can be ended from outside.
  bool Started() const { return started_; }
  void Start() { started_ = true; }

 private:
  const DWORD id_;
  DWORD suspendCount_;
  bool started_ = false;
  bool ended_ = false;
  DWORD exitCode_ = 0;
};

void RunThread(const std::shared_ptr<ThreadObject>& thread, LPTHREAD_START_ROUTINE start,
               LPVOID parameter) {
  t_threadId = thread->Id();
  Kernel& kernel = TheKernel();
  {
    std::unique_lock<std::mutex> lock(kernel.lock);
    kernel.changed.wait(lock, [&] { return thread->SuspendCount() == 0 || thread->Ended(); });
    if (thread->Ended()) return;  // terminated before it ever ran
    thread->Start();
  }
  const DWORD exitCode = start(parameter);
  // The thread is signalled only once the reads it issued have completed.
  CancelAndAwaitReadsOfThisThread(std::chrono::minutes(5));
  // Abandon first: whoever wakes on the thread's end must find its mutexes abandoned.
  AbandonMutexesOfThisThread();
  std::lock_guard<std::mutex> guard(kernel.lock);
  thread->End(exitCode);
  kernel.changed.notify_all();
}

}  // namespace

DWORD CurrentThreadId() {
  if (t_threadId == 0) t_threadId = NewThreadId();
  return t_threadId;
}

}  // namespace detail
}  // namespace hostwin

using namespace hostwin::detail;

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress,
                           LPVOID lpParameter, DWORD dwCreationFlags, LPDWORD lpThreadId) {
  return AsWindowsDoes<HANDLE>(static_cast<HANDLE>(nullptr), [&]() -> HANDLE {
    DWORD error = 0;
    if (ShouldFail("CreateThread", &error)) {
      SetLastError(error);
      return nullptr;
    }
    if (lpStartAddress == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    auto thread = std::make_shared<ThreadObject>(
        NewThreadId(), (dwCreationFlags & CREATE_SUSPENDED) != 0 ? 1u : 0u);
    try {
      std::thread(RunThread, thread, lpStartAddress, lpParameter).detach();
    } catch (const std::system_error&) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return nullptr;
    }
    if (lpThreadId != nullptr) *lpThreadId = thread->Id();
    return InsertHandle(std::move(thread));
  });
}

DWORD WINAPI ResumeThread(HANDLE hThread) {
  return AsWindowsDoes<DWORD>(static_cast<DWORD>(-1), [&]() -> DWORD {
    DWORD error = 0;
    if (ShouldFail("ResumeThread", &error)) {
      SetLastError(error);
      return static_cast<DWORD>(-1);
    }
    std::lock_guard<std::mutex> guard(TheKernel().lock);
    auto thread = LookupAsLocked<ThreadObject>(hThread, ObjectKind::kThread);
    if (!thread) {
      SetLastError(ERROR_INVALID_HANDLE);
      return static_cast<DWORD>(-1);
    }
    DWORD& count = thread->SuspendCount();
    const DWORD previous = count;
    if (count > 0 && --count == 0) TheKernel().changed.notify_all();
    return previous;
  });
}

// Only a thread that has not begun to run can be ended here; the stand-in cannot stop a
// running one, and refuses.
BOOL WINAPI TerminateThread(HANDLE hThread, DWORD dwExitCode) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    std::lock_guard<std::mutex> guard(TheKernel().lock);
    auto thread = LookupAsLocked<ThreadObject>(hThread, ObjectKind::kThread);
    if (!thread) return FailWith(ERROR_INVALID_HANDLE);
    if (thread->Ended()) return TRUE;
    if (thread->Started()) return FailWith(ERROR_NOT_SUPPORTED);
    thread->End(dwExitCode);
    TheKernel().changed.notify_all();
    return TRUE;
  });
}

BOOL WINAPI GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
  return AsWindowsDoes<BOOL>(FALSE, [&]() -> BOOL {
    std::lock_guard<std::mutex> guard(TheKernel().lock);
    auto thread = LookupAsLocked<ThreadObject>(hThread, ObjectKind::kThread);
    if (!thread) return FailWith(ERROR_INVALID_HANDLE);
    if (lpExitCode == nullptr) return FailWith(ERROR_NOACCESS);
    *lpExitCode = thread->ExitCode();
    return TRUE;
  });
}

DWORD WINAPI GetCurrentThreadId(void) { return CurrentThreadId(); }
