// Throughput of the ring buffer in the receive worker's chunk size, beside a plain memcpy of
// the same bytes: what the buffer's lock and index bookkeeping cost per chunk.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "comm/CCBuffer.h"

namespace {

constexpr std::uint32_t kChunk = 64;

void BM_RingBufferWriteThenRead(benchmark::State& state) {
  CCBuffer buffer(12);
  std::uint8_t in[kChunk];
  std::uint8_t out[kChunk];
  std::memset(in, 0x5A, sizeof in);
  for (auto _ : state) {
    std::uint32_t count = 0;
    buffer.Write(in, kChunk);
    buffer.Read(out, kChunk, &count);
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kChunk);
}
BENCHMARK(BM_RingBufferWriteThenRead);

// The same bytes through two plain copies (in to storage, storage to out), no lock.
void BM_PlainMemcpy(benchmark::State& state) {
  std::vector<std::uint8_t> storage(4096);
  std::uint8_t in[kChunk];
  std::uint8_t out[kChunk];
  std::memset(in, 0x5A, sizeof in);
  std::size_t offset = 0;
  for (auto _ : state) {
    std::memcpy(storage.data() + offset, in, kChunk);
    std::memcpy(out, storage.data() + offset, kChunk);
    offset = (offset + kChunk) & 4095;
    benchmark::DoNotOptimize(out);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * kChunk);
}
BENCHMARK(BM_PlainMemcpy);

}  // namespace

BENCHMARK_MAIN();
