// Recovery of lost device handles: the receive worker calls ReopenCom after a read failed
// with ERROR_ACCESS_DENIED or ERROR_INVALID_HANDLE (a printer that was unplugged, switched
// off, or whose handle was never opened).
#include <windows.h>

#include "comm/UsbComm.h"
#include "trace/DebugTrace.h"

namespace {

HANDLE OpenDevicePath(const char* path, DWORD flags) {
  return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     nullptr, OPEN_EXISTING, flags, nullptr);
}

}  // namespace

// Both handles are reopened on the bare interface path. The search runs afresh every time,
// so a printer that comes back under another path is found again. Only a path that the
// search accepted as a supported printer is opened: what the name buffer holds after a
// failed search is an old path, an empty one, or that of an interface that refused its
// open, and none of those is this printer now. A write that is still using the old write
// handle keeps it open until it returns (SharedHandle).
//
// The worker runs only for a Printer Class read pipe, so that is the driver kind searched,
// whatever kind a later probe may have stored for the next open. A later probe that gave
// the port to a printer on the maker's driver also let an open put that printer's write
// handle into the port: that handle is not this pipeline's, and recovery leaves it alone,
// so that writes to the printer now served keep working while the pipeline waits for its
// own printer. An open that installs a write handle while recovery runs keeps it too.
std::int32_t CUsbComm::ReopenCom() {
  DebugTrace("ReopenCom", "Invalidate Handles");
  m_bHandlesValid = 0;
  const HANDLE heldWrite = m_hWritePort.Get();
  const bool writeIsAnotherPrinters = m_nUsbType.load() != kPrinterClassUsb &&
                                      heldWrite != nullptr && heldWrite != INVALID_HANDLE_VALUE;
  if (!writeIsAnotherPrinters) m_hWritePort.ReplaceIf(heldWrite, nullptr);
  m_hReadPort.Replace(nullptr);

  const bool found =
      FindDevice(kPrinterClassUsb, m_szDeviceName, static_cast<std::int32_t>(kDeviceNameSize)) != 0;

  const HANDLE readPort =
      found ? OpenDevicePath(m_szDeviceName, FILE_FLAG_OVERLAPPED) : INVALID_HANDLE_VALUE;
  if (readPort == INVALID_HANDLE_VALUE) {
    DebugTrace("ReopenCom - CreateFile", " h = INVALID_HANDLE_VALUE");
  }
  m_hReadPort.Replace(readPort);

  if (writeIsAnotherPrinters) {
    if (readPort != INVALID_HANDLE_VALUE) m_bHandlesValid = 1;
  } else {
    // Purged before it is installed, so nobody else can have closed it in between.
    const HANDLE writePort = found ? OpenDevicePath(m_szDeviceName, 0) : INVALID_HANDLE_VALUE;
    if (writePort != INVALID_HANDLE_VALUE) {
      PurgeComm(writePort, PURGE_TXCLEAR);
      PurgeComm(writePort, PURGE_RXCLEAR);
    }
    if (m_hWritePort.ReplaceIf(nullptr, writePort) && writePort != INVALID_HANDLE_VALUE) {
      m_bHandlesValid = 1;
    }
  }
  DebugTrace("ReopenCom", m_bHandlesValid.load() ? "Handles Valid" : "Handles Invalid");
  return m_bHandlesValid.load();
}
