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
// still in the middle of a pass, so the worker's own end is waited for before anything it
// uses is released: its done event, its last act, which it sets within one bounded wait
// once the quit event is set; or its thread's end, for a thread that was ended before it
// ever ran. Without a worker (its creation failed, or none was ever started) nothing would
// ever acknowledge, and there is nothing to wait for.
//
// The stop request is given again while the wait goes on: a worker never told to stop
// (should setting the event ever fail) would keep a close waiting for good.
DWORD CUsbComm::StopReceiveWorker() {
  constexpr DWORD kRequestAgainMs = 250;
  const HANDLE quit = m_QuitEvent.load();
  if (quit == nullptr) return WAIT_OBJECT_0;
  SetEvent(quit);
  const HANDLE worker = m_hWorkerThread.load();
  if (worker == nullptr) return WAIT_OBJECT_0;
  DebugTrace("usbClosePipe", "WaitForSingleObject");
  const HANDLE done = m_hWorkerDone.load();
  const HANDLE stopped[3] = {m_ReadThreadTerminated.load(), worker, done};
  DWORD result = WAIT_TIMEOUT;
  while ((result = WaitForMultipleObjects(3, stopped, FALSE, kRequestAgainMs)) == WAIT_TIMEOUT) {
    SetEvent(quit);
  }
  // Without the worker's end nothing may be released: it may still use all of it. A close
  // whose wait failed releases nothing, and the next close tries again.
  const HANDLE ended[2] = {done, worker};
  if (result == WAIT_FAILED || WaitForMultipleObjects(2, ended, FALSE, INFINITE) == WAIT_FAILED) {
    DebugTrace("usbClosePipe", "WaitForSingleObject m_ReadThreadTerminated failed");
    return WAIT_FAILED;
  }
  DebugTrace("usbClosePipe", "WaitForSingleObject default");
  DebugTraceFormat("usbClosePipe", "wait ret=%ld", static_cast<long>(result));
  return result;
}

// Readers still inside the buffer or the events are let out before those are freed; one
// that comes later finds them null and takes nothing.
void CUsbComm::ReleaseReceivePipeline() {
  m_readers.CloseAndDrain();
  if (m_hWorkerThread.load() != nullptr) {
    DebugTrace("usbClosePipe", "CloseHandle m_hWorkerThread");
    CloseMember(m_hWorkerThread);
  }
  delete m_pCCBuffer.exchange(nullptr);
  CloseMember(m_ReadThreadTerminated);
  CloseMember(m_QuitEvent);
  CloseMember(m_hPCLSDataEvent);
  CloseMember(m_hWakeEvent);
  CloseMember(m_hCaughtUpEvent);
  CloseMember(m_hWorkerDone);
  m_readers.Open();
}

std::int32_t CUsbComm::TearDownReceivePipeline(bool matchBranch) {
  const DWORD waitResult = StopReceiveWorker();
  if (waitResult == WAIT_FAILED) return 1;
  if (matchBranch) {
    DebugTraceFormat("usbClosePipe", "match close res rv=%ld", static_cast<long>(waitResult));
  } else {
    DebugTraceFormat("usbClosePipe", "differ close res rv=%ld", static_cast<long>(waitResult));
  }
  ReleaseReceivePipeline();
  if (m_hReadPort.Get() != nullptr) {
    if (matchBranch) DebugTrace("usbClosePipe", "Close Read Handle");
    m_hReadPort.Replace(nullptr);
  }
  if (m_hWritePort.Get() != nullptr) {
    if (matchBranch) DebugTrace("usbClosePipe", "Close Write Handle");
    m_hWritePort.Replace(nullptr);
  }
  SetPipelineDevice("");
  SetWriteDevice("");
  return 0;
}

// Parts of a pipeline can be left without a worker: a bring-up that failed after making some
// of them (an event, the buffer) returns them only at the next close. An application that
// retries its read open without closing first gets a new pipeline all the same: what is left
// is released first, so the port object never holds two; the write handle stays, it is
// still the one in use. (With a worker the open takes its read handle instead.)
bool CUsbComm::HasReceivePipeline() const {
  return m_hWorkerThread.load() != nullptr || m_QuitEvent.load() != nullptr ||
         m_ReadThreadTerminated.load() != nullptr || m_hPCLSDataEvent.load() != nullptr ||
         m_hWakeEvent.load() != nullptr || m_hCaughtUpEvent.load() != nullptr ||
         m_hWorkerDone.load() != nullptr ||
         m_pCCBuffer.load() != nullptr;
}

void CUsbComm::StopLeftoverPipeline() {
  if (!HasReceivePipeline()) return;
  DebugTrace("usbInitPipe", "Stopping the receive worker left from an earlier read pipe");
  if (StopReceiveWorker() == WAIT_FAILED) return;
  ReleaseReceivePipeline();
  m_hReadPort.Replace(nullptr);
}
