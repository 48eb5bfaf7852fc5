#include "support/BenchPipeline.h"

#include <benchmark/benchmark.h>
#include <hostwin/hostwin.h>
#include <printersim/printersim.h>
#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "support/ReadPipelineSetup.h"
#include "comm/SupportedPrinters.h"

int AttachBenchPrinter(int readMode) {
  printersim::Reset();
  hostwin::ClearFaults();
  hostwin::ClearDebugOutput();
  const int id = printersim::Attach(printersim::kPrinterClassDriver,
                                    kSupportedPrinters[0].vendorId,
                                    kSupportedPrinters[0].productId);
  printersim::SetReadMode(id, readMode);
  return id;
}

// What the worker's entry hands back to the benchmark thread. `clock` is written before
// `running` is set and read only after it was seen; `returnedNs` is written once, by the
// worker, after _ReceiveData returned.
struct BenchPipeline::WorkerStart {
  CUsbComm* port = nullptr;
  HANDLE running = nullptr;  // manual-reset event
  clockid_t clock{};
  std::atomic<std::int64_t> returnedNs{0};
};

BenchPipeline::BenchPipeline() : m_port(new CUsbComm()), m_start(new WorkerStart()) {
  if (!PrepareReadPipeline(*m_port)) {
    throw std::runtime_error("no simulated printer class printer found");
  }
  m_start->port = m_port.get();
  m_start->running = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

BenchPipeline::~BenchPipeline() {
  if (!m_tornDown) TearDown();
  CloseHandle(m_start->running);
}

DWORD WINAPI BenchPipeline::WorkerEntry(LPVOID parameter) {
  auto* start = static_cast<WorkerStart*>(parameter);
  pthread_getcpuclockid(pthread_self(), &start->clock);
  SetEvent(start->running);
  const DWORD result = _ReceiveData(start->port);
  start->returnedNs.store(
      std::chrono::duration_cast<std::chrono::nanoseconds>(BenchClock::now().time_since_epoch())
          .count());
  return result;
}

void BenchPipeline::StartWorker() {
  HANDLE worker = CreateThread(nullptr, 0, WorkerEntry, m_start.get(), CREATE_SUSPENDED, nullptr);
  if (worker == nullptr) throw std::runtime_error("CreateThread failed");
  m_port->m_hWorkerThread = worker;
  ResumeThread(worker);
  WaitForSingleObject(m_start->running, INFINITE);
}

std::chrono::nanoseconds BenchPipeline::WorkerCpuTime() const {
  timespec now{};
  clock_gettime(m_start->clock, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

BenchClock::time_point BenchPipeline::WorkerReturnedAt() const {
  return BenchClock::time_point(std::chrono::nanoseconds(m_start->returnedNs.load()));
}

std::int32_t BenchPipeline::TearDown() {
  m_tornDown = true;
  return m_port->TearDownReceivePipeline(true);
}

LatencySummary Summarize(std::vector<std::int64_t> samplesNs) {
  LatencySummary summary;
  if (samplesNs.empty()) return summary;
  std::sort(samplesNs.begin(), samplesNs.end());
  const auto at = [&samplesNs](double fraction) {
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(samplesNs.size() - 1));
    return static_cast<double>(samplesNs[index]) / 1000.0;
  };
  summary.medianUs = at(0.5);
  summary.p99Us = at(0.99);
  summary.maxUs = static_cast<double>(samplesNs.back()) / 1000.0;
  return summary;
}

int RunBenchmarks(int argc, char** argv) {
  unsetenv("HOSTWIN_DEBUG_OUTPUT");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  printersim::Reset();
  return 0;
}
