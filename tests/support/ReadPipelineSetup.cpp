#include "support/ReadPipelineSetup.h"

#include <cstdio>

#include "comm/PipePath.h"

bool PrepareReadPipeline(CUsbComm& port, int driverKind) {
  port.m_nUsbType = driverKind;
  const bool found =
      port.FindDevice(driverKind, port.m_szDeviceName, static_cast<std::int32_t>(kDeviceNameSize)) != 0;
  char pipePath[kDeviceNameSize];
  std::snprintf(pipePath, sizeof pipePath, "%s", port.m_szDeviceName);
  AppendPipeName(pipePath, sizeof pipePath, kInputPipe);
  port.m_hReadPort.Replace(CreateFileA(pipePath, GENERIC_READ | GENERIC_WRITE,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
  port.m_bReading = 0;
  port.m_QuitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  port.m_ReadThreadTerminated = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  port.m_hPCLSDataEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  port.m_hWakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  port.m_hCaughtUpEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  port.m_hWorkerDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  port.m_pCCBuffer = new CCBuffer(12);
  if (found) port.SetPipelineDevice(port.m_szDeviceName);
  return found;
}
