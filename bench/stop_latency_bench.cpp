// Time from the quit event being set to the worker thread having ended, as a close stops
// the worker (SetEvent on the quit event, then a wait on the worker's thread handle), for a
// worker idle in its wait on a pending read and for one in the idle pause that follows a
// read completing at once with 0 bytes. Each sample is a fresh pipeline; median, 99th
// percentile and maximum over the samples. "returned" is the moment the worker's
// _ReceiveData came back, before the thread handle was signalled and the wait woke.
//
// A second variant times the whole close teardown (TearDownReceivePipeline: stop, wait,
// release of the thread handle, buffer, events and both device handles).
#include <benchmark/benchmark.h>
#include <printersim/printersim.h>

#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "support/BenchPipeline.h"

namespace {

using namespace std::chrono_literals;

constexpr int kSamples = 200;
constexpr std::int64_t kStopOnly = 0;
constexpr std::int64_t kWholeTeardown = 1;

std::int64_t Ns(BenchClock::duration d) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
}

void BM_StopLatency(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));
  const bool wholeTeardown = state.range(1) == kWholeTeardown;
  state.SetLabel(std::string(mode == printersim::kReadsPendUntilData ? "pending wait"
                                                                     : "idle pause") +
                 (wholeTeardown ? ", TearDownReceivePipeline" : ", SetEvent + thread wait"));
  std::vector<std::int64_t> ended;
  std::vector<std::int64_t> returned;
  for (auto _ : state) {
    for (int i = 0; i < kSamples; ++i) {
      const int printer = AttachBenchPrinter(mode);
      BenchPipeline pipeline;
      pipeline.StartWorker();
      const bool idle = mode == printersim::kReadsPendUntilData
                            ? printersim::WaitForPendingRead(printer, 10s)
                            : printersim::WaitForReadsIssued(printer, 2, 10s);
      if (!idle) {
        state.SkipWithError("the worker did not settle");
        return;
      }
      // The worker has issued its read; a few milliseconds more put it inside its wait
      // (500 ms) or its pause (20 ms) when the stop comes.
      std::this_thread::sleep_for(5ms);

      const auto start = BenchClock::now();
      if (wholeTeardown) {
        pipeline.TearDown();
      } else {
        SetEvent(pipeline.port().m_QuitEvent.load());
        WaitForSingleObject(pipeline.worker(), INFINITE);
      }
      const auto end = BenchClock::now();
      ended.push_back(Ns(end - start));
      returned.push_back(Ns(pipeline.WorkerReturnedAt() - start));
    }
  }
  const LatencySummary summary = Summarize(ended);
  const LatencySummary returnedSummary = Summarize(returned);
  state.counters["samples"] = static_cast<double>(ended.size());
  state.counters["median_us"] = summary.medianUs;
  state.counters["p99_us"] = summary.p99Us;
  state.counters["max_us"] = summary.maxUs;
  state.counters["returned_median_us"] = returnedSummary.medianUs;
}
BENCHMARK(BM_StopLatency)
    ->Args({printersim::kReadsPendUntilData, kStopOnly})
    ->Args({printersim::kReadsCompleteAtOnce, kStopOnly})
    ->Args({printersim::kReadsPendUntilData, kWholeTeardown})
    ->Args({printersim::kReadsCompleteAtOnce, kWholeTeardown})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return RunBenchmarks(argc, argv); }
