#include "support/PipelineHarness.h"

#include <hostwin/hostwin.h>

#include <thread>

#include "comm/PipePath.h"
#include "support/ReadPipelineSetup.h"
#include "support/TraceLines.h"

PipelineHarness::PipelineHarness(int driverKind) : m_port(new CUsbComm()) {
  PrepareReadPipeline(*m_port, driverKind);
}

PipelineHarness::~PipelineHarness() {
  if (!m_tornDown) TearDown();
}

void PipelineHarness::StartWorker() {
  HANDLE worker = CreateThread(nullptr, 0, _ReceiveData, m_port.get(), CREATE_SUSPENDED, nullptr);
  m_port->m_hWorkerThread = worker;
  ResumeThread(worker);
}

void PipelineHarness::OpenWritePipe() {
  CUsbComm probe;
  probe.m_nUsbType = m_port->m_nUsbType.load();
  m_port->m_hWritePort.Replace(probe.OpenPipe(probe.m_nUsbType.load(), kOutputPipe));
  m_port->SetWriteDevice(probe.m_szDeviceName);
}

std::int32_t PipelineHarness::TearDown() {
  m_tornDown = true;
  return m_port->TearDownReceivePipeline(true);
}

void PipelineHarness::Collect() {
  for (std::string& line : hostwin::TakeDebugOutput()) {
    m_collected.push_back(WithoutLineNumber(line));
  }
}

std::vector<std::string> PipelineHarness::Take() {
  Collect();
  std::vector<std::string> fresh(m_collected.begin() + static_cast<std::ptrdiff_t>(m_taken),
                                 m_collected.end());
  m_taken = m_collected.size();
  return fresh;
}

bool PipelineHarness::WaitForTrace(const std::string& line, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    Collect();
    if (IndexOf(m_collected, line, static_cast<int>(m_taken)) >= 0) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

std::vector<unsigned char> PipelineHarness::ReadBytes(std::size_t count,
                                                      std::chrono::milliseconds timeout) {
  std::vector<unsigned char> bytes;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  unsigned char chunk[256];
  while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
    std::uint32_t got = 0;
    const std::size_t want = std::min(sizeof chunk, count - bytes.size());
    if (m_port->GetPCLSData(chunk, static_cast<std::int32_t>(want), &got, 100)) {
      bytes.insert(bytes.end(), chunk, chunk + got);
    }
  }
  return bytes;
}

BOOL PipelineHarness::Write(const void* data, DWORD size, DWORD* error) {
  SharedHandleUse port(m_port->m_hWritePort);
  DWORD written = 0;
  const BOOL ok = WriteFile(port.get(), data, size, &written, nullptr);
  *error = ok ? 0 : GetLastError();
  return ok;
}
