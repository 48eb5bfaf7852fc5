// CPU time the receive worker uses per second of wall time on an idle printer, in both
// read modes of the simulated printer class driver: reads that pend until data (the worker
// sits in its bounded wait and wakes every 500 ms to wait again), and reads that complete
// at once with 0 bytes (the worker reads, traces and pauses on the quit event, again and
// again).
//
// Method: the worker is started through an entry of ours that takes its own thread's CPU
// clock id (pthread_getcpuclockid on pthread_self) before running the library's
// _ReceiveData; the benchmark thread reads that clock with clock_gettime at both ends of
// the interval, so only the worker's own time is counted. Over the same interval the
// benchmark thread sleeps, and the process CPU clock is read too: in the immediate mode the
// simulated driver's work runs on the worker thread, so the two agree unless something else
// in the process is busy.
#include <benchmark/benchmark.h>
#include <printersim/printersim.h>

#include <time.h>

#include <chrono>
#include <cstdint>
#include <thread>

#include "support/BenchPipeline.h"

namespace {

using namespace std::chrono_literals;

constexpr auto kInterval = 3s;

std::chrono::nanoseconds ProcessCpuTime() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

void BM_IdleWorkerCpu(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  state.SetLabel(mode == printersim::kReadsPendUntilData ? "reads pend until data"
                                                         : "reads complete at once, 0 bytes");
  double workerMsPerS = 0;
  double processMsPerS = 0;
  double readsPerS = 0;
  for (auto _ : state) {
    const int printer = AttachBenchPrinter(mode);
    BenchPipeline pipeline;
    pipeline.StartWorker();
    // Settled into its idle cycle: a read is pending, or a few idle reads have completed.
    const bool idle = mode == printersim::kReadsPendUntilData
                          ? printersim::WaitForPendingRead(printer, 10s)
                          : printersim::WaitForReadsIssued(printer, 3, 10s);
    if (!idle) {
      state.SkipWithError("the worker did not settle");
      break;
    }

    const std::uint64_t readsBefore = printersim::ReadsIssued(printer);
    const auto workerBefore = pipeline.WorkerCpuTime();
    const auto processBefore = ProcessCpuTime();
    const auto wallBefore = BenchClock::now();
    std::this_thread::sleep_for(kInterval);
    const auto wallAfter = BenchClock::now();
    const auto workerAfter = pipeline.WorkerCpuTime();
    const auto processAfter = ProcessCpuTime();
    const std::uint64_t readsAfter = printersim::ReadsIssued(printer);

    const std::chrono::duration<double> wall = wallAfter - wallBefore;
    state.SetIterationTime(wall.count());
    const std::chrono::duration<double, std::milli> worker = workerAfter - workerBefore;
    const std::chrono::duration<double, std::milli> process = processAfter - processBefore;
    workerMsPerS = worker.count() / wall.count();
    processMsPerS = process.count() / wall.count();
    readsPerS = static_cast<double>(readsAfter - readsBefore) / wall.count();
    pipeline.TearDown();
  }
  state.counters["worker_cpu_ms_per_s"] = workerMsPerS;
  state.counters["process_cpu_ms_per_s"] = processMsPerS;
  state.counters["reads_per_s"] = readsPerS;
}
BENCHMARK(BM_IdleWorkerCpu)
    ->Arg(printersim::kReadsPendUntilData)
    ->Arg(printersim::kReadsCompleteAtOnce)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return RunBenchmarks(argc, argv); }
