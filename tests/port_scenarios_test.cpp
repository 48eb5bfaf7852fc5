// A point-of-sale application against simulated printers, through the twelve natives alone:
// what a careless or unlucky application does (null arrays, retried opens while the printer
// is unplugged, second closes, stale or foreign handle values) and what unlucky hardware
// does (an endpoint that fails every read, a backlog, removals with unusual errors). The
// same scenarios run against the shipped DLL on Windows.
#include <gtest/gtest.h>
#include <printersim/printersim.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/PortFixture.h"

namespace {

using namespace port_fixture;

class PortScenarios : public PortFixture {};

// ---- A till's day --------------------------------------------------------------------------

// Opening both pipes, a receipt of 200 kB, a status request and its reply, a read that finds
// nothing, and the closes, on each driver.
TEST_F(PortScenarios, APrintJobOnEitherDriverFromOpenToClose) {
  for (int kind : {kMakerDriver, kPrinterClassDriver}) {
    printersim::Reset();
    const int printer = Attach(kind);
    ASSERT_TRUE(m_java.OpenBoth(kind));
    Bytes receipt(200 * 1000);
    for (std::size_t i = 0; i < receipt.size(); ++i) receipt[i] = static_cast<std::uint8_t>(i * 7);
    FakeArray job = ArrayOf(receipt);
    EXPECT_EQ(m_java.Write(&job, m_java.writeHandle()), 0) << kind;
    EXPECT_EQ(printersim::Received(printer), receipt) << kind;

    printersim::SetStatusByte(printer, 1, 0x16);
    FakeArray status = ArrayOf({0x10, 0x04, 1});
    EXPECT_EQ(m_java.Write(&status, m_java.writeHandle()), 0);
    EXPECT_EQ(ReadBytes(m_java, 1, m_java.readHandle()), Bytes{0x16}) << kind;

    FakeArray nothing{std::vector<jbyte>(8)};
    const auto start = std::chrono::steady_clock::now();
    if (kind == kPrinterClassDriver) {
      EXPECT_EQ(m_java.Read(&nothing, m_java.readHandle()), -1);  // after about half a second
      EXPECT_GE(ElapsedMs(start), 400);
    } else {
      EXPECT_EQ(m_java.Read(&nothing, m_java.readHandle()), 0);  // the maker's driver: at once
    }
    EXPECT_LT(ElapsedMs(start), 3000);
    EXPECT_EQ(m_java.Close(m_java.writeHandle()), 0);
    // On Printer Class the first close ended the whole session, the read pipe with it.
    EXPECT_EQ(m_java.Close(m_java.readHandle()), kind == kPrinterClassDriver ? kInvalidHandle : 0);
    Forget();
  }
}

// A read waits on one thread while another closes the port: the read returns at once.
TEST_F(PortScenarios, ACloseEndsAReadWaitingOnAnotherThread) {
  Attach(kPrinterClassDriver);
  ASSERT_TRUE(m_java.OpenBoth(kClassKind));
  std::atomic<jint> result{0};
  std::atomic<long long> returnedAt{0};
  const auto origin = std::chrono::steady_clock::now();
  const jint readHandle = m_java.readHandle();
  std::thread reader([&] {
    JavaThread java;
    FakeArray into{std::vector<jbyte>(8)};
    result = java.Read(&into, readHandle);
    returnedAt = ElapsedMs(origin);
  });
  ASSERT_TRUE(WaitForTrace("GetPCLSData(#) Before WaitForMultipleObjects\n"));
  const long long closedAt = ElapsedMs(origin);
  EXPECT_EQ(CloseWithinOneSecond(m_java.readHandle()), 0);
  reader.join();
  EXPECT_EQ(result.load(), -1);
  EXPECT_LT(returnedAt.load() - closedAt, 1000);
  Forget();
}

// Opens, closes, reads, writes and byte counts on several threads at once, on a printer
// that keeps talking: every call returns, and every handle is closed at the end.
TEST_F(PortScenarios, OpensClosesReadsAndWritesOnSeveralThreads) {
  const int printer = Attach(kPrinterClassDriver);
  std::atomic<bool> stop{false};
  std::atomic<jint> sharedRead{0};
  std::atomic<jint> sharedWrite{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    while (!stop.load()) {
      printersim::Send(printer, Bytes{0x12, 0x34});
      std::this_thread::sleep_for(1ms);
    }
  });
  threads.emplace_back([&] {
    JavaThread java;
    while (!stop.load()) {
      FakeArray into{std::vector<jbyte>(16)};
      java.Read(&into, sharedRead.load());
      java.BytesAvailable();
    }
  });
  threads.emplace_back([&] {
    JavaThread java;
    FakeArray status = ArrayOf({0x10, 0x04, 2});
    while (!stop.load()) java.Write(&status, sharedWrite.load());
  });
  std::atomic<bool> zeroHandedOut{false};
  auto cycler = [&] {
    JavaThread java;
    for (int i = 0; i < 25; ++i) {
      if (java.Init(JavaThread::kWrite) >= 0 && java.writeHandle() == 0) zeroHandedOut = true;
      if (java.Init(JavaThread::kRead) >= 0 && java.readHandle() == 0) zeroHandedOut = true;
      sharedRead = java.readHandle();
      sharedWrite = java.writeHandle();
      java.Close(java.readHandle());
    }
  };
  std::thread a(cycler);
  std::thread b(cycler);
  FinishesWithin(60000ms, "the cycling threads", [&] {
    a.join();
    b.join();
  });
  stop = true;
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(zeroHandedOut.load()) << "an open reported success and handed out 0";
  // Whatever the last open left, as an application's shutdown does.
  m_java.jni().hReadPort = sharedRead.load();
  m_java.jni().hWritePort = sharedWrite.load();
}

// A thousand sessions with a reader running on another thread: the library holds no
// handle more at the end than at the start, and neither does the process.
TEST_F(PortScenarios, AThousandOpenCloseCyclesWithAReaderRunningLeakNothing) {
  for (int kind : {kMakerDriver, kPrinterClassDriver}) {
    printersim::Reset();
    Attach(kind);
    const int processAtStart = ProcessHandleCount();
    std::atomic<bool> stop{false};
    std::atomic<jint> current{0};
    std::thread reader([&] {
      JavaThread java;
      while (!stop.load()) {
        FakeArray into{std::vector<jbyte>(8)};
        java.Read(&into, current.load());
      }
    });
    FinishesWithin(300000ms, "a thousand sessions", [&] {
      JavaThread java;
      for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(java.OpenBoth(kind)) << "session " << i;
        current = java.readHandle();
        java.CloseBoth();
      }
    });
    stop = true;
    reader.join();
    EXPECT_EQ(LiveHandleCount(), m_handlesAtStart) << kind << ": " << LiveHandleKinds();
    // The test program's own runtime may make an object or two of its own on the way.
    EXPECT_LE(ProcessHandleCount(), processAtStart + 4) << kind;
  }
}

// ---- Careless callers ----------------------------------------------------------------------

TEST_F(PortScenarios, NullArraysAndHoldersAreRefusedAndTouchNothing) {
  for (int kind : {kMakerDriver, kPrinterClassDriver}) {
    printersim::Reset();
    const int printer = Attach(kind);
    ASSERT_TRUE(m_java.OpenBoth(kind));
    EXPECT_EQ(m_java.Read(nullptr, m_java.readHandle()), -1) << kind;
    EXPECT_EQ(m_java.LastError(), kInvalidParameter);
    EXPECT_EQ(m_java.Write(nullptr, m_java.writeHandle()), kInvalidParameter) << kind;
    EXPECT_EQ(m_java.InitWithHolder(nullptr, JavaThread::kWrite), -1) << kind;
    EXPECT_TRUE(printersim::Received(printer).empty());
    m_java.CloseBoth();
  }
}

// Nothing fits into an empty array: the read answers at once, not after every byte a
// talkative printer sends.
TEST_F(PortScenarios, ZeroLengthReadOnPrinterClassAnswersAtOnceWhileBytesKeepArriving) {
  const int printer = Attach(kPrinterClassDriver);
  ASSERT_TRUE(m_java.OpenBoth(kClassKind));
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    while (!stop.load()) {
      printersim::Send(printer, Bytes{0x55});
      std::this_thread::sleep_for(5ms);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  const jint result = FinishesWithin(5000ms, "a zero-length read", [&] {
    JavaThread reader;
    FakeArray empty;
    return reader.Read(&empty, m_java.readHandle());
  });
  EXPECT_EQ(result, -1);
  EXPECT_LT(ElapsedMs(start), 400);
  EXPECT_EQ(ReadBytes(m_java, 1, m_java.readHandle()), Bytes{0x55});
  stop = true;
  sender.join();
}

// The application retries its opens while the printer is unplugged. They fail, and the port
// stays what it was: bytes received before are still delivered, and after the replug the
// worker recovers and both directions work with the handles Java already holds.
TEST_F(PortScenarios, RetriedOpensWhileUnpluggedLeaveThePrinterClassPortWorking) {
  const int printer = Attach(kPrinterClassDriver);
  ASSERT_TRUE(m_java.OpenBoth(kClassKind));
  printersim::Send(printer, Bytes{1, 2, 3});
  ASSERT_TRUE(WaitForBytesAvailable(3));
  printersim::Detach(printer);
  EXPECT_EQ(m_java.Init(JavaThread::kWrite), -1);
  EXPECT_EQ(m_java.Init(JavaThread::kRead), -1);
  // Still a Printer Class port: its control calls answer 1 without a device request.
  EXPECT_EQ(m_java.GetCommTimeout(m_java.readHandle()), 1);
  EXPECT_EQ(ReadBytes(m_java, 3, m_java.readHandle()), (Bytes{1, 2, 3}));

  printersim::Reattach(printer);
  ASSERT_TRUE(WaitForTrace("ReopenCom(#) Handles Valid\n"));
  FakeArray print = ArrayOf({0x1B, '@', 'x'});
  EXPECT_EQ(m_java.Write(&print, m_java.writeHandle()), 0);
  EXPECT_EQ(printersim::Received(printer), (Bytes{0x1B, '@', 'x'}));
  printersim::Send(printer, Bytes{4, 5});
  EXPECT_EQ(ReadBytes(m_java, 2, m_java.readHandle()), (Bytes{4, 5}));
  EXPECT_EQ(m_java.Close(m_java.readHandle()), 0);
}

// Right after a replug, before the worker has found the printer again, the handles it holds
// are INVALID_HANDLE_VALUE; an open then opens afresh instead of handing that back.
TEST_F(PortScenarios, OpensRightAfterAReplugSucceedBeforeTheWorkerHasRecovered) {
  const int printer = Attach(kPrinterClassDriver);
  ASSERT_TRUE(m_java.OpenBoth(kClassKind));
  printersim::Detach(printer);
  ASSERT_TRUE(WaitForTrace("ReopenCom(#) Handles Invalid\n"));
  printersim::Reattach(printer);
  JavaThread retry;
  ASSERT_TRUE(retry.OpenBoth(kClassKind));
  FakeArray print = ArrayOf({'o', 'k'});
  EXPECT_EQ(retry.Write(&print, retry.writeHandle()), 0);
  EXPECT_TRUE(printersim::WaitForReceived(printer, 2, kGenerous));
  retry.CloseBoth();
}

// On the maker's driver the application itself recovers: its calls fail while the printer
// is away, its closes succeed, and its opens after the replug work.
TEST_F(PortScenarios, MakersDriverPortComesBackThroughCloseAndReopen) {
  const int printer = Attach(kMakerDriver);
  ASSERT_TRUE(m_java.OpenBoth(kMakerKind));
  printersim::Detach(printer);
  FakeArray status = ArrayOf({0x10, 0x04, 1});
  EXPECT_EQ(m_java.Write(&status, m_java.writeHandle()), 5);  // ERROR_ACCESS_DENIED
  FakeArray reply{std::vector<jbyte>(1)};
  EXPECT_EQ(m_java.Read(&reply, m_java.readHandle()), -1);
  EXPECT_EQ(m_java.Init(JavaThread::kWrite), -1);
  m_java.CloseBoth();

  printersim::Reattach(printer);
  ASSERT_TRUE(m_java.OpenBoth(kMakerKind));
  EXPECT_EQ(m_java.Write(&status, m_java.writeHandle()), 0);
  EXPECT_EQ(m_java.Read(&reply, m_java.readHandle()), 1);
  EXPECT_EQ(reply.bytes[0], 0x12);
}

// A second close, or a value the system has meanwhile given to another object, closes
// nothing: that object may well be one of the JVM's own.
TEST_F(PortScenarios, ASecondCloseOrAForeignValueClosesNothing) {
  Attach(kMakerDriver);
  ASSERT_TRUE(m_java.OpenBoth(kMakerKind));
  const jint closed = m_java.readHandle();
  EXPECT_EQ(m_java.Close(closed), 0);
  m_java.jni().hReadPort = 0;
  EXPECT_EQ(m_java.Close(closed), kInvalidHandle);

  HANDLE theirs = CreateEventA(nullptr, TRUE, FALSE, nullptr);  // may reuse the closed value
  const jint theirValue = static_cast<jint>(reinterpret_cast<std::intptr_t>(theirs));
  EXPECT_EQ(m_java.Close(theirValue), kInvalidHandle);
  EXPECT_TRUE(SetEvent(theirs));
  EXPECT_EQ(WaitForSingleObject(theirs, 0), WAIT_OBJECT_0);
  for (jint value : {-1, 0, INT_MIN, INT_MAX, 0x1234}) {
    EXPECT_EQ(m_java.Close(value), kInvalidHandle) << value;
  }
  CloseHandle(theirs);
  FakeArray print = ArrayOf({'s', 't', 'i', 'l', 'l'});
  EXPECT_EQ(m_java.Write(&print, m_java.writeHandle()), 0);
}

// A device handle opened elsewhere in the process is not the library's: it is neither read
// nor sent device requests, so nothing it carries is taken.
TEST_F(PortScenarios, HandlesTheLibraryDidNotHandOutAreNeitherReadNorControlled) {
  const int printer = Attach(kMakerDriver);
  ASSERT_EQ(m_java.Init(JavaThread::kWrite), kMakerKind);
  HANDLE theirs = OpenDeviceBehindTheLibrarysBack(printersim::InterfacePath(printer) + "\\PIPE00", 0);
  ASSERT_NE(theirs, INVALID_HANDLE_VALUE);
  const jint value = static_cast<jint>(reinterpret_cast<std::intptr_t>(theirs));
  printersim::Send(printer, Bytes{0x42});

  FakeArray array{std::vector<jbyte>(4)};
  EXPECT_EQ(m_java.Read(&array, value), -1);
  EXPECT_EQ(m_java.LastError(), kInvalidHandle);
  EXPECT_EQ(m_java.GetCommTimeout(value), kInvalidHandle);
  EXPECT_EQ(m_java.SetCommTimeout(value, 1, 2, 3, 4, 5), kInvalidHandle);
  EXPECT_EQ(m_java.Purge(value), kInvalidHandle);
  EXPECT_TRUE(printersim::IoControls(printer).empty());
  EXPECT_TRUE(printersim::Purges(printer).empty());

  char byte = 0;
  DWORD count = 0;
  EXPECT_TRUE(ReadBehindTheLibrarysBack(theirs, &byte, 1, &count));  // still there for its owner
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(byte, 0x42);
  CloseBehindTheLibrarysBack(theirs);
}

// The printer class driver knows no serial timeouts and no purge: the three control calls
// answer 1 for any handle and send the device nothing.
TEST_F(PortScenarios, OnPrinterClassTheControlCallsAnswerOneAndSendNothing) {
  const int printer = Attach(kPrinterClassDriver);
  ASSERT_EQ(m_java.Init(JavaThread::kWrite), kClassKind);
  for (jint handle : {m_java.writeHandle(), 0, -1, 0x7FFF0000}) {
    EXPECT_EQ(m_java.GetCommTimeout(handle), 1);
    EXPECT_EQ(m_java.SetCommTimeout(handle, 1, 2, 3, 4, 5), 1);
    EXPECT_EQ(m_java.Purge(handle), 1);
  }
  EXPECT_TRUE(printersim::IoControls(printer).empty());
  EXPECT_TRUE(printersim::Purges(printer).empty());
}

// ---- Unlucky hardware ----------------------------------------------------------------------

// An endpoint in an error state accepts every read and fails it at completion. The worker
// pauses between attempts like after any other error, and a close still returns at once.
TEST_F(PortScenarios, AFailingEndpointIsPacedAndTheCloseReturnsWithinASecond) {
  const int printer = Attach(kPrinterClassDriver);
  printersim::SetReadMode(printer, printersim::kReadsQueued);
  printersim::FailNextReads(printer, ERROR_GEN_FAILURE, 1000000);
  ASSERT_EQ(m_java.Init(JavaThread::kRead), kClassKind);
  ASSERT_TRUE(printersim::WaitForReadsIssued(printer, 2, kGenerous));
  EXPECT_LT(ReadsIssuedInHalfASecond(printer), 25u);
  EXPECT_EQ(CloseWithinOneSecond(m_java.readHandle()), 0);
  Forget();
}

// A printer that delivers faster than the worker takes: a completed read hides the stop
// request from a wait that reports the lowest index, and the close must not wait for the
// backlog to run dry.
TEST_F(PortScenarios, ABacklogDoesNotHoldUpTheClose) {
  const int printer = Attach(kPrinterClassDriver);
  printersim::SetReadMode(printer, printersim::kReadsQueued);
  ASSERT_EQ(m_java.Init(JavaThread::kRead), kClassKind);
  printersim::Send(printer, Bytes(32u << 20, 0x20));
  ASSERT_TRUE(WaitForBytesAvailable(1));
  EXPECT_EQ(CloseWithinOneSecond(m_java.readHandle()), 0);
  Forget();
}

// A removal that reads fail with ERROR_GEN_FAILURE, which a device that is there also
// reports, is an ordinary read error to the worker: it retries at its pace without
// reopening, a close returns at once, and the application's reopen after the replug works.
TEST_F(PortScenarios, RemovalsReportedAsAGeneralFailureArePacedAndAReopenWorks) {
  for (int mode : printersim::kReadModes) {
    for (DWORD error : {static_cast<DWORD>(ERROR_GEN_FAILURE)}) {
      printersim::Reset();
      m_traces.clear();
      const int printer = Attach(kPrinterClassDriver);
      printersim::SetReadMode(printer, mode);
      ASSERT_TRUE(m_java.OpenBoth(kClassKind));
      ASSERT_TRUE(printersim::WaitForReadsIssued(printer, 1, kGenerous));
      printersim::Detach(printer, error);
      ASSERT_TRUE(WaitForTrace("Default case(#)  dwError = " + std::to_string(error) + "\n"));
      EXPECT_LT(ReadsIssuedInHalfASecond(printer), 25u) << error << " mode " << mode;
      EXPECT_EQ(IndexOf(m_traces, "ReopenCom(#) Invalidate Handles\n"), -1);

      printersim::Reattach(printer);
      EXPECT_EQ(CloseWithinOneSecond(m_java.readHandle()), 0);
      Forget();
      ASSERT_TRUE(m_java.OpenBoth(kClassKind));
      printersim::Send(printer, Bytes{9});
      EXPECT_EQ(ReadBytes(m_java, 1, m_java.readHandle()), Bytes{9}) << error << " mode " << mode;
      m_java.CloseBoth();
    }
  }
}

// ---- Several threads ----------------------------------------------------------------------

// A cover left open stalls a write. A close on another thread returns at once all the same;
// the write's handle stays open until the write returns, and nothing is lost or leaked.
TEST_F(PortScenarios, ACloseWhileAWriteStallsReturnsAtOnce) {
  for (int kind : {kMakerDriver, kPrinterClassDriver}) {
    printersim::Reset();
    const int printer = Attach(kind);
    ASSERT_TRUE(m_java.OpenBoth(kind));
    printersim::StallWrites(printer);
    std::atomic<jint> written{-1};
    const jint writeHandle = m_java.writeHandle();
    std::thread writer([&] {
      JavaThread java;
      FakeArray receipt = ArrayOf({'p', 'a', 'i', 'd'});
      written = java.Write(&receipt, writeHandle);
    });
    ASSERT_TRUE(printersim::WaitForStalledWrite(printer, kGenerous));
    EXPECT_EQ(CloseWithinOneSecond(writeHandle), 0) << kind;
    EXPECT_EQ(printersim::StalledWrites(printer), 1);
    printersim::ReleaseWrites(printer);
    writer.join();
    EXPECT_EQ(written.load(), 0) << kind;
    EXPECT_EQ(printersim::Received(printer), (Bytes{'p', 'a', 'i', 'd'}));
    m_java.jni().hWritePort = 0;
    m_java.CloseBoth();
    EXPECT_EQ(LiveHandleCount(), m_handlesAtStart) << kind;
  }
}

// Reads and writes on two threads at once each trace a whole summary line of their own. On
// the maker's driver neither call waits, so the two run into each other often.
TEST_F(PortScenarios, ConcurrentReadsAndWritesTraceWholeSummaries) {
  const int printer = Attach(kMakerDriver);
  ASSERT_TRUE(m_java.OpenBoth(kMakerKind));
  constexpr int kCalls = 2000;
  std::thread writer([&] {
    JavaThread java;
    FakeArray status = ArrayOf({0x10, 0x04, 1});
    for (int i = 0; i < kCalls; ++i) java.Write(&status, m_java.writeHandle());
  });
  std::thread reader([&] {
    JavaThread java;
    for (int i = 0; i < kCalls; ++i) {
      FakeArray reply{std::vector<jbyte>(2)};
      java.Read(&reply, m_java.readHandle());
    }
  });
  writer.join();
  reader.join();
  EXPECT_EQ(printersim::Received(printer).size(), 3u * kCalls);
  int reads = 0;
  int writes = 0;
  for (const std::string& entry : TakeDebugOutput()) {
    const std::string line = WithoutLineNumber(entry);
    if (line.find("READ:") != std::string::npos) {
      ++reads;
      EXPECT_EQ(line.rfind("usbReadInputPipe(#) READ:  nHandle=", 0), 0u) << line;
      EXPECT_NE(line.find(", nData=2, bData[0]="), std::string::npos) << line;
    } else if (line.find("WRITE:") != std::string::npos) {
      ++writes;
      EXPECT_EQ(line.rfind("usbWriteOutputPipe(#) WRITE: nHandle = ", 0), 0u) << line;
      EXPECT_NE(line.find(", nData = 3, nWritten = 3\n"), std::string::npos) << line;
    }
  }
  EXPECT_EQ(reads, kCalls);
  EXPECT_EQ(writes, kCalls);
}

}  // namespace
