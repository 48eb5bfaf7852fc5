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
// so a printer that comes back under another path is found again; when it finds nothing
// the opens are still tried on whatever the name buffer holds. A write that is still using
// the old write handle keeps it open until it returns (SharedHandle).
std::int32_t CUsbComm::ReopenCom() {
  DebugTrace("ReopenCom", "Invalidate Handles");
  m_bHandlesValid = 0;
  m_hWritePort.Replace(nullptr);
  m_hReadPort.Replace(nullptr);

  FindDevice(m_nUsbType.load(), m_szDeviceName, static_cast<std::int32_t>(kDeviceNameSize));

  if (m_nUsbType.load() == kPrinterClassUsb) {
    const HANDLE readPort = OpenDevicePath(m_szDeviceName, FILE_FLAG_OVERLAPPED);
    if (readPort == INVALID_HANDLE_VALUE) {
      DebugTrace("ReopenCom - CreateFile", " h = INVALID_HANDLE_VALUE");
    }
    m_hReadPort.Replace(readPort);
  } else {
    // Another driver kind has no reader on this handle: nothing would ever use it, so it is
    // not kept.
    const HANDLE unused = OpenDevicePath(m_szDeviceName, 0);
    DebugTrace("usbInitPipe", "IDNATIVETYPE");
    if (unused != INVALID_HANDLE_VALUE) CloseHandle(unused);
  }

  // Purged before it is installed, so nobody else can have closed it in between.
  const HANDLE writePort = OpenDevicePath(m_szDeviceName, 0);
  if (writePort != INVALID_HANDLE_VALUE) {
    PurgeComm(writePort, PURGE_TXCLEAR);
    PurgeComm(writePort, PURGE_RXCLEAR);
  }
  m_hWritePort.Replace(writePort);
  if (writePort != INVALID_HANDLE_VALUE) m_bHandlesValid = 1;
  DebugTrace("ReopenCom", m_bHandlesValid.load() ? "Handles Valid" : "Handles Invalid");
  return m_bHandlesValid.load();
}
