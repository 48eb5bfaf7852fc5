// The library's system calls failing one at a time, through the natives alone: each failing
// step of a read bring-up, and failures the receive worker meets while it runs. Every call
// still returns, a close still releases everything, and the port works again afterwards.
// The same suite runs against the shipped DLL on Windows, its system calls failed through
// its imports.
#include <gtest/gtest.h>
#include <printersim/printersim.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/Deadline.h"
#include "support/NativePort.h"
#include "support/TraceLines.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

constexpr jint kClassKind = 1;
constexpr DWORD kNoMemory = ERROR_NOT_ENOUGH_MEMORY;

class PortFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    printersim::Reset();
    ClearSystemFaults();
    m_printer = Attach();
    TakeDebugOutput();
    m_handlesAtStart = LiveHandleCount();
  }

  void TearDown() override {
    ClearSystemFaults();
    FinishesWithin(5000ms, "closing the pipes", [this] { m_java.CloseBoth(); });
    printersim::Reset();
    EXPECT_EQ(LiveHandleCount(), m_handlesAtStart) << "handles left open: " << LiveHandleKinds();
  }

  static int Attach() {
    const std::uint32_t pair = printersim::SupportedIds()[0];
    return printersim::Attach(printersim::kPrinterClassDriver, static_cast<int>(pair >> 16),
                              static_cast<int>(pair & 0xFFFF));
  }

  const std::vector<std::string>& Traces() {
    for (const std::string& entry : TakeDebugOutput()) m_traces.push_back(WithoutLineNumber(entry));
    return m_traces;
  }

  bool WaitForTrace(const std::string& line) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (IndexOf(Traces(), line) == -1) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(2ms);
    }
    return true;
  }

  // Closes the port with the name of its read pipe, as an application's shutdown does.
  jint CloseWithinOneSecond() {
    const auto start = std::chrono::steady_clock::now();
    const jint result = FinishesWithin(5000ms, "usbClosePipe",
                                       [this] { return m_java.Close(m_java.readHandle()); });
    EXPECT_LT(ElapsedMs(start), 1000);
    return result;
  }

  // The port works again: a session moves bytes both ways.
  void ExpectAWorkingSession() {
    ASSERT_TRUE(m_java.OpenBoth(kClassKind));
    FakeArray status;
    status.bytes = {0x10, 0x04, 1};
    EXPECT_EQ(m_java.Write(&status, m_java.writeHandle()), 0);
    FakeArray reply{std::vector<jbyte>(4)};
    EXPECT_EQ(m_java.Read(&reply, m_java.readHandle()), 1);
    EXPECT_EQ(m_java.Close(m_java.readHandle()), 0);
  }

  JavaThread m_java;
  std::vector<std::string> m_traces;
  int m_printer = 0;
  int m_handlesAtStart = 0;
};

// Each failing step of a read bring-up, the worker's own first steps included: the open
// fails, gives back at once whatever it made (Java got no name to close it with), and a read
// open that follows works.
TEST_F(PortFaults, EachFailingStepOfAReadBringUpGivesBackWhatItMade) {
  struct Step {
    const char* function;
    int skip;  // calls of the function that still succeed first
    const char* trace;
  } steps[] = {
      {"CreateEventA", 0, "usbInitPipe(#) m_QuitEvent Error=8\n"},
      {"CreateEventA", 1, "usbInitPipe(#) m_ReadThreadTerminated Error=8\n"},
      {"CreateEventA", 2, "usbInitPipe(#) Creating m_hPCLSDataEvent\n"},
      {"CreateEventA", 3, "usbInitPipe(#) Creating m_hPCLSDataEvent\n"},
      {"CreateEventA", 4, "usbInitPipe(#) Creating m_hPCLSDataEvent\n"},
      {"CreateEventA", 5, "usbInitPipe(#) Creating m_hPCLSDataEvent\n"},
      {"CreateMutexA", 0, "usbInitPipe(#) Creating m_pCCBuffer\n"},
      {"HeapAlloc", 0, "usbInitPipe(#) Creating m_pCCBuffer\n"},
      {"CreateThread", 0, "usbInitPipe(#) CreateThread failed. Status=8\n"},
      {"ResumeThread", 0, "usbInitPipe(#) ResumeThread failed. Status=8\n"},
      // The worker's read slot: its memory, then its completion event.
      {"HeapAlloc", 1, "ReceiveData(#) Event creation failed\n"},
      {"CreateEventA", 6, "ReceiveData(#) Event creation failed\n"},
  };
  for (const Step& step : steps) {
    const std::string name = std::string(step.function) + " after " + std::to_string(step.skip);
    m_traces.clear();
    FailNextSystemCalls(step.function, kNoMemory, 1, step.skip);
    EXPECT_EQ(m_java.Init(JavaThread::kRead), -1) << name;
    ClearSystemFaults();
    EXPECT_EQ(m_java.readHandle(), 0) << name;  // the holder is left alone
    EXPECT_NE(IndexOf(Traces(), step.trace), -1) << name;
    EXPECT_EQ(LiveHandleCount(), m_handlesAtStart) << name << ": " << LiveHandleKinds();
    EXPECT_EQ(m_java.Init(JavaThread::kRead), kClassKind) << name;
    printersim::Send(m_printer, Bytes{0x5A});
    FakeArray reply{std::vector<jbyte>(4)};
    EXPECT_EQ(m_java.Read(&reply, m_java.readHandle()), 1) << name;
    EXPECT_EQ(reply.bytes[0], 0x5A) << name;
    EXPECT_EQ(CloseWithinOneSecond(), 0) << name;
    m_java.jni().hReadPort = 0;
    EXPECT_EQ(LiveHandleCount(), m_handlesAtStart) << name << ": " << LiveHandleKinds();
  }
  ExpectAWorkingSession();
}

// The close cannot wait for the worker thread's end: it releases nothing the worker may
// still use and says so, and the next close releases it all.
TEST_F(PortFaults, ACloseThatCannotWaitForTheWorkerReleasesNothing) {
  ASSERT_EQ(m_java.Init(JavaThread::kRead), kClassKind);
  ASSERT_TRUE(printersim::WaitForPendingRead(m_printer, 10s));
  // The close waits for the acknowledgement first (that wait still works), then for the
  // worker's end, which fails.
  FailNextSystemCalls("WaitForMultipleObjects", ERROR_INVALID_HANDLE, 1, 1);
  EXPECT_EQ(m_java.Close(m_java.readHandle()), 1);
  ClearSystemFaults();
  EXPECT_NE(IndexOf(Traces(), "usbClosePipe(#) WaitForSingleObject m_ReadThreadTerminated failed\n"), -1);
  EXPECT_EQ(CloseWithinOneSecond(), 0);
  m_java.jni().hReadPort = 0;
  ExpectAWorkingSession();
}

// A worker that cannot make its completion event ends at once, and the open that started it
// fails instead of handing out a pipe that would never deliver.
TEST_F(PortFaults, AWorkerWithoutItsCompletionEventFailsItsOpen) {
  FailNextSystemCalls("CreateEventA", kNoMemory, 1, 6);  // after the bring-up's six
  ASSERT_EQ(m_java.Init(JavaThread::kRead), -1);
  EXPECT_TRUE(InOrder(Traces(), {"_ReceiveData(#) ***** ENTER *****\n", "ReceiveData(#) Entry\n",
                                 "ReceiveData(#) Entry\n", "ReceiveData(#) Event creation failed\n",
                                 "_ReceiveData(#) ***** EXIT *****\n"}));
  EXPECT_EQ(IndexOf(Traces(), "ReceiveData(#) Loop top\n"), -1);
  ExpectAWorkingSession();
}

// The completion event cannot be reset after a read completes: the loop ends, and the close
// still finishes.
TEST_F(PortFaults, AFailedResetOfTheCompletionEventLetsTheCloseFinish) {
  ASSERT_EQ(m_java.Init(JavaThread::kRead), kClassKind);
  ASSERT_TRUE(printersim::WaitForPendingRead(m_printer, 10s));
  FailNextSystemCalls("ResetEvent", ERROR_INVALID_HANDLE, 1);
  printersim::Send(m_printer, Bytes{1, 2, 3});
  ASSERT_TRUE(WaitForTrace("ReceiveData(#) Reset event failed\n"));
  ASSERT_TRUE(WaitForTrace("_ReceiveData(#) ***** EXIT *****\n"));
  EXPECT_EQ(CloseWithinOneSecond(), 0);
  ExpectAWorkingSession();
}

// The worker's wait for its read fails once: traced, and the read that is still out
// delivers when the printer sends.
TEST_F(PortFaults, AFailedWaitOfTheWorkerIsTracedAndItsReadStillDelivers) {
  ASSERT_EQ(m_java.Init(JavaThread::kRead), kClassKind);
  ASSERT_TRUE(WaitForTrace("ReceiveData(#) WaitForMultipleObjects start\n"));
  FailNextSystemCalls("WaitForMultipleObjects", ERROR_INVALID_HANDLE, 1);
  ASSERT_TRUE(WaitForTrace("ReceiveData(#) default Error=6\n"));  // the next wait, within 500 ms
  printersim::Send(m_printer, Bytes{7, 8});
  FakeArray into{std::vector<jbyte>(4)};
  EXPECT_EQ(m_java.Read(&into, m_java.readHandle()), 2);
  EXPECT_EQ(into.bytes[1], 8);
}

// A read that the system refuses at its issue is retried at the worker's pace.
TEST_F(PortFaults, AReadRefusedAtItsIssueIsRetried) {
  ASSERT_EQ(m_java.Init(JavaThread::kRead), kClassKind);
  ASSERT_TRUE(printersim::WaitForPendingRead(m_printer, 10s));
  FailNextSystemCalls("ReadFile", ERROR_GEN_FAILURE, 1);
  printersim::Send(m_printer, Bytes{1});
  ASSERT_TRUE(WaitForTrace("Default case(#)  dwError = 31\n"));
  printersim::Send(m_printer, Bytes{2});
  FakeArray into{std::vector<jbyte>(4)};
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  jint got = 0;
  while (got < 2 && std::chrono::steady_clock::now() < deadline) {
    const jint n = m_java.Read(&into, m_java.readHandle());
    if (n > 0) got += n;
  }
  EXPECT_EQ(got, 2);
}

// The data event cannot be set: traced, and the bytes wait in the buffer for the next read.
TEST_F(PortFaults, AFailedSignalOfNewBytesLeavesThemForTheNextRead) {
  ASSERT_EQ(m_java.Init(JavaThread::kRead), kClassKind);
  ASSERT_TRUE(printersim::WaitForPendingRead(m_printer, 10s));
  FailNextSystemCalls("SetEvent", ERROR_INVALID_HANDLE, 1);
  printersim::Send(m_printer, Bytes{9});
  ASSERT_TRUE(WaitForTrace("ReceiveData(#) 1SetEvent(m_hPCLSDataEvent) returns error Error=6\n"));
  FakeArray into{std::vector<jbyte>(4)};
  EXPECT_EQ(m_java.Read(&into, m_java.readHandle()), 1);
}

// Writes and texts: a failed write reports the system's error and sends nothing; an error
// text that cannot be made or converted falls back to the failure text.
TEST_F(PortFaults, FailedWritesAndErrorTextsReportWhatFailed) {
  ASSERT_EQ(m_java.Init(JavaThread::kWrite), kClassKind);
  FailNextSystemCalls("WriteFile", ERROR_GEN_FAILURE, 1);
  FakeArray print;
  print.bytes = {'x'};
  EXPECT_EQ(m_java.Write(&print, m_java.writeHandle()), 31);
  EXPECT_TRUE(printersim::Received(m_printer).empty());
  EXPECT_EQ(m_java.Write(&print, m_java.writeHandle()), 0);
  for (const char* function : {"FormatMessageA", "MultiByteToWideChar"}) {
    FailNextSystemCalls(function, kNoMemory, 1);
    EXPECT_EQ(m_java.ErrorString(5), "FormatMessage failed: 5\n") << function;
  }
  const std::string text = m_java.ErrorString(5);  // the system's own wording
  EXPECT_NE(text, "FormatMessage failed: 5\n");
  EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
}

}  // namespace
