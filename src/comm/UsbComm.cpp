#include "comm/UsbComm.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "comm/DeviceIdentity.h"

CUsbComm& g_UsbComm = *new CUsbComm();
char g_szPipePath[kDeviceNameSize];
char g_szTraceLine[128];

// The device name starts empty rather than undefined: a short-lived probe object is then
// never read uninitialised, whatever a failed search left in it.
CUsbComm::CUsbComm()
    : m_nUsbType(kNativeUsb), m_szDeviceName{}, m_QuitEvent(nullptr),
      m_ReadThreadTerminated(nullptr), m_hPCLSDataEvent(nullptr), m_hWakeEvent(nullptr),
      m_hCaughtUpEvent(nullptr), m_hWorkerDone(nullptr), m_bReading(0), m_pCCBuffer(nullptr),
      m_hReadPort(), m_hWritePort(), m_bHandlesValid(0), m_hWorkerThread(nullptr),
      m_szPipelineDevice{}, m_szWriteDevice{} {}

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

void CUsbComm::SetPipelineDevice(const char* path) {
  DeviceIdentity identity;
  IdentityOfPath(path, identity);
  std::lock_guard<SlimLock> guard(m_deviceLock);
  std::memcpy(m_szPipelineDevice, identity, sizeof identity);
}

void CUsbComm::SetWriteDevice(const char* path) {
  DeviceIdentity identity;
  IdentityOfPath(path, identity);
  std::lock_guard<SlimLock> guard(m_deviceLock);
  std::memcpy(m_szWriteDevice, identity, sizeof identity);
}

void CUsbComm::CopyPipelineDevice(char* identity, std::size_t capacity) const {
  std::lock_guard<SlimLock> guard(m_deviceLock);
  std::snprintf(identity, capacity, "%s", m_szPipelineDevice);
}

bool CUsbComm::WriteBelongsToPipeline() const {
  std::lock_guard<SlimLock> guard(m_deviceLock);
  return m_szPipelineDevice[0] != '\0' && std::strcmp(m_szPipelineDevice, m_szWriteDevice) == 0;
}
