// Stopping the receive worker and releasing what a Printer Class pipe owns.
#include <windows.h>

#include "comm/UsbComm.h"
#include "trace/DebugTrace.h"

namespace {

void CloseMember(std::atomic<HANDLE>& member) {
  const HANDLE handle = member.exchange(nullptr);
  if (handle != nullptr) CloseHandle(handle);
}

}  // namespace

// The acknowledgement may come from a reader that saw the stop request while the worker is
// still in the middle of a pass, so the worker thread itself is waited for before anything
// it uses is released; it ends within one bounded wait once the quit event is set. Without
// a worker (its creation failed, or none was ever started) nothing would ever acknowledge,
// and there is nothing to wait for. Readers still inside the buffer or the events are then
// let out before those are freed.
std::int32_t CUsbComm::TearDownReceivePipeline(bool matchBranch) {
  DWORD waitResult = WAIT_OBJECT_0;
  const HANDLE quit = m_QuitEvent.load();
  if (quit != nullptr) {
    SetEvent(quit);
    DebugTrace("usbClosePipe", "WaitForSingleObject");
    const HANDLE worker = m_hWorkerThread.load();
    if (worker != nullptr) {
      const HANDLE stopped[2] = {m_ReadThreadTerminated.load(), worker};
      waitResult = WaitForMultipleObjects(2, stopped, FALSE, INFINITE);
      if (waitResult == WAIT_FAILED) {
        DebugTrace("usbClosePipe", "WaitForSingleObject m_ReadThreadTerminated failed");
        return 1;
      }
      WaitForSingleObject(worker, INFINITE);
      DebugTrace("usbClosePipe", "WaitForSingleObject default");
      DebugTraceFormat("usbClosePipe", "wait ret=%ld", static_cast<long>(waitResult));
    }
  }
  if (matchBranch) {
    DebugTraceFormat("usbClosePipe", "match close res rv=%ld", static_cast<long>(waitResult));
  } else {
    DebugTraceFormat("usbClosePipe", "differ close res rv=%ld", static_cast<long>(waitResult));
  }

  m_readers.CloseAndDrain();
  if (m_hWorkerThread.load() != nullptr) {
    DebugTrace("usbClosePipe", "CloseHandle m_hWorkerThread");
    CloseMember(m_hWorkerThread);
  }
  delete m_pCCBuffer.exchange(nullptr);
  CloseMember(m_ReadThreadTerminated);
  CloseMember(m_QuitEvent);
  CloseMember(m_hPCLSDataEvent);
  if (m_hReadPort.Get() != nullptr) {
    if (matchBranch) DebugTrace("usbClosePipe", "Close Read Handle");
    m_hReadPort.Replace(nullptr);
  }
  if (m_hWritePort.Get() != nullptr) {
    if (matchBranch) DebugTrace("usbClosePipe", "Close Write Handle");
    m_hWritePort.Replace(nullptr);
  }
  m_readers.Open();
  return 0;
}
