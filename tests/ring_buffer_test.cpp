// The ring buffer between the receive worker and the reader.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <thread>
#include <vector>

#include "comm/CCBuffer.h"

namespace {

std::vector<std::uint8_t> Sequence(std::size_t size, std::uint8_t first = 0) {
  std::vector<std::uint8_t> bytes(size);
  std::iota(bytes.begin(), bytes.end(), first);
  return bytes;
}

TEST(CCBufferTest, CapacityFollowsTheOrderWithinItsLimits) {
  const struct {
    std::uint32_t order;
    std::uint32_t capacity;
  } cases[] = {{12, 4096}, {0, 64}, {5, 64}, {6, 64}, {16, 65536}, {17, 65536},
               {0xFFFFFFFFu, 65536}, {0x80000000u, 65536}};
  for (const auto& c : cases) {
    CCBuffer buffer(c.order);
    EXPECT_EQ(buffer.Capacity(), c.capacity) << "order " << c.order;
    // The capacity is what a Write into an empty buffer can store.
    const std::vector<std::uint8_t> bytes(70000, 1);
    EXPECT_EQ(buffer.Write(bytes.data(), 70000), c.capacity);
  }
}

TEST(CCBufferTest, WriteStoresUpToTheFreeSpaceAndThenNothing) {
  CCBuffer buffer(12);
  const std::vector<std::uint8_t> bytes = Sequence(5000);
  EXPECT_EQ(buffer.Write(bytes.data(), 5000), 4096u);
  EXPECT_EQ(buffer.BytesAvailable(), 4096u);
  EXPECT_EQ(buffer.Write(bytes.data(), 10), 0u);

  std::vector<std::uint8_t> out(5000, 0xEE);
  std::uint32_t count = 0;
  EXPECT_EQ(buffer.Read(out.data(), 5000, &count), 4096u);
  EXPECT_EQ(count, 4096u);
  EXPECT_TRUE(std::equal(out.begin(), out.begin() + 4096, bytes.begin()));
  EXPECT_EQ(out[4096], 0xEE);  // nothing written past what was delivered
}

TEST(CCBufferTest, ReadOnAnEmptyBufferLeavesTheCountAlone) {
  CCBuffer buffer(6);
  std::uint8_t out[4];
  std::uint32_t count = 77;
  EXPECT_EQ(buffer.Read(out, 4, &count), 0u);
  EXPECT_EQ(count, 77u);
  // No room takes nothing, touches no destination, and leaves the bytes in order.
  const std::uint8_t bytes[] = {1, 2, 3};
  buffer.Write(bytes, 3);
  EXPECT_EQ(buffer.Read(nullptr, 0, &count), 0u);
  EXPECT_EQ(buffer.BytesAvailable(), 3u);
  EXPECT_EQ(buffer.Read(out, 4, &count), 3u);
  EXPECT_EQ(out[0], 1);
}

// A thread that ended while it held the lock leaves it abandoned: the next Lock owns it all
// the same (every release point leaves the ring consistent), and the ring goes on working.
TEST(CCBufferTest, ALockAbandonedByAnEndedThreadIsTakenAllTheSame) {
  CCBuffer buffer(6);
  std::thread([&buffer] { ASSERT_TRUE(buffer.Lock()); }).join();
  EXPECT_TRUE(buffer.Lock());
  buffer.Unlock();
  const std::uint8_t bytes[] = {9};
  EXPECT_EQ(buffer.Write(bytes, 1), 1u);
  EXPECT_EQ(buffer.BytesAvailable(), 1u);
}

TEST(CCBufferTest, ShortReadTakesWhatIsThereAndLeavesTheRest) {
  CCBuffer buffer(12);
  const std::vector<std::uint8_t> bytes = Sequence(10);
  buffer.Write(bytes.data(), 10);
  std::uint8_t out[10] = {};
  std::uint32_t count = 0;
  EXPECT_EQ(buffer.Read(out, 4, &count), 4u);
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(buffer.BytesAvailable(), 6u);
  EXPECT_EQ(buffer.Read(out, 10, &count), 6u);
  EXPECT_EQ(out[0], 4);
  EXPECT_EQ(out[5], 9);
  EXPECT_EQ(buffer.BytesAvailable(), 0u);
}

// Bulk copies at every offset around the end of the storage come out in order.
TEST(CCBufferTest, WrapAroundKeepsTheOrderAtEveryOffset) {
  for (std::uint32_t fill = 4000; fill <= 4096; fill += 8) {
    for (std::uint32_t chunk : {1u, 63u, 64u, 96u, 200u}) {
      CCBuffer buffer(12);
      std::vector<std::uint8_t> scratch(4096);
      std::uint32_t count = 0;
      buffer.Write(scratch.data(), fill);
      buffer.Read(scratch.data(), fill, &count);

      const std::vector<std::uint8_t> bytes = Sequence(chunk, 7);
      ASSERT_EQ(buffer.Write(bytes.data(), chunk), chunk);
      std::vector<std::uint8_t> out(chunk);
      ASSERT_EQ(buffer.Read(out.data(), chunk, &count), chunk);
      EXPECT_EQ(out, bytes) << "fill " << fill << " chunk " << chunk;
    }
  }
}

TEST(CCBufferTest, ByteOperationsRaiseOnFullAndEmptyAndChangeNothing) {
  CCBuffer buffer(6);
  EXPECT_THROW(buffer.GetByte(), CCBufferError);
  try {
    buffer.GetByte();
  } catch (CCBufferError code) {
    EXPECT_EQ(code, kCCBufferEmpty);
  }
  for (int i = 0; i < 64; ++i) buffer.PutByte(static_cast<std::uint8_t>(i));
  try {
    buffer.PutByte(0xAA);
    ADD_FAILURE() << "PutByte on a full buffer did not raise";
  } catch (CCBufferError code) {
    EXPECT_EQ(code, kCCBufferFull);
  }
  EXPECT_EQ(buffer.BytesAvailable(), 64u);
  for (int i = 0; i < 64; ++i) EXPECT_EQ(buffer.GetByte(), i);
}

TEST(CCBufferTest, ByteAndBulkOperationsShareOneOrder) {
  CCBuffer buffer(6);
  std::uint32_t count = 0;
  std::uint8_t scratch[64];
  buffer.Write(scratch, 60);
  buffer.Read(scratch, 60, &count);
  for (int i = 0; i < 8; ++i) buffer.PutByte(static_cast<std::uint8_t>(i));  // wraps
  const std::uint8_t more[3] = {8, 9, 10};
  buffer.Write(more, 3);
  EXPECT_EQ(buffer.GetByte(), 0);
  std::uint8_t out[10] = {};
  EXPECT_EQ(buffer.Read(out, 10, &count), 10u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(out[i], i + 1);
}

// A writer and a reader at full speed: every byte arrives once, in order.
TEST(CCBufferTest, WriterAndReaderOnTwoThreadsLoseAndReorderNothing) {
  CCBuffer buffer(12);
  constexpr std::uint32_t kTotal = 1u << 20;
  std::thread writer([&buffer] {
    std::uint32_t next = 0;
    std::uint8_t chunk[64];
    while (next < kTotal) {
      const std::uint32_t size = std::min<std::uint32_t>(64, kTotal - next);
      for (std::uint32_t i = 0; i < size; ++i) chunk[i] = static_cast<std::uint8_t>((next + i) * 7);
      next += buffer.Write(chunk, size);
      if (buffer.BytesAvailable() == buffer.Capacity()) std::this_thread::yield();
    }
  });
  std::uint32_t received = 0;
  bool inOrder = true;
  std::uint8_t out[100];
  while (received < kTotal) {
    std::uint32_t count = 0;
    const std::uint32_t n = buffer.Read(out, sizeof out, &count);
    for (std::uint32_t i = 0; i < n; ++i) {
      inOrder = inOrder && out[i] == static_cast<std::uint8_t>((received + i) * 7);
    }
    received += n;
    if (n == 0) std::this_thread::yield();
  }
  writer.join();
  EXPECT_TRUE(inOrder);
  EXPECT_EQ(buffer.BytesAvailable(), 0u);
}

}  // namespace
