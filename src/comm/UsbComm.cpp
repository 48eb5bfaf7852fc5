#include "comm/UsbComm.h"

CUsbComm& g_UsbComm = *new CUsbComm();
char g_szPipePath[kDeviceNameSize];
char g_szTraceLine[128];

// The device name starts empty rather than undefined: a short-lived probe object is then
// never read uninitialised, whatever a failed search left in it.
CUsbComm::CUsbComm()
    : m_nUsbType(kNativeUsb), m_szDeviceName{}, m_QuitEvent(nullptr),
      m_ReadThreadTerminated(nullptr), m_hPCLSDataEvent(nullptr), m_bReading(0),
      m_pCCBuffer(nullptr), m_hReadPort(), m_hWritePort(), m_bHandlesValid(0),
      m_hWorkerThread(nullptr) {}

// Releases nothing: handles, events, the buffer and the worker are released only by closing
// a pipe and by handle recovery, and whatever is open at process exit stays with the process.
CUsbComm::~CUsbComm() = default;

// Passes the reader gate, so a close cannot free the buffer while it is being asked.
std::uint32_t CUsbComm::BytesAvailable() {
  ReaderPass pass(m_readers);
  if (!pass.admitted()) return 0;
  const CCBuffer* buffer = m_pCCBuffer.load();
  return buffer == nullptr ? 0 : buffer->BytesAvailable();
}
