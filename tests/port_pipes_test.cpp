// The pipes as a till uses them, through the natives alone: the names Java holds never come
// to name another pipe; an open drops what the printer sent before it and nothing after; a
// slow reader loses nothing; an idle printer costs little in every read mode; closes end
// reads that wait, also in a driver that never lets go of one; readers on several threads
// wait no longer than promised; and usbGetLastError tells why a call failed. The same suite
// runs against the shipped DLL on Windows.
#include <gtest/gtest.h>
#include <printersim/printersim.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <thread>

#include "support/PortFixture.h"

namespace {

using namespace port_fixture;

constexpr jint kOperationAborted = 995;  // ERROR_OPERATION_ABORTED
constexpr jint kTimedOut = 1460;         // ERROR_TIMEOUT
constexpr jint kNotConnected = 1167;     // ERROR_DEVICE_NOT_CONNECTED

class PortPipes : public PortFixture {};

// Windows hands a closed handle's value out again at once. The names Java holds are the
// library's own, so a value Java was given never names another pipe once it was closed:
// a late close, a purge or a read with it is refused and touches the pipe open now.
TEST_F(PortPipes, ClosedNamesNeverActOnAPipeOpenedLater) {
  const int maker = Attach(kMakerDriver);
  std::set<jint> given;
  for (int i = 0; i < 3000; ++i) {
    ASSERT_EQ(m_java.Init(JavaThread::kRead), kMakerKind);
    const jint name = m_java.readHandle();
    ASSERT_TRUE(given.insert(name).second) << "name " << name << " given twice, at open " << i;
    ASSERT_NE(name, 0);
    ASSERT_NE(name, -1);
    ASSERT_EQ(m_java.Close(name), 0);
  }
  ASSERT_EQ(m_java.Init(JavaThread::kRead), kMakerKind);
  const jint open = m_java.readHandle();
  printersim::Send(maker, Bytes{0x42});
  for (const jint old : {*given.begin(), *given.rbegin()}) {
    EXPECT_EQ(m_java.Close(old), kInvalidHandle);
    EXPECT_EQ(m_java.Purge(old), kInvalidHandle);
    FakeArray reply{std::vector<jbyte>(4)};
    EXPECT_EQ(m_java.Read(&reply, old), -1);
    EXPECT_EQ(m_java.LastError(), kInvalidHandle);
  }
  EXPECT_TRUE(printersim::Purges(maker).empty());
  EXPECT_EQ(ReadBytes(m_java, 1, open), Bytes{0x42});  // still there, for the pipe that is open

  // Printer Class: a late close from the session before never ends the session open now.
  printersim::Reset();
  m_java.CloseBoth();
  const int printer = Attach(kPrinterClassDriver);
  for (int i = 0; i < 50; ++i) {
    ASSERT_TRUE(m_java.OpenBoth(kClassKind));
    const jint oldWrite = m_java.writeHandle();
    const jint oldRead = m_java.readHandle();
    m_java.CloseBoth();
    ASSERT_TRUE(m_java.OpenBoth(kClassKind));
    EXPECT_EQ(m_java.Close(oldWrite), kInvalidHandle);
    EXPECT_EQ(m_java.Close(oldRead), kInvalidHandle);
    FakeArray receipt = ArrayOf({'n'});
    ASSERT_EQ(m_java.Write(&receipt, m_java.writeHandle()), 0) << "session " << i;
    m_java.CloseBoth();
  }
  EXPECT_EQ(printersim::Received(printer).size(), 50u);
}

// A read with a name that names no pipe of the session open now (a name of a closed session,
// 0, a made-up int) is refused and takes nothing: the bytes in the buffer are the session's.
TEST_F(PortPipes, APrinterClassReadWithAClosedNameIsRefusedAndTakesNothing) {
  const int printer = Attach(kPrinterClassDriver);
  ASSERT_TRUE(m_java.OpenBoth(kClassKind));
  const jint oldRead = m_java.readHandle();
  m_java.CloseBoth();
  ASSERT_TRUE(m_java.OpenBoth(kClassKind));
  printersim::Send(printer, Bytes{0x42});
  ASSERT_TRUE(WaitForBytesAvailable(1));
  for (const jint stale : {oldRead, jint{0}, jint{12345}}) {
    FakeArray reply{std::vector<jbyte>(4)};
    EXPECT_EQ(m_java.Read(&reply, stale), -1) << "name " << stale;
    EXPECT_EQ(m_java.LastError(), kInvalidHandle) << "name " << stale;
  }
  EXPECT_EQ(ReadBytes(m_java, 1, m_java.readHandle()), Bytes{0x42});
}

// A read pipe the driver refuses to open makes no pipeline: the open fails with the
// driver's error, and nothing stays open.
TEST_F(PortPipes, AReadOpenTheDriverRefusesLeavesNothingBehind) {
  const int printer = Attach(kPrinterClassDriver);
  // The probe's search and its pipe, the open's search, then the read pipe itself.
  printersim::FailNextOpens(printer, ERROR_SHARING_VIOLATION, 1, 3);
  EXPECT_EQ(m_java.Init(JavaThread::kRead), -1);
  EXPECT_EQ(m_java.LastError(), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(printersim::OpenFiles(printer), 0);
  EXPECT_EQ(IndexOf(Traces(), "usbInitPipe(#) *****Creating m_hWorkerThread*****\n"), -1);
  EXPECT_EQ(m_java.Init(JavaThread::kRead), kClassKind);
}

// A call that fails never leaves 0 as the thread's last result, and an open with an access
// value that names no pipe changes nothing of the port.
TEST_F(PortPipes, AFailedCallAlwaysLeavesItsErrorAsTheLastResult) {
  Attach(kPrinterClassDriver);
  ASSERT_TRUE(m_java.OpenBoth(kClassKind));
  EXPECT_EQ(m_java.Init(0), -1);
  EXPECT_EQ(m_java.LastError(), kInvalidParameter);
  EXPECT_EQ(m_java.InitWithHolder(nullptr, JavaThread::kRead), -1);
  EXPECT_EQ(m_java.LastError(), kInvalidParameter);
  EXPECT_EQ(m_java.GetCommTimeout(m_java.readHandle()), 1);  // still a Printer Class port
  EXPECT_EQ(m_java.LastError(), 0);
  // A thread that has made no call yet has no failure to report.
  std::thread([] {
    JavaThread fresh;
    EXPECT_EQ(fresh.LastError(), 0);
  }).join();
}

// What the printer sent before the read pipe was opened (an old status reply, say) is
// dropped by the open, in every read mode; what it sends afterwards is all delivered.
TEST_F(PortPipes, TheFirstReadAfterAnOpenNeverReturnsWhatCameBeforeIt) {
  for (int mode : printersim::kReadModes) {
    printersim::Reset();
    const int printer = Attach(kPrinterClassDriver);
    printersim::SetReadMode(printer, mode);
    printersim::Send(printer, Bytes(200, 0xAA));
    ASSERT_EQ(m_java.Init(JavaThread::kRead), kClassKind);
    printersim::Send(printer, Bytes{0x16});
    EXPECT_EQ(ReadBytes(m_java, 1, m_java.readHandle()), Bytes{0x16}) << "mode " << mode;
    EXPECT_EQ(m_java.BytesAvailable(), 0) << "mode " << mode;
    m_java.CloseBoth();
  }
}

// A till that reads its replies late: the printer sends far more than the 4 KiB buffer
// holds, and every byte reaches Java in order once it reads, in every read mode. The worker
// stops reading while the buffer is full, and the printer keeps its bytes.
TEST_F(PortPipes, ASlowReaderLosesNothingInEveryReadMode) {
  for (int mode : printersim::kReadModes) {
    printersim::Reset();
    const int printer = Attach(kPrinterClassDriver);
    printersim::SetReadMode(printer, mode);
    ASSERT_EQ(m_java.Init(JavaThread::kRead), kClassKind);
    Bytes sent(20000);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>(i * 13 + i / 256);
    for (std::size_t at = 0; at < sent.size(); at += 1000) {
      printersim::Send(printer, Bytes(sent.begin() + static_cast<std::ptrdiff_t>(at),
                                      sent.begin() + static_cast<std::ptrdiff_t>(at + 1000)));
    }
    ASSERT_TRUE(WaitForBytesAvailable(4096));
    EXPECT_EQ(ReadBytes(m_java, sent.size(), m_java.readHandle()), sent) << "mode " << mode;
    EXPECT_EQ(printersim::BytesLostWithTheDevice(printer), 0u);
    m_java.CloseBoth();
  }
}

// A printer with nothing to say costs a few dozen reads a second at most, whether its driver
// lets idle reads wait, completes them at once, queues them, or answers them with empty
// packets.
TEST_F(PortPipes, AnIdlePrinterCostsAFewReadsASecondInEveryReadMode) {
  for (int mode : printersim::kReadModes) {
    printersim::Reset();
    const int printer = Attach(kPrinterClassDriver);
    printersim::SetReadMode(printer, mode);
    ASSERT_TRUE(m_java.OpenBoth(kClassKind));
    EXPECT_LT(ReadsIssuedInHalfASecond(printer), 40u) << "mode " << mode;
    m_java.CloseBoth();
  }
}

// On the maker's driver with timeouts that wait for ever, a read waits in the driver until
// its buffer fills. A close on another thread ends it at once, and the pipe opens again.
TEST_F(PortPipes, ACloseEndsAReadWaitingInTheMakersDriver) {
  const int printer = Attach(kMakerDriver);
  ASSERT_TRUE(m_java.OpenBoth(kMakerKind));
  ASSERT_EQ(m_java.SetCommTimeout(m_java.readHandle(), 0, 0, 0, 0, 0), 0);
  std::atomic<jint> result{0};
  std::atomic<jint> error{0};
  const jint name = m_java.readHandle();
  std::thread reader([&] {
    JavaThread java;
    FakeArray reply{std::vector<jbyte>(8)};
    result = java.Read(&reply, name);
    error = java.LastError();
  });
  ASSERT_TRUE(printersim::WaitForPendingRead(printer, kGenerous));
  EXPECT_EQ(CloseWithinOneSecond(name), 0);
  FinishesWithin(2000ms, "the waiting read", [&] { reader.join(); });
  EXPECT_EQ(result.load(), -1);
  EXPECT_EQ(error.load(), kOperationAborted);
  m_java.jni().hReadPort = 0;
  ASSERT_EQ(m_java.Init(JavaThread::kRead), kMakerKind);
  printersim::Send(printer, Bytes{0x12});
  EXPECT_EQ(ReadBytes(m_java, 1, m_java.readHandle()), Bytes{0x12});
}

// The README's sample on the maker's driver: with a read timeout of half a second, a status
// read that gets no reply returns 0 after about that long.
TEST_F(PortPipes, AMakersDriverReadWaitsAsItsTimeoutsSay) {
  Attach(kMakerDriver);
  ASSERT_TRUE(m_java.OpenBoth(kMakerKind));
  ASSERT_EQ(m_java.SetCommTimeout(m_java.readHandle(), 0, 0, 500, 0, 0), 0);
  EXPECT_EQ(m_java.GetCommTimeout(m_java.readHandle()), 500);
  FakeArray reply{std::vector<jbyte>(1)};
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(m_java.Read(&reply, m_java.readHandle()), 0);
  EXPECT_GE(ElapsedMs(start), 400);
  EXPECT_LT(ElapsedMs(start), 5000);
}

// A driver that never completes a cancelled read: the close still returns, leaving only
// what that read may still write into (counted and traced), and the port opens again.
TEST_F(PortPipes, ACloseReturnsWhenTheDriverNeverCompletesACancelledRead) {
  const int printer = Attach(kPrinterClassDriver);
  printersim::IgnoreCancels(printer, true);
  ASSERT_EQ(m_java.Init(JavaThread::kRead), kClassKind);
  ASSERT_TRUE(printersim::WaitForPendingRead(printer, kGenerous));
  const int before = LiveHandleCount();
  EXPECT_EQ(CloseWithinOneSecond(m_java.readHandle()), 0);
  m_java.jni().hReadPort = 0;
  EXPECT_NE(IndexOf(Traces(), "ReceiveData(#) The driver did not complete a cancelled read\n"), -1);
  const auto& traces = Traces();
  EXPECT_TRUE(std::any_of(traces.begin(), traces.end(), [](const std::string& line) {
    return line.rfind("ReceiveData(#) Read abandoned: its buffer, record and event stay allocated", 0) == 0;
  }));
  // The abandoned read keeps its event, and nothing else stays open.
  EXPECT_LT(LiveHandleCount(), before);
  m_handlesAtStart += 1;

  printersim::IgnoreCancels(printer, false);
  ASSERT_EQ(m_java.Init(JavaThread::kRead), kClassKind);
  // The first byte goes to the read the driver still holds, unless the old handle's close
  // ended that read once the driver honours cancels again; what follows reaches Java.
  printersim::Send(printer, Bytes{0x01});
  printersim::Send(printer, Bytes{0x02});
  Bytes first = ReadBytes(m_java, 1, m_java.readHandle());
  if (first == Bytes{0x01}) first = ReadBytes(m_java, 1, m_java.readHandle());
  EXPECT_EQ(first, Bytes{0x02});
}

// Four readers wait on a printer that sends a byte every 300 ms: each read returns by its
// own deadline, also when another reader took the byte it was woken for.
TEST_F(PortPipes, ReadersOnSeveralThreadsWaitNoLongerThanPromised) {
  const int printer = Attach(kPrinterClassDriver);
  ASSERT_TRUE(m_java.OpenBoth(kClassKind));
  std::atomic<bool> stop{false};
  std::atomic<long long> longest{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      JavaThread java;
      while (!stop.load()) {
        FakeArray one{std::vector<jbyte>(1)};
        const auto start = std::chrono::steady_clock::now();
        java.Read(&one, m_java.readHandle());
        const long long took = ElapsedMs(start);
        long long seen = longest.load();
        while (took > seen && !longest.compare_exchange_weak(seen, took)) {
        }
      }
    });
  }
  for (int i = 0; i < 10; ++i) {
    printersim::Send(printer, Bytes{static_cast<std::uint8_t>(i)});
    std::this_thread::sleep_for(300ms);
  }
  stop = true;
  for (std::thread& reader : readers) reader.join();
  EXPECT_LT(longest.load(), 1200) << "a read waited past its half second";
}

// usbGetLastError tells why a read returned -1: nothing came from a printer that is there,
// the printer has gone, the port is closing, no pipe is open. The library keeps the answer
// itself, so what else the thread does between two calls does not change it.
TEST_F(PortPipes, TheLastErrorTellsATimeoutFromAGonePrinter) {
  const int printer = Attach(kPrinterClassDriver);
  ASSERT_TRUE(m_java.OpenBoth(kClassKind));
  FakeArray reply{std::vector<jbyte>(1)};
  EXPECT_EQ(m_java.Read(&reply, m_java.readHandle()), -1);
  SetLastError(1234);  // as other code on the thread might, between two natives
  EXPECT_EQ(m_java.LastError(), kTimedOut);

  printersim::Detach(printer);
  ASSERT_TRUE(WaitForTrace("ReopenCom(#) Handles Invalid\n"));
  EXPECT_EQ(m_java.Read(&reply, m_java.readHandle()), -1);
  EXPECT_EQ(m_java.LastError(), kNotConnected);
  FakeArray receipt = ArrayOf({'q'});
  const jint writeError = m_java.Write(&receipt, m_java.writeHandle());
  EXPECT_NE(writeError, 0);
  EXPECT_EQ(m_java.LastError(), writeError);

  printersim::Reattach(printer);
  ASSERT_TRUE(WriteSucceedsWithin({'q'}, 2000ms));
  EXPECT_EQ(m_java.LastError(), 0);

  const jint name = m_java.readHandle();
  std::atomic<jint> closingError{0};
  Traces();
  m_traces.clear();
  std::thread reader([&] {
    JavaThread java;
    FakeArray one{std::vector<jbyte>(1)};
    java.Read(&one, name);
    closingError = java.LastError();
  });
  ASSERT_TRUE(WaitForTrace("GetPCLSData(#) Before WaitForMultipleObjects\n"));
  EXPECT_EQ(CloseWithinOneSecond(name), 0);
  reader.join();
  EXPECT_EQ(closingError.load(), kOperationAborted);
  Forget();
  EXPECT_EQ(m_java.Read(&reply, 0), -1);
  EXPECT_EQ(m_java.LastError(), kInvalidHandle);
}

}  // namespace
