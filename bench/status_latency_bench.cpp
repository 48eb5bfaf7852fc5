// Latency of one status byte: from the printer sending it to GetPCLSData returning it to
// the reader, over 10,000 round trips; median and 99th percentile.
//
// Each round trip starts from an idle pipeline: the worker's read is pending on the
// printer and the reader is about to call GetPCLSData. The reader tells the printer thread
// so just before the call; the printer thread has to wake first, so the reader is usually
// inside its wait when the byte is sent (when it is not, it may find the byte already
// stored; the figure is still from the send to the return). The byte travels the whole
// path: the read completes on the printer thread, the worker wakes, stores the byte and
// signals the data event, the reader wakes and takes it.
#include <benchmark/benchmark.h>
#include <hostwin/hostwin.h>
#include <printersim/printersim.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "support/BenchPipeline.h"

namespace {

using namespace std::chrono_literals;

constexpr int kRoundTrips = 10000;

std::int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(BenchClock::now().time_since_epoch())
      .count();
}

void BM_StatusByteLatency(benchmark::State& state) {
  std::vector<std::int64_t> samples;
  samples.reserve(kRoundTrips);
  for (auto _ : state) {
    const int printer = AttachBenchPrinter(printersim::kReadsPendUntilData);
    BenchPipeline pipeline;
    pipeline.StartWorker();

    // The reader's "ready for the next byte" and the moment the printer sent it.
    const HANDLE readerReady = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<std::int64_t> sentAtNs{0};
    std::atomic<bool> printerFailed{false};
    std::thread printerThread([&] {
      const std::uint8_t status = 0x12;
      for (int i = 0; i < kRoundTrips; ++i) {
        if (WaitForSingleObject(readerReady, 10000) != WAIT_OBJECT_0 ||
            !printersim::WaitForPendingRead(printer, 10s)) {
          printerFailed = true;
          return;
        }
        sentAtNs = NowNs();
        printersim::Send(printer, &status, 1);
      }
    });

    int failures = 0;
    for (int i = 0; i < kRoundTrips && failures < 3; ++i) {
      std::uint8_t byte = 0;
      std::uint32_t count = 0;
      SetEvent(readerReady);
      if (!pipeline.port().GetPCLSData(&byte, 1, &count, 500) || count != 1) {
        ++failures;
        continue;
      }
      samples.push_back(NowNs() - sentAtNs.load());
      // The trace capture keeps the newest lines only; emptied now and then so that it
      // stays small, outside of any round trip.
      if (i % 1000 == 999) hostwin::ClearDebugOutput();
    }
    printerThread.join();
    CloseHandle(readerReady);
    pipeline.TearDown();
    if (printerFailed || failures > 0) {
      state.SkipWithError("a status byte did not arrive");
      break;
    }
  }
  const LatencySummary summary = Summarize(samples);
  state.counters["round_trips"] = static_cast<double>(samples.size());
  state.counters["median_us"] = summary.medianUs;
  state.counters["p99_us"] = summary.p99Us;
  state.counters["max_us"] = summary.maxUs;
}
BENCHMARK(BM_StatusByteLatency)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) { return RunBenchmarks(argc, argv); }
