// The waiting read on its own: a port object with a buffer and its events, filled and
// signalled by the test as the worker would.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "comm/UsbComm.h"
#include "support/DebugCapture.h"
#include "support/TraceLines.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

class WaitingReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_port.m_QuitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_port.m_ReadThreadTerminated = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    m_port.m_hPCLSDataEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_port.m_pCCBuffer = new CCBuffer(12);
    m_port.m_bReading = 1;
  }
  void TearDown() override { m_port.TearDownReceivePipeline(false); }

  // What the worker does with a chunk.
  void Arrive(const std::vector<std::uint8_t>& bytes) {
    m_port.m_pCCBuffer.load()->Write(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    SetEvent(m_port.m_hPCLSDataEvent.load());
  }

  BOOL Read(std::uint8_t* out, std::int32_t max, std::uint32_t* count, std::int32_t wait = 100) {
    return m_port.GetPCLSData(out, max, count, wait);
  }

  CUsbComm m_port;
};

TEST_F(WaitingReadTest, TakesUpToTheLimitAtOnceAndLeavesTheRest) {
  Arrive({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  DebugCapture capture;
  std::uint8_t out[4] = {};
  std::uint32_t count = 0;
  const auto start = Clock::now();
  EXPECT_TRUE(Read(out, 4, &count));
  EXPECT_LT(Clock::now() - start, 400ms);  // no wait with bytes at hand
  EXPECT_EQ(count, 4u);
  EXPECT_EQ(out[3], 4);
  EXPECT_EQ(m_port.BytesAvailable(), 6u);
  EXPECT_EQ(WithoutLineNumbers(capture.Take()),
            (Lines{"GetPCLSData(#) nNumberOfBytesToRead=4 wait:100\n",
                   "GetPCLSData(#) ResetEvent succeeded\n", "GetPCLSData(#) nBytes1 = 4\n",
                   "GetPCLSData(#) exit\n"}));
}

TEST_F(WaitingReadTest, EmptyBufferTimesOutAfterOneBoundedWaitWhateverTheWaitArgument) {
  for (std::int32_t wait : {100, 10000}) {
    DebugCapture capture;
    std::uint8_t out[4];
    std::uint32_t count = 99;
    const auto start = Clock::now();
    EXPECT_FALSE(Read(out, 4, &count, wait));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 450ms);
    EXPECT_LT(took, 3s);
    EXPECT_EQ(count, 99u);
    const Lines traces = WithoutLineNumbers(capture.Take());
    ASSERT_GE(traces.size(), 2u);
    EXPECT_EQ(traces[traces.size() - 2], "GetPCLSData(#) Timeout\n");
    EXPECT_EQ(traces.back(), "GetPCLSData(#) exit\n");
  }
}

// Waits until the reader has traced `line` `times` times, collecting what it sees.
void AwaitTrace(DebugCapture& capture, Lines& seen, const std::string& line, int times) {
  const auto deadline = Clock::now() + 10s;
  for (;;) {
    for (const std::string& entry : capture.Take()) seen.push_back(WithoutLineNumber(entry));
    int found = 0;
    for (const std::string& entry : seen) found += entry == line ? 1 : 0;
    if (found >= times || Clock::now() > deadline) return;
    std::this_thread::sleep_for(1ms);
  }
}

const std::string kWaiting = "GetPCLSData(#) Before WaitForMultipleObjects\n";

// The bytes come while the reader is inside its wait: the data wake's take delivers them.
TEST_F(WaitingReadTest, DataArrivingDuringTheWaitIsReturnedAtOnce) {
  DebugCapture capture;
  Lines seen;
  std::thread worker([&] {
    AwaitTrace(capture, seen, kWaiting, 1);
    Arrive({7, 7, 7, 7, 7});
  });
  std::uint8_t out[64];
  std::uint32_t count = 0;
  EXPECT_TRUE(Read(out, 64, &count));
  worker.join();
  EXPECT_EQ(count, 5u);
  for (const std::string& entry : capture.Take()) seen.push_back(WithoutLineNumber(entry));
  EXPECT_TRUE(InOrder(seen, {kWaiting, "GetPCLSData(#) nBytes2 = 5\n", "GetPCLSData(#) exit\n"}));
  EXPECT_EQ(IndexOf(seen, "GetPCLSData(#) Timeout\n"), -1);
}

// The stop request comes while the reader waits: it returns without the timeout, signals
// the acknowledgement, and every later call sees the stop at once.
TEST_F(WaitingReadTest, QuitEndsTheWaitAcknowledgesAndStaysSeen) {
  DebugCapture capture;
  Lines seen;
  std::thread closer([&] {
    AwaitTrace(capture, seen, kWaiting, 1);
    SetEvent(m_port.m_QuitEvent.load());
  });
  std::uint8_t out[4];
  std::uint32_t count = 0;
  EXPECT_FALSE(Read(out, 4, &count));
  closer.join();
  for (const std::string& entry : capture.Take()) seen.push_back(WithoutLineNumber(entry));
  EXPECT_EQ(IndexOf(seen, "GetPCLSData(#) Timeout\n"), -1);
  EXPECT_EQ(m_port.m_bReading.load(), 0);
  EXPECT_EQ(WaitForSingleObject(m_port.m_ReadThreadTerminated.load(), 0), WAIT_OBJECT_0);
  const auto start = Clock::now();
  EXPECT_FALSE(Read(out, 4, &count));
  EXPECT_LT(Clock::now() - start, 400ms);
  EXPECT_EQ(count, 0u);
}

TEST_F(WaitingReadTest, WakeToABufferAnotherReaderEmptiedWaitsAgain) {
  DebugCapture capture;
  Lines seen;
  // The data event fires while the buffer is empty, as when another reader took the bytes
  // first; the bytes come during the second wait.
  std::thread worker([&] {
    AwaitTrace(capture, seen, kWaiting, 1);
    SetEvent(m_port.m_hPCLSDataEvent.load());
    AwaitTrace(capture, seen, kWaiting, 2);
    Arrive({42});
  });
  std::uint8_t out[4];
  std::uint32_t count = 0;
  EXPECT_TRUE(Read(out, 4, &count));
  worker.join();
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(out[0], 42);
  for (const std::string& entry : capture.Take()) seen.push_back(WithoutLineNumber(entry));
  EXPECT_NE(IndexOf(seen, "GetPCLSData(#) Zero bytes read; resetting m_hPCLSDataEvent\n"), -1);
}

TEST_F(WaitingReadTest, TwoReadersShareTheBytesWithoutLossOrDuplicates) {
  constexpr int kBytes = 2000;
  std::atomic<int> taken{0};
  std::atomic<long> sum{0};
  // Lost bytes would keep the readers waiting: they give up after a generous deadline.
  const auto deadline = Clock::now() + 20s;
  auto reader = [&] {
    std::uint8_t out[16];
    while (taken.load() < kBytes && Clock::now() < deadline) {
      std::uint32_t count = 0;
      if (Read(out, 16, &count)) {
        for (std::uint32_t i = 0; i < count; ++i) sum += out[i];
        taken += static_cast<int>(count);
      }
    }
  };
  std::thread a(reader);
  std::thread b(reader);
  long expected = 0;
  for (int i = 0; i < kBytes; i += 10) {
    std::vector<std::uint8_t> chunk(10);
    for (int k = 0; k < 10; ++k) {
      chunk[k] = static_cast<std::uint8_t>(i + k);
      expected += chunk[k];
    }
    Arrive(chunk);
  }
  a.join();
  b.join();
  EXPECT_EQ(taken.load(), kBytes);
  EXPECT_EQ(sum.load(), expected);
}

TEST_F(WaitingReadTest, NegativeLimitTakesNothingAndNoBufferMeansNothingToTake) {
  Arrive({1, 2, 3});
  std::uint8_t out[4] = {};
  std::uint32_t count = 0;
  EXPECT_FALSE(Read(out, -5, &count));
  EXPECT_EQ(m_port.BytesAvailable(), 3u);

  CUsbComm bare;  // no buffer, no events: nothing to take and no one to wait for
  DebugCapture capture;
  EXPECT_FALSE(bare.GetPCLSData(out, 4, &count, 100));
  const std::vector<std::string> traces = capture.Take();
  EXPECT_NE(IndexOf(traces, "GetPCLSData(#) exit\n"), -1);
  EXPECT_EQ(IndexOf(traces, "GetPCLSData(#) Before WaitForMultipleObjects\n"), -1);
  EXPECT_EQ(bare.BytesAvailable(), 0u);
}

}  // namespace
