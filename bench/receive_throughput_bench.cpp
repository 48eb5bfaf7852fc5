// Receive throughput: a printer class printer streams 16 MiB to the host, 64 bytes per
// read (the worker's read size), and a reader thread drains them through GetPCLSData, with
// every trace line going to the debugger capture as always. Reported in bytes per second
// and as a multiple of what a USB full-speed bulk pipe can carry (19 packets of 64 bytes
// per 1 ms frame: 1,216,000 bytes/s).
//
// The ring buffer holds 4096 bytes and drops what does not fit, so the printer is paced by
// the host, in one of two ways (the benchmark's argument):
//   /0 one read at a time: the feeder sends the next 64 bytes only when the worker's read
//      is pending on the printer and the buffer has room for them. Every chunk waits for a
//      wake-up of the feeder and one of the worker, as a device that answers each read
//      afresh.
//   /1 a 4096-byte window: the feeder keeps sending 64-byte pieces while what it has sent
//      and the reader has not yet taken stays within 4096 bytes (all the ring buffer can
//      hold, so nothing is dropped). The printer then mostly has bytes waiting when the
//      worker reads, and the reads complete at once: the pipeline's own capacity.
#include <benchmark/benchmark.h>
#include <hostwin/hostwin.h>
#include <printersim/printersim.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "support/BenchPipeline.h"

namespace {

using namespace std::chrono_literals;

constexpr std::size_t kStreamBytes = 16u << 20;
constexpr std::size_t kChunk = 64;
constexpr std::uint32_t kBufferBytes = 4096;
constexpr std::int32_t kReaderRequest = 4096;
constexpr double kFullSpeedBulkBytesPerSecond = 1216000.0;

std::uint8_t PatternByte(std::size_t offset) {
  return static_cast<std::uint8_t>((offset * 131) ^ (offset >> 8));
}

constexpr std::int64_t kOneReadAtATime = 0;
constexpr std::int64_t kWindow = 1;

void BM_ReceiveThroughput(benchmark::State& state) {
  const bool window = state.range(0) == kWindow;
  state.SetLabel(window ? "4096-byte window" : "one read at a time");
  std::int64_t mismatches = 0;
  double seconds = 0;
  for (auto _ : state) {
    const int printer = AttachBenchPrinter(printersim::kReadsPendUntilData);
    BenchPipeline pipeline;
    pipeline.StartWorker();
    if (!printersim::WaitForPendingRead(printer, 10s)) {
      state.SkipWithError("the worker issued no read");
      break;
    }
    std::atomic<bool> feederFailed{false};
    std::size_t received = 0;
    std::int64_t badBytes = 0;
    // The window's bookkeeping: bytes the reader has taken, guarded by takenLock.
    std::mutex takenLock;
    std::condition_variable takenChanged;
    std::size_t taken = 0;

    const auto start = BenchClock::now();
    std::thread feeder([&] {
      std::uint8_t chunk[kChunk];
      for (std::size_t sent = 0; sent < kStreamBytes; sent += kChunk) {
        for (std::size_t i = 0; i < kChunk; ++i) chunk[i] = PatternByte(sent + i);
        if (window) {
          std::unique_lock<std::mutex> lock(takenLock);
          if (!takenChanged.wait_for(lock, 10s,
                                     [&] { return sent + kChunk - taken <= kBufferBytes; })) {
            feederFailed = true;
            return;
          }
        } else {
          if (!printersim::WaitForPendingRead(printer, 10s)) {
            feederFailed = true;
            return;
          }
          // Only the reader removes bytes, so room seen here is still there at the store.
          while (pipeline.port().BytesAvailable() > kBufferBytes - kChunk) {
            std::this_thread::yield();
          }
        }
        printersim::Send(printer, chunk, kChunk);
      }
    });
    std::thread reader([&] {
      std::vector<std::uint8_t> bytes(kReaderRequest);
      int idlePasses = 0;
      while (received < kStreamBytes && idlePasses < 20) {
        std::uint32_t count = 0;
        if (!pipeline.port().GetPCLSData(bytes.data(), kReaderRequest, &count, 500)) {
          ++idlePasses;  // a 500 ms pass with nothing: the stream has stalled
          continue;
        }
        idlePasses = 0;
        for (std::uint32_t i = 0; i < count; ++i) {
          if (bytes[i] != PatternByte(received + i)) ++badBytes;
        }
        received += count;
        if (window) {
          {
            std::lock_guard<std::mutex> lock(takenLock);
            taken = received;
          }
          takenChanged.notify_one();
        }
      }
    });
    feeder.join();
    reader.join();
    const std::chrono::duration<double> elapsed = BenchClock::now() - start;
    state.SetIterationTime(elapsed.count());
    seconds += elapsed.count();
    mismatches += badBytes;
    pipeline.TearDown();
    hostwin::ClearDebugOutput();
    if (feederFailed || received != kStreamBytes) {
      state.SkipWithError("the stream did not arrive whole");
      break;
    }
  }
  const double bytes = static_cast<double>(state.iterations()) * kStreamBytes;
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  const double perSecond = seconds > 0 ? bytes / seconds : 0;
  state.counters["bytes_per_s"] = perSecond;
  state.counters["x_usb_full_speed"] = perSecond / kFullSpeedBulkBytesPerSecond;
  state.counters["mismatched_bytes"] = static_cast<double>(mismatches);
}
BENCHMARK(BM_ReceiveThroughput)
    ->Arg(kOneReadAtATime)
    ->Arg(kWindow)
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

int main(int argc, char** argv) { return RunBenchmarks(argc, argv); }
