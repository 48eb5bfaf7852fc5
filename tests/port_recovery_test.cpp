// Unplug and replug, as a till meets them, through the natives alone: after a replug the
// port works again with the names Java holds, in every read mode and for every code a driver
// reports a removal with; the write side recovers also when only the read side did; recovery
// never moves to another printer; an open never hands back a handle whose printer has gone;
// and a printer whose reads keep failing while it is plugged in costs little and never makes
// a write fail. The same suite runs against the shipped DLL on Windows.
#include <gtest/gtest.h>
#include <printersim/printersim.h>

#include <atomic>
#include <thread>

#include "support/PortFixture.h"

namespace {

using namespace port_fixture;

// How soon a recovered port must take writes again: the worker looks for its printer twice
// a second while it is away.
constexpr auto kRecoveryTime = 2000ms;

class PortRecovery : public PortFixture {
 protected:
  // A Printer Class session with both pipes open and one receipt through.
  int OpenClassSession(int readMode = printersim::kReadsPendUntilData,
                       const std::string& serial = "TILL") {
    const int printer = Attach(kPrinterClassDriver, 0, serial);
    printersim::SetReadMode(printer, readMode);
    EXPECT_TRUE(m_java.OpenBoth(kClassKind));
    EXPECT_TRUE(WriteSucceedsWithin({'a'}, 0ms));
    return printer;
  }

  // Both directions work with the names Java holds.
  void ExpectBothWaysWork(int printer, const std::string& context) {
    const std::size_t before = printersim::Received(printer).size();
    EXPECT_TRUE(WriteSucceedsWithin({'o', 'k'}, kRecoveryTime)) << context;
    EXPECT_EQ(printersim::Received(printer).size(), before + 2) << context;
    printersim::Send(printer, Bytes{0x31, 0x32});
    EXPECT_EQ(ReadBytes(m_java, 2, m_java.readHandle()), (Bytes{0x31, 0x32})) << context;
  }
};

// Every read mode, and every code with which a driver reports a removal: once the printer is
// back, writes and reads work again with the names Java already holds.
TEST_F(PortRecovery, AReplugIsRecoveredInEveryReadModeWithTheNamesJavaHolds) {
  for (int mode : printersim::kReadModes) {
    for (DWORD error : {static_cast<DWORD>(ERROR_ACCESS_DENIED), static_cast<DWORD>(ERROR_INVALID_HANDLE),
                        static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
                        static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED)}) {
      const std::string context = "mode " + std::to_string(mode) + ", error " + std::to_string(error);
      printersim::Reset();
      m_traces.clear();
      const int printer = OpenClassSession(mode);
      ASSERT_TRUE(printersim::WaitForReadsIssued(printer, 1, kGenerous));
      printersim::Detach(printer, error);
      ASSERT_TRUE(WaitForTrace("ReopenCom(#) Handles Invalid\n")) << context;
      printersim::Reattach(printer);
      ExpectBothWaysWork(printer, context);
      m_java.CloseBoth();
    }
  }
}

// The application retries its read open right after the replug, before the worker has
// looked again. The open reopens the read side; the write side must come back with it,
// although no read error will ever make the worker reopen it.
TEST_F(PortRecovery, WritesWorkAgainWhenAReadOpenRecoveredTheReadSide) {
  const int printer = OpenClassSession();
  printersim::Detach(printer);
  ASSERT_TRUE(WaitForTrace("ReopenCom(#) Handles Invalid\n"));
  printersim::Reattach(printer);
  ASSERT_EQ(m_java.Init(JavaThread::kRead), kClassKind);
  ExpectBothWaysWork(printer, "after the read open");
}

// The worker's recovery reopens the read handle, but its write open fails once (a device
// still settling). Reads work from then on, so no read error comes to retry it: the worker
// reopens the write side by itself.
TEST_F(PortRecovery, WritesWorkAgainWhenOnlyTheWriteReopenFailed) {
  const int printer = OpenClassSession();
  printersim::Detach(printer);
  ASSERT_TRUE(WaitForTrace("ReopenCom(#) Handles Invalid\n"));
  m_traces.clear();
  // The search opens the bare path, then the read handle, then the write handle.
  printersim::FailNextOpens(printer, ERROR_SHARING_VIOLATION, 1, 2);
  printersim::Reattach(printer);
  ASSERT_TRUE(WaitForTrace("ReopenCom(#) Handles Invalid\n"));
  ExpectBothWaysWork(printer, "after a failed write reopen");
}

// A second printer (the kitchen's) is plugged in. The till's printer is pulled: recovery
// must not take the kitchen printer, writes fail while the till's is away, and once it is
// back every receipt goes to it and every reply comes from it.
TEST_F(PortRecovery, RecoveryReopensTheSamePrinterAndNoOther) {
  const int till = OpenClassSession();
  const int kitchen = Attach(kPrinterClassDriver, 1, "KITCHEN");
  printersim::Detach(till);
  ASSERT_TRUE(WaitForTrace("ReopenCom(#) Handles Invalid\n"));
  FakeArray receipt = ArrayOf({'r'});
  const auto until = std::chrono::steady_clock::now() + 1500ms;
  while (std::chrono::steady_clock::now() < until) {
    EXPECT_NE(m_java.Write(&receipt, m_java.writeHandle()), 0);
    std::this_thread::sleep_for(50ms);
  }
  EXPECT_TRUE(printersim::Received(kitchen).empty());
  printersim::Reattach(till);
  ExpectBothWaysWork(till, "the till's printer back");
  printersim::Send(kitchen, Bytes{0x4B});
  printersim::Send(till, Bytes{0x54});
  EXPECT_EQ(ReadBytes(m_java, 1, m_java.readHandle()), Bytes{0x54});
  EXPECT_TRUE(printersim::Received(kitchen).empty());
}

// While the till's printer is away, the application retries its opens, and a printer on the
// maker's driver is plugged in meanwhile. The opens fail rather than take that printer, and
// once the till's printer is back every receipt goes to it.
TEST_F(PortRecovery, OpensRetriedWhileTheTillIsAwayNeverTakeAnotherPrintersDriver) {
  const int till = OpenClassSession();
  const jint writeName = m_java.writeHandle();
  const int other = Attach(kMakerDriver, 1, "OTHER");
  printersim::Detach(till);
  ASSERT_TRUE(WaitForTrace("ReopenCom(#) Handles Invalid\n"));
  FakeArray receipt = ArrayOf({'r'});
  EXPECT_NE(m_java.Write(&receipt, writeName), 0);
  EXPECT_EQ(m_java.Init(JavaThread::kWrite), -1) << "the open took another printer";
  EXPECT_EQ(m_java.Init(JavaThread::kRead), -1) << "the open took another printer";
  EXPECT_EQ(m_java.Purge(m_java.readHandle()), 1);  // still the pipeline's read pipe
  printersim::Reattach(till);
  ExpectBothWaysWork(till, "the till's printer back");
  EXPECT_TRUE(printersim::Received(other).empty());
  EXPECT_TRUE(printersim::Purges(till).size() <= 2u);  // the reopen's own, nothing from Java
}

// A printer that comes back under another serial is another printer to the library: it is
// not taken for the old one; the application's close and open take it.
TEST_F(PortRecovery, APrinterBackUnderAnotherSerialIsNotTakenForTheOldOne) {
  const int printer = OpenClassSession();
  printersim::Detach(printer);
  ASSERT_TRUE(WaitForTrace("ReopenCom(#) Handles Invalid\n"));
  const std::size_t before = printersim::Received(printer).size();
  printersim::Reattach(printer, "ANOTHER");
  EXPECT_FALSE(WriteSucceedsWithin({'x'}, 1500ms));
  EXPECT_EQ(printersim::Received(printer).size(), before);
  m_java.CloseBoth();
  ASSERT_TRUE(m_java.OpenBoth(kClassKind));
  ExpectBothWaysWork(printer, "after the application's own reopen");
}

// An open after a replug never hands back, as a success, a handle whose printer has gone:
// on the maker's driver, and on a Printer Class port that only writes (no worker recovers
// it). The name Java holds stays the same, and works again.
TEST_F(PortRecovery, AnOpenAfterAReplugOpensAfreshOnEitherDriver) {
  for (int kind : {kMakerDriver, kPrinterClassDriver}) {
    printersim::Reset();
    const int printer = Attach(kind);
    ASSERT_EQ(m_java.Init(JavaThread::kWrite), kind);
    const jint name = m_java.writeHandle();
    printersim::Detach(printer);
    FakeArray receipt = ArrayOf({'z'});
    EXPECT_EQ(m_java.Write(&receipt, name), 5) << kind;  // ERROR_ACCESS_DENIED
    printersim::Reattach(printer);
    ASSERT_EQ(m_java.Init(JavaThread::kWrite), kind);
    EXPECT_EQ(m_java.writeHandle(), name) << kind;
    EXPECT_EQ(m_java.Write(&receipt, name), 0) << kind;
    EXPECT_EQ(printersim::Received(printer), Bytes{'z'}) << kind;
    m_java.CloseBoth();
  }
}

// The printer stays plugged in, but its reads keep failing as after a removal (an endpoint
// in a bad state). The worker reopens a few times a second at most, and a writer on another
// thread never sees a write fail: a reopen swaps the write handle in one step.
TEST_F(PortRecovery, ReadsFailingOnAPresentPrinterArePacedAndNeverFailAWrite) {
  const int printer = OpenClassSession(printersim::kReadsQueued);
  printersim::FailNextReads(printer, ERROR_ACCESS_DENIED, 1000000);
  printersim::Send(printer, Bytes{0x00});  // ends the read waiting now; the next ones fail
  ASSERT_TRUE(WaitForTrace("ReopenCom(#) Handles Valid\n"));
  std::atomic<int> failed{0};
  std::atomic<int> written{0};
  std::thread writer([&] {
    JavaThread java;
    FakeArray receipt = ArrayOf({'w'});
    const auto until = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < until) {
      if (java.Write(&receipt, m_java.writeHandle()) == 0) {
        ++written;
      } else {
        ++failed;
      }
    }
  });
  const std::uint64_t reads = ReadsIssuedInHalfASecond(printer);
  writer.join();
  EXPECT_LT(reads, 6u) << "reopens of a present printer must be paced";
  EXPECT_EQ(failed.load(), 0);
  EXPECT_EQ(printersim::Received(printer).size(), 1u + static_cast<std::size_t>(written.load()));
  printersim::FailNextReads(printer, 0, 0);
}

// A second replug soon after a recovery is seen at once: the worker does not pause after a
// reopen that worked, and a write that finds the printer gone prompts it.
TEST_F(PortRecovery, ASecondReplugSoonAfterARecoveryIsRecoveredToo) {
  const int printer = OpenClassSession();
  printersim::Detach(printer);
  printersim::Reattach(printer);
  ASSERT_TRUE(WriteSucceedsWithin({'1'}, kRecoveryTime));
  printersim::Detach(printer);
  printersim::Reattach(printer);
  ExpectBothWaysWork(printer, "after the second replug");
}

}  // namespace
