// A receive pipeline on a simulated printer class printer, brought up the way opening a
// read pipe does (overlapped read handle, three events, a 4096-byte ring buffer, worker
// thread created suspended and resumed), for the benchmarks. The worker runs the library's
// own _ReceiveData, started through a small entry of ours that first notes the thread's
// CPU clock and, when _ReceiveData has returned, the moment it did.
#ifndef VANTORY_BENCH_BENCHPIPELINE_H
#define VANTORY_BENCH_BENCHPIPELINE_H

#include <windows.h>

#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include "comm/UsbComm.h"

using BenchClock = std::chrono::steady_clock;

// A fresh simulator with one supported printer class printer in the given read mode
// (printersim::kReadsPendUntilData or kReadsCompleteAtOnce); its printer id.
int AttachBenchPrinter(int readMode);

class BenchPipeline {
 public:
  BenchPipeline();  // finds the attached printer and opens its input pipe; no worker yet
  ~BenchPipeline();  // tears down as the close does, if not done yet
  BenchPipeline(const BenchPipeline&) = delete;
  BenchPipeline& operator=(const BenchPipeline&) = delete;

  CUsbComm& port() { return *m_port; }

  // Starts the worker and returns once it runs and its CPU clock is known.
  void StartWorker();
  // The worker thread's CPU time so far; only while the worker runs.
  std::chrono::nanoseconds WorkerCpuTime() const;
  HANDLE worker() const { return m_port->m_hWorkerThread.load(); }
  // When the worker's _ReceiveData returned; the epoch while it has not.
  BenchClock::time_point WorkerReturnedAt() const;

  // The close's teardown (stop, wait for the worker, release); its result.
  std::int32_t TearDown();

 private:
  struct WorkerStart;
  static DWORD WINAPI WorkerEntry(LPVOID start);

  std::unique_ptr<CUsbComm> m_port;
  std::unique_ptr<WorkerStart> m_start;
  bool m_tornDown = false;
};

// Median, 99th percentile and maximum of samples in nanoseconds, as microseconds.
struct LatencySummary {
  double medianUs = 0;
  double p99Us = 0;
  double maxUs = 0;
};
LatencySummary Summarize(std::vector<std::int64_t> samplesNs);

// The benchmarks' main: figures are of tracing into the stand-in's in-process debugger
// capture alone, so a HOSTWIN_DEBUG_OUTPUT file is switched off before anything traces.
int RunBenchmarks(int argc, char** argv);

#endif  // VANTORY_BENCH_BENCHPIPELINE_H
