// The waiting read: hands bytes from the ring buffer to a caller, waiting a bounded time
// for the worker to append more.
#include <windows.h>

#include "comm/UsbComm.h"
#include "trace/DebugTrace.h"

namespace {

// A read waits at most this long in all, whatever the caller's wait argument says, and also
// when other readers take the bytes it was woken for.
constexpr DWORD kDataWaitMs = 500;

// Why a read ends with nothing, as the thread's last error tells it: the wait ran out on a
// printer that is there, or on one that has gone and not come back yet.
DWORD NothingCameError(const CUsbComm& port) {
  return port.PrinterIsAway() ? static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED)
                              : static_cast<DWORD>(ERROR_TIMEOUT);
}

}  // namespace

// The data event is reset before the buffer is looked at, so bytes appended after the take
// are announced by an event that the following wait sees. Each take makes room, which the
// worker, when it waits for room, is told of.
BOOL CUsbComm::GetPCLSData(void* destination, std::int32_t maxBytes, std::uint32_t* count,
                           std::int32_t waitMs) {
  DebugTraceFormat("GetPCLSData", "nNumberOfBytesToRead=%d wait:%ld", maxBytes,
                   static_cast<long>(waitMs));
  // A negative size would turn into a huge unsigned length: take nothing instead.
  const std::uint32_t length = maxBytes > 0 ? static_cast<std::uint32_t>(maxBytes) : 0;
  BOOL result = FALSE;
  DWORD failure = ERROR_TIMEOUT;

  // Nothing fits into no room: answering at once keeps such a call from waking again for
  // every byte that arrives, for as long as the printer keeps sending.
  if (length == 0) {
    DebugTrace("GetPCLSData", "exit");
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }

  ReaderPass pass(m_readers);
  // The pass keeps the buffer alive until it ends. Without a buffer (the pipeline is being
  // torn down, or its bring-up failed before the buffer was made) there is nothing to take
  // and no worker that could add to it.
  CCBuffer* const buffer = pass.admitted() ? m_pCCBuffer.load() : nullptr;
  if (buffer == nullptr) {
    DebugTrace("GetPCLSData", "exit");
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }

  const DWORD started = GetTickCount();
  for (bool again = true; again;) {
    again = false;
    const HANDLE dataEvent = m_hPCLSDataEvent.load();
    const HANDLE quitEvent = m_QuitEvent.load();
    if (!ResetEvent(dataEvent)) {
      DebugTrace("GetPCLSData", "ResetEvent failed");
      failure = GetLastError();
      break;
    }
    DebugTrace("GetPCLSData", "ResetEvent succeeded");

    const std::uint32_t taken = buffer->Read(destination, length, count);
    DebugTraceFormat("GetPCLSData", "nBytes1 = %d", static_cast<int>(taken));
    if (taken > 0) {
      result = TRUE;
      break;
    }

    const DWORD waited = GetTickCount() - started;
    const DWORD remaining = waited < kDataWaitMs ? kDataWaitMs - waited : 0;
    DebugTrace("GetPCLSData", "Before WaitForMultipleObjects");
    const HANDLE waitSet[2] = {dataEvent, quitEvent};
    const DWORD outcome = WaitForMultipleObjects(2, waitSet, FALSE, remaining);
    DebugTrace("GetPCLSData", "WaitForMultipleObjects returned");
    DebugTrace("GetPCLSData", "After WaitForMultipleObjects");

    if (outcome == WAIT_OBJECT_0) {
      const std::uint32_t more = buffer->Read(destination, length, count);
      DebugTraceFormat("GetPCLSData", "nBytes2 = %d", static_cast<int>(more));
      result = TRUE;
      if (more > 0) {
        *count = more;
      } else {
        // Another reader took the bytes first: wait again, for what is left of the time.
        DebugTrace("GetPCLSData", "Zero bytes read; resetting m_hPCLSDataEvent");
        result = FALSE;
        again = true;
      }
    } else if (outcome == WAIT_OBJECT_0 + 1) {
      SetEvent(m_ReadThreadTerminated.load());
      m_bReading = 0;
      failure = ERROR_OPERATION_ABORTED;
    } else if (outcome == WAIT_TIMEOUT) {
      DebugTrace("GetPCLSData", "Timeout");
      failure = NothingCameError(*this);
    } else {
      DebugTrace("GetPCLSData", "default");
      failure = GetLastError();
    }
  }
  if (result) SetEvent(m_hWakeEvent.load());
  DebugTrace("GetPCLSData", "exit");
  if (!result) SetLastError(failure);
  return result;
}

std::uint32_t CUsbComm::DiscardReceived(std::uint32_t maxBytes) {
  ReaderPass pass(m_readers);
  CCBuffer* const buffer = pass.admitted() ? m_pCCBuffer.load() : nullptr;
  if (buffer == nullptr) return 0;
  BYTE scratch[256];
  std::uint32_t discarded = 0;
  while (discarded < maxBytes) {
    std::uint32_t count = 0;
    const std::uint32_t wanted = maxBytes - discarded < sizeof scratch ? maxBytes - discarded
                                                                       : sizeof scratch;
    const std::uint32_t taken = buffer->Read(scratch, wanted, &count);
    if (taken == 0) break;
    discarded += taken;
  }
  if (discarded > 0) SetEvent(m_hWakeEvent.load());
  return discarded;
}

// Passes the reader gate, so that the event is never set after a close has freed it (and
// Windows has handed its value to someone else).
void CUsbComm::PromptWorker() {
  ReaderPass pass(m_readers);
  if (pass.admitted()) SetEvent(m_hWakeEvent.load());
}
