// The receive worker: keeps an overlapped read outstanding on the printer class handle,
// appends every chunk to the ring buffer, and reopens the device after read errors.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#include "comm/UsbComm.h"
#include "trace/DebugTrace.h"

namespace {

constexpr DWORD kReadSize = 64;
constexpr DWORD kPendingWaitMs = 500;
constexpr DWORD kAccessDeniedWaitMs = 20;
constexpr DWORD kInvalidHandleWaitMs = 500;
constexpr DWORD kOtherErrorWaitMs = 100;
constexpr DWORD kOtherErrorPauseMs = 250;
// Passes that end without waiting for the device (a missing device, end of file, a read
// that completes at once with nothing) pause this long on the quit event, so an idle or
// failing printer costs almost no CPU while a stop request is still seen at once.
constexpr DWORD kIdlePauseMs = 20;

// "File not found????" is traced once in the life of the process.
std::atomic<std::int32_t> g_bFileNotFoundLogged{0};

// One run of the receive loop. The read buffer, the completion record and its event belong
// to this run alone; a read issued on them is always complete before Run returns.
class ReceiveLoop {
 public:
  explicit ReceiveLoop(CUsbComm& port) : m_port(port) {
    std::memset(&m_overlapped, 0, sizeof m_overlapped);
  }
  ReceiveLoop(const ReceiveLoop&) = delete;
  ReceiveLoop& operator=(const ReceiveLoop&) = delete;

  std::int32_t Run();

 private:
  enum class Pass { kNext, kRetryAtOnce };

  Pass RunPass();
  Pass ReadCompletedAtOnce();
  Pass WaitForPendingRead();
  Pass OnReadError(DWORD error);
  Pass OnAccessDenied();
  Pass OnInvalidHandle();
  Pass OnOtherError(DWORD error);
  void PauseOrStop(DWORD milliseconds);
  void AcknowledgeStop();
  void TraceReopenOutcome(std::int32_t reopened);
  void CancelAndCollectRead();
  void FinishReadInFlight();
  bool ReadInFlightHasCompleted() const;
  void Store(DWORD bytes, const char* dumpName, const char* setText, const char* setErrorText);

  CUsbComm& m_port;
  BYTE m_buffer[kReadSize] = {};
  DWORD m_nBytesRead = 0;
  OVERLAPPED m_overlapped;
  HANDLE m_hCompletion = nullptr;
  // The handle a still outstanding read was issued on, null when none is outstanding.
  HANDLE m_hReadInFlight = nullptr;
};

std::int32_t ReceiveLoop::Run() {
  DebugTrace("ReceiveData", "Entry");
  DebugTrace("ReceiveData", "Entry");
  m_hCompletion = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (m_hCompletion == nullptr) {
    DebugTrace("ReceiveData", "Event creation failed");
    // Acknowledged all the same, so a close does not wait for a loop that never ran.
    SetEvent(m_port.m_ReadThreadTerminated.load());
    return 0;
  }
  m_overlapped.hEvent = m_hCompletion;
  m_port.m_bReading = 1;

  for (;;) {
    Pass next = Pass::kNext;
    try {
      next = RunPass();
    } catch (...) {
      // Nothing here is meant to throw (only a lock or an allocation could); the loop goes
      // on after a pause rather than end the thread, and a stop is still seen.
      DebugTrace("ReceiveData", "Unexpected failure in a pass");
      PauseOrStop(kOtherErrorWaitMs);
    }
    if (next == Pass::kRetryAtOnce) continue;
    if (m_port.m_bReading.load() == 0) break;
  }

  // Every stop path collects its read, but a reader that saw the quit event may end the
  // loop between a pass whose wait ran out and the next: no read may still own the buffer
  // and the record once they are gone.
  if (m_hReadInFlight != nullptr) CancelAndCollectRead();
  CloseHandle(m_hCompletion);
  m_hCompletion = nullptr;
  DebugTrace("ReceiveData", "Exit");
  return 0;
}

// The completion event is set by the read's completion itself (and reset when a read is
// issued), so it tells whether the read is done even when a call that reports on the read
// fails.
bool ReceiveLoop::ReadInFlightHasCompleted() const {
  return WaitForSingleObject(m_hCompletion, 0) == WAIT_OBJECT_0;
}

// Cancels the read in flight and waits until it has completed: until then the driver may
// write into the buffer and the record. Its byte count is left in m_nBytesRead. The cancel
// is repeated while the read goes on: a cancel that failed would leave it waiting for data
// that may never come.
void ReceiveLoop::FinishReadInFlight() {
  constexpr DWORD kCancelAgainMs = 100;
  do {
    CancelIo(m_hReadInFlight);
  } while (WaitForSingleObject(m_hCompletion, kCancelAgainMs) != WAIT_OBJECT_0);
  m_nBytesRead = 0;
  GetOverlappedResult(m_hReadInFlight, &m_overlapped, &m_nBytesRead, FALSE);
  m_hReadInFlight = nullptr;
}

ReceiveLoop::Pass ReceiveLoop::RunPass() {
  DebugTrace("ReceiveData", "Loop top");
  m_overlapped.Offset = 0;
  m_overlapped.OffsetHigh = 0;

  // A read whose wait ran out in the previous pass is still the driver's: wait on for it
  // rather than issue a second read on the same record and buffer.
  if (m_hReadInFlight != nullptr) {
    DebugTrace("ReceiveData", "Read still outstanding");
    return WaitForPendingRead();
  }

  DebugTrace("ReceiveData-Jt3", "Entering ReadFile (PC)");
  const HANDLE readPort = m_port.m_hReadPort.Get();
  m_nBytesRead = 0;
  if (ReadFile(readPort, m_buffer, kReadSize, &m_nBytesRead, &m_overlapped)) {
    return ReadCompletedAtOnce();
  }
  const DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING) return OnReadError(error);
  DebugTrace("ReadFile", "ERROR_IO_PENDING");
  m_hReadInFlight = readPort;
  return WaitForPendingRead();
}

// A read that failed, at its issue or at its completion: a real driver queues every read,
// so the same errors arrive either way, and each is handled and paced alike.
ReceiveLoop::Pass ReceiveLoop::OnReadError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      if (g_bFileNotFoundLogged.exchange(1) == 0) DebugTrace("ReceiveData", "File not found????");
      PauseOrStop(kIdlePauseMs);
      return Pass::kNext;
    case ERROR_ACCESS_DENIED:
      return OnAccessDenied();
    case ERROR_INVALID_HANDLE:
      return OnInvalidHandle();
    case ERROR_HANDLE_EOF:
      DebugTrace("ReadFile", "ERROR_HANDLE_EOF");
      PauseOrStop(kIdlePauseMs);
      return Pass::kNext;
    default:
      return OnOtherError(error);
  }
}

// An empty chunk is dumped and traced like any other, but announces nothing: signalling the
// data event for it would wake a waiting reader to an empty buffer each pass and keep its
// read from ever timing out on a printer whose driver completes idle reads at once.
ReceiveLoop::Pass ReceiveLoop::ReadCompletedAtOnce() {
  DebugTraceFormat("ReceiveData", "From2 ReceiveData nBytesRead=%d",
                   static_cast<int>(m_nBytesRead));
  DumpBytes("READ2", m_buffer, static_cast<int>(m_nBytesRead), 12);
  if (m_nBytesRead > 0) {
    Store(m_nBytesRead, nullptr, "2SetEvent(m_hPCLSDataEvent)",
          "2SetEvent(m_hPCLSDataEvent) returns error");
  }
  DebugTrace("ReceiveData", "ReadFile No error");
  // Data keeps coming: read on at once, but still see a stop request.
  PauseOrStop(m_nBytesRead > 0 ? 0 : kIdlePauseMs);
  return Pass::kNext;
}

ReceiveLoop::Pass ReceiveLoop::WaitForPendingRead() {
  const HANDLE waitSet[2] = {m_hCompletion, m_port.m_QuitEvent.load()};
  DebugTrace("ReceiveData", "WaitForMultipleObjects start");
  const DWORD result = WaitForMultipleObjects(2, waitSet, FALSE, kPendingWaitMs);
  DebugTrace("ReceiveData", "WaitForMultipleObjects completed");
  if (result == WAIT_OBJECT_0) {
    DebugTrace("ReadFile", "Overlapped event fires");
  } else if (result == WAIT_OBJECT_0 + 1) {
    DebugTrace("ReadFile", "Quit event fires");
    m_port.m_bReading = 0;
  } else {
    DebugTraceError("ReceiveData", "default");
  }

  if (m_port.m_bReading.load() == 0) {
    DebugTrace("ReceiveData", "SetEvent(m_ReadThreadTerminated)");
    CancelAndCollectRead();
    SetEvent(m_port.m_ReadThreadTerminated.load());
    return Pass::kNext;
  }

  m_nBytesRead = 0;
  if (!GetOverlappedResult(m_hReadInFlight, &m_overlapped, &m_nBytesRead, FALSE)) {
    const DWORD error = GetLastError();
    DebugTrace("ReceiveData", "***Problem with GetOverlappedResult");
    DebugTrace("ReceiveData", error == ERROR_HANDLE_EOF ? "ERROR_HANDLE_EOF" : "default");
    // Still the driver's: waited on in the next pass.
    if (error == ERROR_IO_INCOMPLETE || !ReadInFlightHasCompleted()) return Pass::kNext;
    // The read has ended with an error; whatever it transferred before is kept, and the
    // error is handled as if the read had failed at once, pause included.
    m_hReadInFlight = nullptr;
    if (m_nBytesRead > 0) {
      Store(m_nBytesRead, "READ1", "1SetEvent(m_hPCLSDataEvent)",
            "1SetEvent(m_hPCLSDataEvent) returns error");
    }
    return OnReadError(error);
  }
  m_hReadInFlight = nullptr;

  if (!ResetEvent(m_hCompletion)) {
    DebugTrace("ReceiveData", "Reset event failed");
    m_port.m_bReading = 0;
    // The loop ends here; acknowledged so that a close waiting for it goes on.
    SetEvent(m_port.m_ReadThreadTerminated.load());
    return Pass::kNext;
  }
  DebugTraceFormat("ReceiveData", "From1 ReceiveData nBytesRead=%d",
                   static_cast<int>(m_nBytesRead));
  if (m_nBytesRead > 0) {
    Store(m_nBytesRead, "READ1", "1SetEvent(m_hPCLSDataEvent)",
          "1SetEvent(m_hPCLSDataEvent) returns error");
  } else {
    DebugTrace("ReceiveData", "False positive, no data");
  }
  // The wait reports the lowest signalled index, so a read that had completed already hid a
  // stop request; and a device with a backlog completes every read at once.
  PauseOrStop(0);
  return Pass::kNext;
}

ReceiveLoop::Pass ReceiveLoop::OnAccessDenied() {
  DebugTrace("ReceiveData", "ERROR_ACCESS_DENIED Error");
  TraceReopenOutcome(m_port.ReopenCom());
  if (WaitForSingleObject(m_port.m_QuitEvent.load(), kAccessDeniedWaitMs) == WAIT_OBJECT_0) {
    m_port.m_bReading = 0;
    DebugTrace("ReceiveData", "Terminating Read Thread(EAD)");
    SetEvent(m_port.m_ReadThreadTerminated.load());
  }
  return Pass::kNext;
}

ReceiveLoop::Pass ReceiveLoop::OnInvalidHandle() {
  DebugTrace("ReceiveData", "ERROR_INVALID_HANDLE Error");
  DebugTrace("ReceiveData", "Calling ReopenCom");
  TraceReopenOutcome(m_port.ReopenCom());
  DebugTrace("ReceiveData", "ERROR_INVALID_HANDLE Error");
  if (WaitForSingleObject(m_port.m_QuitEvent.load(), kInvalidHandleWaitMs) == WAIT_OBJECT_0) {
    m_port.m_bReading = 0;
    DebugTrace("ReceiveData", "Terminating Read Thread(EIH)");
    CancelIo(m_port.m_hReadPort.Get());
    SetEvent(m_port.m_ReadThreadTerminated.load());
  }
  return Pass::kNext;
}

// An unlisted error: cancel, pause and read again at once. Only the quit event ends this
// cycle, which is why the retry does not look at m_bReading.
ReceiveLoop::Pass ReceiveLoop::OnOtherError(DWORD error) {
  DebugTraceFormat("Default case", " dwError = %d", static_cast<int>(error));
  if (WaitForSingleObject(m_port.m_QuitEvent.load(), kOtherErrorWaitMs) == WAIT_OBJECT_0) {
    m_port.m_bReading = 0;
    DebugTrace("ReceiveData", "Terminating Read Thread(EIH)");
    CancelIo(m_port.m_hReadPort.Get());
    SetEvent(m_port.m_ReadThreadTerminated.load());
    return Pass::kNext;
  }
  CancelIo(m_port.m_hReadPort.Get());
  Sleep(kOtherErrorPauseMs);
  DebugTrace("ReceiveData", "default error - doing Cancel I/O and making retry attempt");
  return Pass::kRetryAtOnce;
}

// Looks at the quit event (waiting up to `milliseconds`) at the end of a pass that did not
// wait on it otherwise, and stops like the other stop paths when it is set.
void ReceiveLoop::PauseOrStop(DWORD milliseconds) {
  if (WaitForSingleObject(m_port.m_QuitEvent.load(), milliseconds) != WAIT_OBJECT_0) return;
  m_port.m_bReading = 0;
  DebugTrace("ReadFile", "Quit event fires");
  AcknowledgeStop();
}

void ReceiveLoop::AcknowledgeStop() {
  DebugTrace("ReceiveData", "SetEvent(m_ReadThreadTerminated)");
  SetEvent(m_port.m_ReadThreadTerminated.load());
}

void ReceiveLoop::TraceReopenOutcome(std::int32_t reopened) {
  DebugTrace("ReceiveData", reopened ? "Setting PCLSPowerStatus TRUE"
                                     : "Setting PCLSPowerStatus FALSE");
}

// Cancels the read in flight and waits for it to complete: until then the driver may still
// write into the buffer and the record. Bytes it transferred before the cancel are appended
// like any others.
void ReceiveLoop::CancelAndCollectRead() {
  FinishReadInFlight();
  if (m_nBytesRead > 0) {
    DebugTraceFormat("ReceiveData", "From1 ReceiveData nBytesRead=%d",
                     static_cast<int>(m_nBytesRead));
    Store(m_nBytesRead, "READ1", "1SetEvent(m_hPCLSDataEvent)",
          "1SetEvent(m_hPCLSDataEvent) returns error");
  }
}

// Appends a chunk (what does not fit into the free space is dropped) and announces it.
void ReceiveLoop::Store(DWORD bytes, const char* dumpName, const char* setText,
                        const char* setErrorText) {
  if (dumpName != nullptr) DumpBytes(dumpName, m_buffer, static_cast<int>(bytes), 12);
  m_port.m_pCCBuffer.load()->Write(m_buffer, bytes);
  if (SetEvent(m_port.m_hPCLSDataEvent.load())) {
    DebugTrace("ReceiveData", setText);
  } else {
    DebugTraceError("ReceiveData", setErrorText);
  }
}

}  // namespace

std::int32_t CUsbComm::ReceiveData() {
  ReceiveLoop loop(*this);
  return loop.Run();
}

DWORD WINAPI _ReceiveData(LPVOID port) {
  CUsbComm* comm = static_cast<CUsbComm*>(port);
  DebugTrace("_ReceiveData", "***** ENTER *****");
  const std::int32_t result = comm->ReceiveData();
  DebugTrace("_ReceiveData", "***** EXIT *****");
  // Wakes any reader that waits now or later: it sees the stop and takes nothing more. The
  // quit event outlives the worker: a close frees it only once this thread has ended.
  SetEvent(comm->m_QuitEvent.load());
  return static_cast<DWORD>(result);
}
