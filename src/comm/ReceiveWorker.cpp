// The receive worker: keeps an overlapped read outstanding on the printer class handle,
// appends every chunk to the ring buffer, and reopens the device after read errors.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <new>

#include "comm/AbandonedReads.h"
#include "comm/HandleLedger.h"
#include "comm/RemovalErrors.h"
#include "comm/UsbComm.h"
#include "trace/DebugTrace.h"

namespace {

constexpr DWORD kPendingWaitMs = 500;
// A read that has waited this long without completing has found the printer with nothing
// more to send: an open that waits for that moment can then drop what came before it.
constexpr DWORD kCaughtUpMs = 20;
constexpr DWORD kOtherErrorWaitMs = 100;
constexpr DWORD kOtherErrorPauseMs = 250;
// Passes that end without waiting for the device (end of file, a read that completes with
// nothing, at once or after going pending) pause this long on the quit event, so an idle
// printer costs almost no CPU while a stop request is still seen at once.
constexpr DWORD kIdlePauseMs = 20;
// After a removal: the pause when the printer could not be found again, and when it was
// found but its reads fail again straight after a reopen (an endpoint in a bad state).
constexpr DWORD kPrinterAwayPauseMs = 500;
constexpr DWORD kReopenAgainPauseMs = 300;
// A write that finds the printer gone cuts the pause while it is away short, to no less
// than this: the printer may be back already, but writes in a loop must not turn into a
// search in a loop.
constexpr DWORD kPromptedPauseMs = 100;
// A write side to repair is looked at no more often than this.
constexpr DWORD kWriteRepairIntervalMs = 250;
// How long a stop waits for a cancelled read to complete. A driver that never completes it
// keeps its buffer (AbandonedReads.h), and the stop goes on.
constexpr DWORD kCancelAgainMs = 100;
constexpr int kCancelAttempts = 4;

// "File not found????" is traced once in the life of the process.
std::atomic<std::int32_t> g_bFileNotFoundLogged{0};

// One run of the receive loop. The read's buffer, completion record and event live in a
// ReadSlot of their own, which the run frees when it ends, unless a driver still owns a read
// issued on it.
class ReceiveLoop {
 public:
  explicit ReceiveLoop(CUsbComm& port) : m_port(port) {}
  ReceiveLoop(const ReceiveLoop&) = delete;
  ReceiveLoop& operator=(const ReceiveLoop&) = delete;

  std::int32_t Run();

 private:
  enum class Pass { kNext, kRetryAtOnce };

  Pass RunPass();
  bool WaitForRoom();
  Pass ReadCompletedAtOnce();
  Pass WaitForPendingRead();
  DWORD WaitForCompletionOrQuit();
  Pass OnReadError(DWORD error, HANDLE failedOn);
  Pass OnRemoval(DWORD error, HANDLE failedOn);
  Pass OnOtherError(DWORD error);
  void PauseWhileAway(const char* stopText);
  bool ReadHandleWasReopened() const;
  void PauseOrStop(DWORD milliseconds, const char* stopText = nullptr);
  void Stop(const char* stopText = nullptr);
  void SignalCaughtUp();
  void RepairWriteSideNowAndThen();
  void CancelAndCollectRead();
  bool FinishReadInFlight();
  bool ReadInFlightHasCompleted() const;
  void Store(DWORD bytes, const char* dumpName, const char* setText, const char* setErrorText);
  HANDLE TakeReadHandle();
  void GiveBackReadHandle();

  CUsbComm& m_port;
  ReadSlot* m_slot = nullptr;
  DWORD m_nBytesRead = 0;
  // The handle a still outstanding read was issued on, null when none is outstanding.
  HANDLE m_hReadInFlight = nullptr;
  // The handle the current read was issued on is in use from its issue until the read has
  // ended (and, after a removal, until its recovery is done): an open that replaces it
  // meanwhile cannot close it under the read, so its value is never another object's then.
  HANDLE m_hReadInUse = nullptr;
  bool m_bReadInUseCounted = false;
  bool m_bCaughtUp = false;       // the caught-up event has been set
  bool m_bWaitingForRoom = false;  // the buffer is full and no read is issued
  int m_nReopensInARow = 0;       // reopens with no read that worked in between
  DWORD m_dwLastWriteRepair = 0;  // GetTickCount of the last look at the write side
  bool m_bWriteRepairLooked = false;
  bool m_bGaveUpOnRead = false;   // a cancelled read did not complete in time
};

std::int32_t ReceiveLoop::Run() {
  DebugTrace("ReceiveData", "Entry");
  DebugTrace("ReceiveData", "Entry");
  m_slot = ReadSlot::Make();
  if (m_slot == nullptr) {
    DebugTrace("ReceiveData", "Event creation failed");
    // Acknowledged all the same, so a close does not wait for a loop that never ran; an open
    // waiting for the first read sees the thread end.
    SetEvent(m_port.m_ReadThreadTerminated.load());
    return 0;
  }
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
  // loop between a pass whose wait ran out and the next: no read may still own the slot
  // once it is freed.
  if (m_hReadInFlight != nullptr && !m_bGaveUpOnRead) CancelAndCollectRead();
  if (m_hReadInFlight == nullptr) {
    ReadSlot::Free(m_slot);
  } else {
    AbandonRead(m_slot);
  }
  m_slot = nullptr;
  GiveBackReadHandle();
  DebugTrace("ReceiveData", "Exit");
  return 0;
}

// The completion event is set by the read's completion itself (and reset when a read is
// issued), so it tells whether the read is done even when a call that reports on the read
// fails.
bool ReceiveLoop::ReadInFlightHasCompleted() const {
  return WaitForSingleObject(m_slot->completion, 0) == WAIT_OBJECT_0;
}

// Cancels the read in flight and waits until it has completed: until then the driver may
// write into the slot. Its byte count is left in m_nBytesRead. The cancel is repeated while
// the read goes on (a cancel that failed would leave it waiting for data that may never
// come), a bounded number of times: a driver that never completes a cancelled read keeps
// the slot, and the read stays in flight. True when it completed.
bool ReceiveLoop::FinishReadInFlight() {
  for (int attempt = 0; attempt < kCancelAttempts; ++attempt) {
    CancelIo(m_hReadInFlight);
    if (WaitForSingleObject(m_slot->completion, kCancelAgainMs) == WAIT_OBJECT_0) {
      m_nBytesRead = 0;
      GetOverlappedResult(m_hReadInFlight, &m_slot->overlapped, &m_nBytesRead, FALSE);
      m_hReadInFlight = nullptr;
      GiveBackReadHandle();
      return true;
    }
  }
  DebugTrace("ReceiveData", "The driver did not complete a cancelled read");
  m_bGaveUpOnRead = true;
  return false;
}

void ReceiveLoop::SignalCaughtUp() {
  if (m_bCaughtUp) return;
  m_bCaughtUp = true;
  SetEvent(m_port.m_hCaughtUpEvent.load());
}

ReceiveLoop::Pass ReceiveLoop::RunPass() {
  DebugTrace("ReceiveData", "Loop top");
  RepairWriteSideNowAndThen();

  // A read whose wait ran out in the previous pass is still the driver's: wait on for it
  // rather than issue a second read on the same slot.
  if (m_hReadInFlight != nullptr) {
    DebugTrace("ReceiveData", "Read still outstanding");
    return WaitForPendingRead();
  }
  if (!WaitForRoom()) return Pass::kNext;

  DebugTrace("ReceiveData-Jt3", "Entering ReadFile (PC)");
  const HANDLE readPort = TakeReadHandle();
  m_nBytesRead = 0;
  // The record is the driver's from the issue to the completion; it is set up only here,
  // while no read is outstanding on it.
  m_slot->overlapped.Offset = 0;
  m_slot->overlapped.OffsetHigh = 0;
  if (ReadFile(readPort, m_slot->buffer, kReadSlotSize, &m_nBytesRead, &m_slot->overlapped)) {
    GiveBackReadHandle();
    return ReadCompletedAtOnce();
  }
  const DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING) {
    const Pass pass = OnReadError(error, readPort);
    GiveBackReadHandle();
    return pass;
  }
  DebugTrace("ReadFile", "ERROR_IO_PENDING");
  m_hReadInFlight = readPort;
  return WaitForPendingRead();
}

// No read is issued while the buffer has no room for a whole one: the printer keeps its
// bytes, as USB flow control lets it, and nothing that arrives is dropped. A reader that
// takes bytes out signals the room event. False when this pass issues no read.
bool ReceiveLoop::WaitForRoom() {
  const CCBuffer* buffer = m_port.m_pCCBuffer.load();
  if (buffer->Capacity() - buffer->BytesAvailable() >= kReadSlotSize) {
    if (m_bWaitingForRoom) DebugTrace("ReceiveData", "Room in the receive buffer again");
    m_bWaitingForRoom = false;
    return true;
  }
  if (!m_bWaitingForRoom) DebugTrace("ReceiveData", "Receive buffer full: waiting for the reader");
  m_bWaitingForRoom = true;
  const HANDLE waitSet[2] = {m_port.m_QuitEvent.load(), m_port.m_hWakeEvent.load()};
  if (WaitForMultipleObjects(2, waitSet, FALSE, kPendingWaitMs) == WAIT_OBJECT_0) Stop();
  return false;
}

// A read that failed, at its issue or at its completion: a real driver queues every read,
// so the same errors arrive either way, and each is handled and paced alike. Nothing more
// comes from the printer for now, so an open waiting for the first read may go on.
ReceiveLoop::Pass ReceiveLoop::OnReadError(DWORD error, HANDLE failedOn) {
  SignalCaughtUp();
  if (!IsRemovalError(error)) GiveBackReadHandle();
  if (error == ERROR_HANDLE_EOF) {
    DebugTrace("ReadFile", "ERROR_HANDLE_EOF");
    PauseOrStop(kIdlePauseMs);
    return Pass::kNext;
  }
  if (IsRemovalError(error)) return OnRemoval(error, failedOn);
  return OnOtherError(error);
}

// An empty chunk is dumped and traced like any other, but announces nothing: signalling the
// data event for it would wake a waiting reader to an empty buffer each pass and keep its
// read from ever timing out on a printer whose driver completes idle reads at once.
ReceiveLoop::Pass ReceiveLoop::ReadCompletedAtOnce() {
  DebugTraceFormat("ReceiveData", "From2 ReceiveData nBytesRead=%d",
                   static_cast<int>(m_nBytesRead));
  DumpBytes("READ2", m_slot->buffer, static_cast<int>(m_nBytesRead), 12);
  m_nReopensInARow = 0;
  if (m_nBytesRead > 0) {
    Store(m_nBytesRead, nullptr, "2SetEvent(m_hPCLSDataEvent)",
          "2SetEvent(m_hPCLSDataEvent) returns error");
  } else {
    SignalCaughtUp();
  }
  DebugTrace("ReceiveData", "ReadFile No error");
  // Data keeps coming: read on at once, but still see a stop request.
  PauseOrStop(m_nBytesRead > 0 ? 0 : kIdlePauseMs);
  return Pass::kNext;
}

// Until the printer is known to have nothing more (a read has waited kCaughtUpMs), the wait
// is split, so that the caught-up event is set at that moment.
DWORD ReceiveLoop::WaitForCompletionOrQuit() {
  const HANDLE waitSet[2] = {m_slot->completion, m_port.m_QuitEvent.load()};
  if (!m_bCaughtUp) {
    const DWORD first = WaitForMultipleObjects(2, waitSet, FALSE, kCaughtUpMs);
    if (first != WAIT_TIMEOUT) return first;
    SignalCaughtUp();
    return WaitForMultipleObjects(2, waitSet, FALSE, kPendingWaitMs - kCaughtUpMs);
  }
  return WaitForMultipleObjects(2, waitSet, FALSE, kPendingWaitMs);
}

ReceiveLoop::Pass ReceiveLoop::WaitForPendingRead() {
  DebugTrace("ReceiveData", "WaitForMultipleObjects start");
  const DWORD result = WaitForCompletionOrQuit();
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
  if (!GetOverlappedResult(m_hReadInFlight, &m_slot->overlapped, &m_nBytesRead, FALSE)) {
    const DWORD error = GetLastError();
    DebugTrace("ReceiveData", "***Problem with GetOverlappedResult");
    DebugTrace("ReceiveData", error == ERROR_HANDLE_EOF ? "ERROR_HANDLE_EOF" : "default");
    // Still the driver's: waited on in the next pass. A printer that lets a read wait is
    // present and idle.
    if (error == ERROR_IO_INCOMPLETE || !ReadInFlightHasCompleted()) {
      m_nReopensInARow = 0;
      return Pass::kNext;
    }
    // The read has ended with an error; whatever it transferred before is kept, and the
    // error is handled as if the read had failed at once, pause included.
    const HANDLE failedOn = m_hReadInFlight;
    m_hReadInFlight = nullptr;
    if (m_nBytesRead > 0) {
      Store(m_nBytesRead, "READ1", "1SetEvent(m_hPCLSDataEvent)",
            "1SetEvent(m_hPCLSDataEvent) returns error");
    }
    const Pass pass = OnReadError(error, failedOn);
    GiveBackReadHandle();
    return pass;
  }
  m_hReadInFlight = nullptr;
  GiveBackReadHandle();
  m_nReopensInARow = 0;

  if (!ResetEvent(m_slot->completion)) {
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
    // The wait reports the lowest signalled index, so a read that had completed already hid
    // a stop request; and a device with a backlog completes every read at once.
    PauseOrStop(0);
  } else {
    // An empty packet, after the read went pending: the printer is idle, and is paced as
    // an idle read that completes at once is.
    DebugTrace("ReceiveData", "False positive, no data");
    SignalCaughtUp();
    PauseOrStop(kIdlePauseMs);
  }
  return Pass::kNext;
}

// The printer has gone (or its handle was never opened): find it again and reopen. While it
// stays away the next attempt waits half a second; a printer that is found but fails its
// reads again straight after a reopen is reopened a few times a second at most. A read that
// failed on a handle that an application's open has replaced since reopens nothing: the
// open found the printer, and the next pass reads on its handle.
ReceiveLoop::Pass ReceiveLoop::OnRemoval(DWORD error, HANDLE failedOn) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
      DebugTrace("ReceiveData", "ERROR_ACCESS_DENIED Error");
      break;
    case ERROR_INVALID_HANDLE:
      DebugTrace("ReceiveData", "ERROR_INVALID_HANDLE Error");
      break;
    case ERROR_FILE_NOT_FOUND:
      if (g_bFileNotFoundLogged.exchange(1) == 0) DebugTrace("ReceiveData", "File not found????");
      break;
    default:
      DebugTraceFormat("ReceiveData", "Device removed: dwError = %d", static_cast<int>(error));
      break;
  }
  DebugTrace("ReceiveData", "Calling ReopenCom");
  bool foundNothing = false;
  const std::int32_t reopened = m_port.ReopenCom(failedOn, &foundNothing);
  GiveBackReadHandle();
  DebugTrace("ReceiveData", reopened ? "Setting PCLSPowerStatus TRUE"
                                     : "Setting PCLSPowerStatus FALSE");
  if (error == ERROR_INVALID_HANDLE) DebugTrace("ReceiveData", "ERROR_INVALID_HANDLE Error");
  const char* stopText = error == ERROR_ACCESS_DENIED ? "Terminating Read Thread(EAD)"
                                                      : "Terminating Read Thread(EIH)";
  if (foundNothing && ReadHandleWasReopened()) {
    // Found nothing, yet an open has found the printer since: the next pass reads on the
    // open's handle at once.
    DebugTrace("ReceiveData", "Read handle reopened by an open");
    PauseOrStop(0, stopText);
    return Pass::kNext;
  }
  if (!m_port.PrinterIsAway()) {
    PauseOrStop(++m_nReopensInARow > 1 ? kReopenAgainPauseMs : 0, stopText);
    return Pass::kNext;
  }
  PauseWhileAway(stopText);
  return Pass::kNext;
}

// The pause before the next look for a printer that is away: half a second, or 100 ms from
// the moment a write has found the printer gone (a till printing after the replug). An open
// that found the printer and installed a read handle meanwhile ends the pause at once: the
// next pass reads on that handle.
void ReceiveLoop::PauseWhileAway(const char* stopText) {
  const HANDLE waitSet[2] = {m_port.m_QuitEvent.load(), m_port.m_hWakeEvent.load()};
  DWORD started = GetTickCount();
  DWORD length = kPrinterAwayPauseMs;
  for (DWORD waited = 0; waited < length; waited = GetTickCount() - started) {
    const DWORD woken = WaitForMultipleObjects(2, waitSet, FALSE, length - waited);
    if (woken == WAIT_OBJECT_0) {
      Stop(stopText);
      return;
    }
    if (woken != WAIT_OBJECT_0 + 1) return;
    if (ReadHandleWasReopened()) {
      DebugTrace("ReceiveData", "Read handle reopened by an open");
      return;
    }
    if (length != kPromptedPauseMs) {
      started = GetTickCount();
      length = kPromptedPauseMs;
    }
  }
}

// While the printer is away the member holds INVALID_HANDLE_VALUE (or, for a moment, null):
// any other value is a handle an open installed.
bool ReceiveLoop::ReadHandleWasReopened() const {
  const HANDLE readPort = m_port.m_hReadPort.Get();
  return readPort != nullptr && readPort != INVALID_HANDLE_VALUE;
}

// An unlisted error: cancel, pause and read again at once. Only the quit event ends this
// cycle, which is why the retry does not look at m_bReading.
ReceiveLoop::Pass ReceiveLoop::OnOtherError(DWORD error) {
  DebugTraceFormat("Default case", " dwError = %d", static_cast<int>(error));
  const HANDLE quit = m_port.m_QuitEvent.load();
  if (WaitForSingleObject(quit, kOtherErrorWaitMs) == WAIT_OBJECT_0) {
    DebugTrace("ReceiveData", "Terminating Read Thread(EIH)");
    CancelIo(m_port.m_hReadPort.Get());
    Stop();
    return Pass::kNext;
  }
  CancelIo(m_port.m_hReadPort.Get());
  if (WaitForSingleObject(quit, kOtherErrorPauseMs) == WAIT_OBJECT_0) {
    Stop();
    return Pass::kNext;
  }
  DebugTrace("ReceiveData", "default error - doing Cancel I/O and making retry attempt");
  return Pass::kRetryAtOnce;
}

// Looks at the quit event (waiting up to `milliseconds`) at the end of a pass that did not
// wait on it otherwise, and stops like the other stop paths when it is set.
void ReceiveLoop::PauseOrStop(DWORD milliseconds, const char* stopText) {
  if (WaitForSingleObject(m_port.m_QuitEvent.load(), milliseconds) != WAIT_OBJECT_0) return;
  Stop(stopText);
}

// `stopText` names the path that stopped, as the traces of the error paths do.
void ReceiveLoop::Stop(const char* stopText) {
  m_port.m_bReading = 0;
  if (stopText != nullptr) {
    DebugTrace("ReceiveData", stopText);
  } else {
    DebugTrace("ReadFile", "Quit event fires");
    DebugTrace("ReceiveData", "SetEvent(m_ReadThreadTerminated)");
  }
  SetEvent(m_port.m_ReadThreadTerminated.load());
}

// The read side works (its handle is open) while the write side does not: the write handle
// is reopened on the same printer, without waiting for a read error that may never come.
void ReceiveLoop::RepairWriteSideNowAndThen() {
  const DWORD now = GetTickCount();
  if (m_bWriteRepairLooked && now - m_dwLastWriteRepair < kWriteRepairIntervalMs) return;
  const HANDLE readPort = m_port.m_hReadPort.Get();
  if (readPort == nullptr || readPort == INVALID_HANDLE_VALUE) return;
  m_bWriteRepairLooked = true;
  m_dwLastWriteRepair = now;
  m_port.RepairWriteHandle();
}

HANDLE ReceiveLoop::TakeReadHandle() {
  GiveBackReadHandle();  // one a pass that failed part way kept
  m_hReadInUse = m_port.m_hReadPort.Acquire(&m_bReadInUseCounted);
  return m_hReadInUse;
}

// A handle given up meanwhile (by a recovery or an open) is closed here, by its last user.
void ReceiveLoop::GiveBackReadHandle() {
  if (m_bReadInUseCounted) TheHandleLedger().Release(m_hReadInUse);
  m_bReadInUseCounted = false;
  m_hReadInUse = nullptr;
}

// Cancels the read in flight and waits for it to complete: until then the driver may still
// write into the slot. Bytes it transferred before the cancel are appended like any others.
void ReceiveLoop::CancelAndCollectRead() {
  if (!FinishReadInFlight()) return;
  if (m_nBytesRead > 0) {
    DebugTraceFormat("ReceiveData", "From1 ReceiveData nBytesRead=%d",
                     static_cast<int>(m_nBytesRead));
    Store(m_nBytesRead, "READ1", "1SetEvent(m_hPCLSDataEvent)",
          "1SetEvent(m_hPCLSDataEvent) returns error");
  }
}

// Appends a chunk and announces it. A read is only issued with room for all it can bring,
// so the whole chunk fits; should it ever not, the loss is traced.
void ReceiveLoop::Store(DWORD bytes, const char* dumpName, const char* setText,
                        const char* setErrorText) {
  if (dumpName != nullptr) DumpBytes(dumpName, m_slot->buffer, static_cast<int>(bytes), 12);
  const std::uint32_t stored = m_port.m_pCCBuffer.load()->Write(m_slot->buffer, bytes);
  if (stored < bytes) {
    DebugTraceFormat("ReceiveData", "Receive buffer full: %d bytes dropped",
                     static_cast<int>(bytes - stored));
  }
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
  // quit event outlives the worker: a close frees it only once the done event is set, the
  // worker's last touch of the port object.
  SetEvent(comm->m_QuitEvent.load());
  SetEvent(comm->m_hWorkerDone.load());
  return static_cast<DWORD>(result);
}
