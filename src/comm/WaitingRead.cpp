// The waiting read: hands bytes from the ring buffer to a caller, waiting a bounded time
// for the worker to append more.
#include <windows.h>

#include "comm/UsbComm.h"
#include "trace/DebugTrace.h"

namespace {

// Every wait lasts at most this long, whatever the caller's wait argument says.
constexpr DWORD kDataWaitMs = 500;

}  // namespace

// The data event is reset before the buffer is looked at, so bytes appended after the take
// are announced by an event that the following wait sees.
BOOL CUsbComm::GetPCLSData(void* destination, std::int32_t maxBytes, std::uint32_t* count,
                           std::int32_t waitMs) {
  DebugTraceFormat("GetPCLSData", "nNumberOfBytesToRead=%d wait:%ld", maxBytes,
                   static_cast<long>(waitMs));
  // A negative size would turn into a huge unsigned length: take nothing instead.
  const std::uint32_t length = maxBytes > 0 ? static_cast<std::uint32_t>(maxBytes) : 0;
  BOOL result = FALSE;

  // Nothing fits into no room: answering at once keeps such a call from waking again for
  // every byte that arrives, for as long as the printer keeps sending.
  if (length == 0) {
    DebugTrace("GetPCLSData", "exit");
    return FALSE;
  }

  ReaderPass pass(m_readers);
  // The pass keeps the buffer alive until it ends. Without a buffer (the pipeline is being
  // torn down, or its bring-up failed before the buffer was made) there is nothing to take
  // and no worker that could add to it.
  CCBuffer* const buffer = pass.admitted() ? m_pCCBuffer.load() : nullptr;
  if (buffer == nullptr) {
    DebugTrace("GetPCLSData", "exit");
    return FALSE;
  }

  for (bool again = true; again;) {
    again = false;
    const HANDLE dataEvent = m_hPCLSDataEvent.load();
    const HANDLE quitEvent = m_QuitEvent.load();
    if (!ResetEvent(dataEvent)) {
      DebugTrace("GetPCLSData", "ResetEvent failed");
      break;
    }
    DebugTrace("GetPCLSData", "ResetEvent succeeded");

    const std::uint32_t taken = buffer->Read(destination, length, count);
    DebugTraceFormat("GetPCLSData", "nBytes1 = %d", static_cast<int>(taken));
    if (taken > 0) {
      result = TRUE;
      break;
    }

    DebugTrace("GetPCLSData", "Before WaitForMultipleObjects");
    const HANDLE waitSet[2] = {dataEvent, quitEvent};
    const DWORD waited = WaitForMultipleObjects(2, waitSet, FALSE, kDataWaitMs);
    DebugTrace("GetPCLSData", "WaitForMultipleObjects returned");
    DebugTrace("GetPCLSData", "After WaitForMultipleObjects");

    if (waited == WAIT_OBJECT_0) {
      const std::uint32_t more = buffer->Read(destination, length, count);
      DebugTraceFormat("GetPCLSData", "nBytes2 = %d", static_cast<int>(more));
      result = TRUE;
      if (more > 0) {
        *count = more;
      } else {
        // Another reader took the bytes first: wait again.
        DebugTrace("GetPCLSData", "Zero bytes read; resetting m_hPCLSDataEvent");
        again = true;
      }
    } else if (waited == WAIT_OBJECT_0 + 1) {
      SetEvent(m_ReadThreadTerminated.load());
      m_bReading = 0;
      result = FALSE;
    } else if (waited == WAIT_TIMEOUT) {
      DebugTrace("GetPCLSData", "Timeout");
      result = FALSE;
    } else {
      DebugTrace("GetPCLSData", "default");
      result = FALSE;
    }
  }
  DebugTrace("GetPCLSData", "exit");
  return result;
}
