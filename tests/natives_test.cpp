// The natives called directly, through a JNI table of the tests' own, where a JVM test
// cannot reach: failures of the system calls of a read bring-up, memory and JNI failures,
// drivers that take part of a write, and calls from several threads at once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <regex>
#include <thread>
#include <vector>

#include "comm/HandleLedger.h"
#include "comm/UsbComm.h"
#include "jni/Natives.h"
#include "support/Deadline.h"
#include "support/FakeJni.h"
#include "support/SimulatorTest.h"
#include "support/TraceGates.h"
#include "support/TraceLines.h"

namespace {

using namespace std::chrono_literals;
using printersim::kMakerDriver;
using printersim::kPrinterClassDriver;
using Lines = std::vector<std::string>;

constexpr jint kRead = static_cast<jint>(GENERIC_READ);

HANDLE HandleFromJavaValue(jint value) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(value));
}
constexpr jint kWrite = static_cast<jint>(GENERIC_WRITE);

// What happens after a read open lost its install to a recovery that found nothing.
enum class AfterTheLostInstall { kPrinterStays, kPrinterGoesAgain, kRecoveryFindsItFirst };

class NativesTest : public SimulatorTest {
 protected:
  void TearDown() override {
    CloseEverything();
    SimulatorTest::TearDown();
  }

  jint Init(jint access) {
    return Java_com_palvex_printer_UsbPort_usbInitPipe(m_jni.env(), FakeJni::Receiver(),
                                                       FakeJni::Holder(), access);
  }
  jint Close(jint handle) {
    return Java_com_palvex_printer_UsbPort_usbClosePipe(m_jni.env(), FakeJni::Receiver(), handle);
  }
  jint ReadInto(FakeArray& array, jint handle = 0) {
    return Java_com_palvex_printer_UsbPort_usbReadInputPipe(m_jni.env(), FakeJni::Receiver(),
                                                            handle, FakeJni::Array(array));
  }
  jint Write(FakeArray& array) {
    return Java_com_palvex_printer_UsbPort_usbWriteOutputPipe(
        m_jni.env(), FakeJni::Receiver(), m_jni.hWritePort, FakeJni::Array(array));
  }
  // The worker's recovery has looked for the printer and found nothing.
  static bool WorkerHasLostThePrinter() {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (g_UsbComm.m_hReadPort.Get() != INVALID_HANDLE_VALUE &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    return g_UsbComm.m_hReadPort.Get() == INVALID_HANDLE_VALUE;
  }
  void ExpectARecoveryOvertakenByAReadOpenKeepsWhatTheOpenFound(const char* heldAt);
  void ExpectTheReplyAndThenATimeout(int printer);
  void ExpectAReadOpenOvertakenByARecoveryThatFoundNothing(AfterTheLostInstall then);
  // What an application does at the end: close both pipes; a second close finds nothing.
  void CloseEverything() {
    if (m_jni.hWritePort != 0) Close(m_jni.hWritePort);
    if (m_jni.hReadPort != 0) Close(m_jni.hReadPort);
    if (g_UsbComm.HasReceivePipeline() || g_UsbComm.m_hWritePort.Get() != nullptr ||
        g_UsbComm.m_hReadPort.Get() != nullptr) {
      g_UsbComm.TearDownReceivePipeline(false);
    }
    m_jni.hWritePort = m_jni.hReadPort = 0;
  }

  FakeJni m_jni;
};

TEST_F(NativesTest, MemoryAndJniFailuresEndTheCallWithoutTouchingTheArray) {
  AttachSupported(kMakerDriver);
  ASSERT_EQ(Init(kWrite), kNativeUsb);
  ASSERT_EQ(Init(kRead), kNativeUsb);
  FakeArray array{std::vector<jbyte>(4, 0x55)};
  hostwin::FailNextCalls("HeapAlloc", ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_EQ(ReadInto(array, m_jni.hReadPort), -1);
  EXPECT_EQ(array.bytes, std::vector<jbyte>(4, 0x55));

  m_jni.failElements = true;
  EXPECT_EQ(Write(array), ERROR_NOT_ENOUGH_MEMORY);
  m_jni.failElements = false;
  EXPECT_TRUE(printersim::Received(1).empty());
}

// A driver that takes part of a write gets the rest; one that takes nothing fails the write.
TEST_F(NativesTest, NoPrintDataIsLostToAShortWrite) {
  const int printer = AttachSupported(kPrinterClassDriver);
  ASSERT_EQ(Init(kWrite), kPrinterClassUsb);
  printersim::LimitWrites(printer, 7);
  FakeArray receipt{std::vector<jbyte>(100)};
  for (size_t i = 0; i < receipt.bytes.size(); ++i) receipt.bytes[i] = static_cast<jbyte>(i);
  EXPECT_EQ(Write(receipt), 0);
  const std::vector<std::uint8_t> received = printersim::Received(printer);
  ASSERT_EQ(received.size(), 100u);
  for (size_t i = 0; i < received.size(); ++i) EXPECT_EQ(received[i], i);
  printersim::LimitWrites(printer, 0);
  EXPECT_EQ(Write(receipt), ERROR_WRITE_FAULT);
}

TEST_F(NativesTest, WriteSummaryCountsEveryByteWritten) {
  const int printer = AttachSupported(kMakerDriver);
  ASSERT_EQ(Init(kWrite), kNativeUsb);
  printersim::LimitWrites(printer, 10);
  FakeArray data{std::vector<jbyte>(40, 0x20)};
  Traces();
  EXPECT_EQ(Write(data), 0);
  bool found = false;
  for (const std::string& line : Traces()) {
    if (line.find("WRITE: nHandle") != std::string::npos) {
      found = true;
      EXPECT_NE(line.find("nData = 40, nWritten = 40"), std::string::npos) << line;
    }
  }
  EXPECT_TRUE(found);
}

// The printer comes back under the maker's driver (the same printer: its serial) while a
// Printer Class pipeline still waits to recover. The new maker's read handle reads that
// printer, its write handle writes to it whatever the pipeline's recovery does, the leftover
// pipeline is left alone until a close, and one worker is all there ever is.
TEST_F(NativesTest, APrinterBackUnderTheOtherDriverReadsThroughItsOwnHandle) {
  const int classPrinter = AttachSupported(kPrinterClassDriver, 0, "TILL");
  ASSERT_EQ(Init(kRead), kPrinterClassUsb);
  const jint pipelineRead = m_jni.hReadPort;
  const HANDLE worker = g_UsbComm.m_hWorkerThread.load();
  printersim::Send(classPrinter, std::vector<std::uint8_t>{1, 2});
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (g_UsbComm.BytesAvailable() < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  printersim::Detach(classPrinter);
  const int makerPrinter = AttachSupported(kMakerDriver, 0, "TILL");
  ASSERT_EQ(Init(kWrite), kNativeUsb);
  Traces();  // from here on, every recovery starts after the write open
  // The pipeline's own handle still reads what its buffer holds. (Read before the next
  // open: the system may hand the value to a new handle once recovery has closed it.)
  FakeArray array{std::vector<jbyte>(8)};
  EXPECT_EQ(ReadInto(array, pipelineRead), 2);
  EXPECT_EQ(array.bytes[1], 2);
  ASSERT_EQ(Init(kRead), kNativeUsb);
  const jint nativeRead = m_jni.hReadPort;
  EXPECT_TRUE(g_UsbComm.HasReceivePipeline());

  printersim::Send(makerPrinter, std::vector<std::uint8_t>{7, 8});
  EXPECT_EQ(ReadInto(array, nativeRead), 2);
  EXPECT_EQ(array.bytes[1], 8);

  // The pipeline goes on trying to recover its own printer; the maker's printer keeps the
  // write handle its open made.
  std::vector<std::string> seen = Traces();
  const auto retryDeadline = std::chrono::steady_clock::now() + 10s;
  const auto recoveredSinceTheOpen = [&seen] {
    const int start = IndexOf(seen, "ReopenCom(#) Invalidate Handles\n");
    return start != -1 && IndexOf(seen, "ReopenCom(#) Handles Invalid\n", start) != -1;
  };
  while (!recoveredSinceTheOpen() &&
         std::chrono::steady_clock::now() < retryDeadline) {
    std::this_thread::sleep_for(1ms);
    const std::vector<std::string> more = Traces();
    seen.insert(seen.end(), more.begin(), more.end());
  }
  ASSERT_TRUE(recoveredSinceTheOpen());
  FakeArray receipt{std::vector<jbyte>{'o', 'k'}};
  EXPECT_EQ(Write(receipt), 0);
  EXPECT_EQ(printersim::Received(makerPrinter), (std::vector<std::uint8_t>{'o', 'k'}));
  Traces();
  EXPECT_EQ(Close(nativeRead), 0);  // closes that handle alone
  EXPECT_NE(IndexOf(Traces(), "usbClosePipe(#) ?????\n"), -1);
  EXPECT_TRUE(g_UsbComm.HasReceivePipeline());

  printersim::Detach(makerPrinter);
  printersim::Reattach(classPrinter);
  ASSERT_EQ(Init(kRead), kPrinterClassUsb);
  EXPECT_EQ(g_UsbComm.m_hWorkerThread.load(), worker);
  EXPECT_EQ(Close(m_jni.hReadPort), 0);
  EXPECT_FALSE(g_UsbComm.HasReceivePipeline());
  m_jni.hReadPort = 0;
  Close(m_jni.hWritePort);  // the maker's write handle, closed by the teardown already
  m_jni.hWritePort = 0;
}

// An application that retries its read open after a replug, before the worker's recovery
// has found the printer again, gets a working handle at once, and the port keeps its one
// worker. The open wakes the worker from its pause while the printer is away: released just
// before the printer is back, the worker reads on the open's handle at once rather than at
// the pause's end. Should the open come only after that pause (a slow machine), the worker
// is held before its next recovery until the open is done, and keeps the open's handle then.
TEST_F(NativesTest, AReadOpenDuringRecoveryKeepsTheOneWorker) {
  const int printer = AttachSupported(kPrinterClassDriver);
  ASSERT_EQ(Init(kRead), kPrinterClassUsb);
  const HANDLE worker = g_UsbComm.m_hWorkerThread.load();
  TraceGates gates;
  const int foundNothing = gates.HoldAt("Setting PCLSPowerStatus FALSE");
  const int nextRecovery = gates.HoldAt("Calling ReopenCom", false);
  const int readsOnTheOpensHandle = gates.Notice("Read handle reopened by an open");
  gates.Install();
  printersim::Detach(printer);
  ASSERT_TRUE(gates.Reached(foundNothing));
  gates.Arm(nextRecovery);
  gates.Release(foundNothing);
  printersim::Reattach(printer);
  ASSERT_EQ(Init(kRead), kPrinterClassUsb);
  gates.Release(nextRecovery);
  EXPECT_NE(HandleFromJavaValue(m_jni.hReadPort), INVALID_HANDLE_VALUE);
  EXPECT_EQ(g_UsbComm.m_hWorkerThread.load(), worker);
  EXPECT_EQ(IndexOf(Traces(), "usbInitPipe(#) Stopping the receive worker left from an earlier read pipe\n"), -1);
  EXPECT_TRUE(gates.Reached(readsOnTheOpensHandle));
  printersim::Send(printer, std::vector<std::uint8_t>{5, 6, 7});
  FakeArray array{std::vector<jbyte>(8)};
  EXPECT_EQ(ReadInto(array, m_jni.hReadPort), 3);
}

// The worker is held at the first trace line that contains `heldAt`, after the printer has
// gone and its recovery has found nothing; meanwhile the printer comes back, the reply to a
// request the application sent waits in it, and the application's retried read open finds
// the printer. Once released, the recovery must keep the open's handle and purge nothing:
// the reply arrives, and a read that then finds nothing says the printer timed out, not
// that it is away.
void NativesTest::ExpectARecoveryOvertakenByAReadOpenKeepsWhatTheOpenFound(
    const char* heldAt) {
  const int printer = AttachSupported(kPrinterClassDriver);
  ASSERT_EQ(Init(kRead), kPrinterClassUsb);
  printersim::Detach(printer);
  ASSERT_TRUE(WorkerHasLostThePrinter());
  TraceGates gates;
  const int held = gates.HoldAt(heldAt);
  gates.Install();
  ASSERT_TRUE(gates.Reached(held));
  printersim::Reattach(printer);
  ASSERT_EQ(Init(kRead), kPrinterClassUsb);
  const HANDLE opened = g_UsbComm.m_hReadPort.Get();
  printersim::Send(printer, std::vector<std::uint8_t>{5, 6, 7});
  gates.Release(held);
  ExpectTheReplyAndThenATimeout(printer);
  EXPECT_EQ(g_UsbComm.m_hReadPort.Get(), opened);
}

// The reply the printer has waiting reaches Java whole, nothing was purged, and a read that
// then finds nothing says the printer timed out, not that it is away.
void NativesTest::ExpectTheReplyAndThenATimeout(int printer) {
  FakeArray array{std::vector<jbyte>(8)};
  jint got = -1;
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (got == -1 && std::chrono::steady_clock::now() < deadline) {
    got = ReadInto(array, m_jni.hReadPort);
  }
  EXPECT_EQ(got, 3);
  EXPECT_EQ(printersim::BytesPurged(printer), 0u);
  EXPECT_EQ(ReadInto(array, m_jni.hReadPort), -1);
  EXPECT_EQ(Java_com_palvex_printer_UsbPort_usbGetLastError(m_jni.env(),
                                                             FakeJni::Receiver()),
            static_cast<jint>(ERROR_TIMEOUT));
}

// Held in the search of its recovery, which finds nothing.
TEST_F(NativesTest, ARecoveryOvertakenInItsSearchKeepsWhatTheOpenFound) {
  ExpectARecoveryOvertakenByAReadOpenKeepsWhatTheOpenFound("ReopenCom - CreateFile");
}

// Held after its next read failed on the handle that stands for the printer's absence,
// before that read's recovery has begun.
TEST_F(NativesTest, ARecoveryOvertakenBeforeItBeginsKeepsWhatTheOpenFound) {
  ExpectARecoveryOvertakenByAReadOpenKeepsWhatTheOpenFound("Calling ReopenCom");
}

// The open looked at the read handle while the first recovery after the printer went searched
// (the member was empty), and the recovery, finding nothing, installed the handle that stands
// for the printer's absence before the open could install the one it found. The open tries
// again, and
// - installs its own and succeeds, the printer present;
// - fails when the printer has gone again meanwhile, the printer still away, so that a read
//   says the printer is not there rather than that it timed out;
// - takes the handle of the worker's next recovery, which found the printer first, when its
//   own open of the pipe is refused: the printer is present, and the port works.
void NativesTest::ExpectAReadOpenOvertakenByARecoveryThatFoundNothing(AfterTheLostInstall then) {
  const int printer = AttachSupported(kPrinterClassDriver);
  ASSERT_EQ(Init(kRead), kPrinterClassUsb);
  TraceGates gates;
  const int searched = gates.HoldAt("ReopenCom - CreateFile");
  const int opening = gates.HoldAt("...Called Read Create File", false);
  const int foundNothing = gates.HoldAt("Setting PCLSPowerStatus FALSE", false);
  const int openingAgain = gates.HoldAt("...Called Read Create File", false);
  const int recovered = gates.Notice("Setting PCLSPowerStatus TRUE", false);
  gates.Install();
  printersim::Detach(printer);  // the first recovery after the printer went: its search
  ASSERT_TRUE(gates.Reached(searched));
  ASSERT_EQ(g_UsbComm.m_hReadPort.Get(), nullptr);
  printersim::Reattach(printer);
  gates.Arm(opening);
  auto open = std::async(std::launch::async, [] {
    FakeJni jni;  // each thread calls through a JNI table of its own
    const jint kind = Java_com_palvex_printer_UsbPort_usbInitPipe(
        jni.env(), FakeJni::Receiver(), FakeJni::Holder(), kRead);
    return std::make_pair(kind, jni.hReadPort);
  });
  ASSERT_TRUE(gates.Reached(opening));
  gates.Arm(foundNothing);
  gates.Release(searched);
  ASSERT_TRUE(gates.Reached(foundNothing));
  ASSERT_EQ(g_UsbComm.m_hReadPort.Get(), INVALID_HANDLE_VALUE);
  gates.Arm(openingAgain);
  gates.Release(opening);
  ASSERT_TRUE(gates.Reached(openingAgain));
  if (then == AfterTheLostInstall::kPrinterGoesAgain) printersim::Detach(printer);
  if (then == AfterTheLostInstall::kRecoveryFindsItFirst) {
    gates.Arm(recovered);
    gates.Release(foundNothing);
    ASSERT_TRUE(gates.Reached(recovered));
    printersim::FailNextOpens(printer, ERROR_SHARING_VIOLATION, 1);
  }
  gates.Release(openingAgain);
  const std::pair<jint, jint> opened = open.get();
  if (then == AfterTheLostInstall::kPrinterGoesAgain) {
    EXPECT_EQ(opened.first, -1);
    EXPECT_TRUE(g_UsbComm.PrinterIsAway());
    FakeArray array{std::vector<jbyte>(8)};
    EXPECT_EQ(ReadInto(array, m_jni.hReadPort), -1);
    EXPECT_EQ(Java_com_palvex_printer_UsbPort_usbGetLastError(m_jni.env(), FakeJni::Receiver()),
              static_cast<jint>(ERROR_DEVICE_NOT_CONNECTED));
    return;
  }
  EXPECT_EQ(opened.first, kPrinterClassUsb);
  m_jni.hReadPort = opened.second;
  EXPECT_FALSE(g_UsbComm.PrinterIsAway());
  gates.Release(foundNothing);
  printersim::Send(printer, std::vector<std::uint8_t>{5, 6, 7});
  ExpectTheReplyAndThenATimeout(printer);
}

TEST_F(NativesTest, AReadOpenOvertakenByARecoveryThatFoundNothingStillSucceeds) {
  ExpectAReadOpenOvertakenByARecoveryThatFoundNothing(AfterTheLostInstall::kPrinterStays);
}

TEST_F(NativesTest, AReadOpenOvertakenByARecoveryThatFoundNothingLeavesAGonePrinterMarkedAway) {
  ExpectAReadOpenOvertakenByARecoveryThatFoundNothing(AfterTheLostInstall::kPrinterGoesAgain);
}

TEST_F(NativesTest, AReadOpenOvertakenByARecoveryThatFoundNothingTakesTheNextRecoverysHandle) {
  ExpectAReadOpenOvertakenByARecoveryThatFoundNothing(AfterTheLostInstall::kRecoveryFindsItFirst);
}

// A read open that replaces a read handle the worker still reads on (a request on it said
// the printer had gone, and the printer is back) leaves that read alone: the handle stays
// open until the read ends, so the read is not aborted under the worker, and its value
// cannot pass to another object meanwhile. The printer's reply arrives, and the old handle
// is closed once the read that took it has ended.
TEST_F(NativesTest, AnOpenThatReplacesTheHandleOfAPendingReadLeavesThatReadAlone) {
  const int printer = AttachSupported(kPrinterClassDriver);
  ASSERT_EQ(Init(kRead), kPrinterClassUsb);
  const HANDLE reading = g_UsbComm.m_hReadPort.Get();
  ASSERT_TRUE(printersim::WaitForPendingRead(printer, 10s));
  TheHandleLedger().MarkGone(reading);
  ASSERT_EQ(Init(kRead), kPrinterClassUsb);
  ASSERT_NE(g_UsbComm.m_hReadPort.Get(), reading);
  printersim::Send(printer, std::vector<std::uint8_t>{5, 6, 7});
  FakeArray array{std::vector<jbyte>(8)};
  EXPECT_EQ(ReadInto(array, m_jni.hReadPort), 3);
  EXPECT_EQ(IndexOf(Traces(), "Default case(#)  dwError = 995\n"), -1);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (printersim::OpenFiles(printer) != 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(printersim::OpenFiles(printer), 1);
}

// Opening the read pipe drops what arrived before it, but never more than 8 KiB: a printer
// that keeps sending cannot keep the open from returning.
TEST_F(NativesTest, TheDrainOfAReadOpenTakesAtMostEightKibibytes) {
  const int printer = AttachSupported(kPrinterClassDriver);
  std::atomic<bool> stop{false};
  std::thread talker([&] {
    const std::vector<std::uint8_t> chunk(1024, 0xEE);
    while (!stop.load()) printersim::Send(printer, chunk);
  });
  std::atomic<int> discarded{-1};
  hostwin::SetDebugOutputObserver([&](const char* line) {
    int count = 0;
    if (std::sscanf(line, "usbInitPipe(%*d) Discarded %d bytes", &count) == 1) discarded = count;
  });
  const jint kind = FinishesWithin(10000ms, "the read open", [&] {
    FakeJni jni;
    const jint result = Java_com_palvex_printer_UsbPort_usbInitPipe(
        jni.env(), FakeJni::Receiver(), FakeJni::Holder(), kRead);
    m_jni.hReadPort = jni.hReadPort;
    return result;
  });
  hostwin::SetDebugOutputObserver(nullptr);
  stop = true;
  talker.join();
  EXPECT_EQ(kind, kPrinterClassUsb);
  EXPECT_GT(discarded.load(), 0);
  EXPECT_LE(discarded.load(), 8192);
}

// A write gives the array's elements back without copying them into the array again (a
// copy of 64 MiB for a large array, over what Java changed meanwhile), and a read takes
// only as much memory as can arrive, however large Java's array is.
TEST_F(NativesTest, LargeArraysCostNoCopyBackAndNoMemoryBeyondWhatCanArrive) {
  for (int kind : {kMakerDriver, kPrinterClassDriver}) {
    printersim::Reset();
    AttachSupported(kind);
    ASSERT_EQ(Init(kWrite), kind);
    ASSERT_EQ(Init(kRead), kind);
    FakeArray receipt{std::vector<jbyte>(1000, 'r')};
    EXPECT_EQ(Write(receipt), 0);
    EXPECT_EQ(m_jni.lastReleaseMode, JNI_ABORT) << kind;
    FakeArray large{std::vector<jbyte>(16u << 20)};
    hostwin::TakeLargestHeapAllocation();
    ReadInto(large, m_jni.hReadPort);
    EXPECT_LE(hostwin::TakeLargestHeapAllocation(), kind == kMakerDriver ? 64u * 1024 : 4096u)
        << kind;
    CloseEverything();
  }
}

// Opens and closes on several threads at once, with readers and the bytes-available query
// running beside them: nothing garbles a path, nothing reads a freed buffer (the sanitizers
// watch), and every handle is closed at the end.
TEST_F(NativesTest, OpensClosesAndReadsOnManyThreadsAtOnce) {
  const int printer = AttachSupported(kPrinterClassDriver);
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    while (!stop.load()) {
      printersim::Send(printer, std::vector<std::uint8_t>{0xC3, 'a', 'b'});
      std::this_thread::sleep_for(1ms);
    }
  });
  std::thread counter([&] {
    FakeJni jni;
    while (!stop.load()) {
      Java_com_palvex_printer_UsbPort_usbGetBytesAvailable(jni.env(), FakeJni::Receiver());
    }
  });
  std::thread reader([&] {
    FakeJni jni;
    FakeArray array{std::vector<jbyte>(16)};
    while (!stop.load()) {
      Java_com_palvex_printer_UsbPort_usbReadInputPipe(jni.env(), FakeJni::Receiver(), 0,
                                                       FakeJni::Array(array));
    }
  });
  auto cycler = [&] {
    FakeJni jni;
    for (int i = 0; i < 40; ++i) {
      Java_com_palvex_printer_UsbPort_usbInitPipe(jni.env(), FakeJni::Receiver(), FakeJni::Holder(), kWrite);
      Java_com_palvex_printer_UsbPort_usbInitPipe(jni.env(), FakeJni::Receiver(), FakeJni::Holder(), kRead);
      Java_com_palvex_printer_UsbPort_usbClosePipe(jni.env(), FakeJni::Receiver(), jni.hReadPort);
    }
  };
  std::thread a(cycler);
  std::thread b(cycler);
  a.join();
  b.join();
  stop = true;
  sender.join();
  counter.join();
  reader.join();
  CloseEverything();

  const std::regex summary(R"(READ:  nHandle=[^,]+, nData=16, bData\[0\]=(0|ffffffc3|61|62) nCount=\d+ bResult=[01])");
  for (const std::string& line : LinesOf(hostwin::TakeDebugOutput(), "usbReadInputPipe")) {
    if (line.find("READ:") == std::string::npos) continue;
    EXPECT_TRUE(std::regex_search(line, summary)) << line;
  }
}

TEST_F(NativesTest, ErrorStringForACodeWithoutTextNamesThatCode) {
  hostwin::FailNextCalls("FormatMessageA", ERROR_NOT_ENOUGH_MEMORY, 1);
  const jstring text =
      Java_com_palvex_printer_UsbPort_usbGetErrorString(m_jni.env(), FakeJni::Receiver(), 5);
  EXPECT_EQ(m_jni.Text(text), "FormatMessage failed: 5\n");
  // The path of an open is not where the failure text is built.
  AttachSupported(kMakerDriver);
  ASSERT_EQ(Init(kWrite), kNativeUsb);
  const std::string path = g_szPipePath;
  Java_com_palvex_printer_UsbPort_usbGetErrorString(m_jni.env(), FakeJni::Receiver(), 0x7FFFFFFF);
  EXPECT_EQ(std::string(g_szPipePath), path);
}

// The system's texts are in the ANSI code page (Windows-1252 here), where the bytes 0x80
// to 0x9F are not the Latin-1 characters of the same number: only a conversion keeps a
// localized text intact, and a Java string made from the raw bytes would be garbled.
TEST_F(NativesTest, ErrorTextsReachJavaAsUtf16FromTheAnsiCodePage) {
  hostwin::SetSystemMessage(6, "Das Handle ist ung\xFC" "ltig \x96 \x84" "Druck\x93 \x80.\r\n");
  const jstring text =
      Java_com_palvex_printer_UsbPort_usbGetErrorString(m_jni.env(), FakeJni::Receiver(), 6);
  hostwin::SetSystemMessage(6, "");
  EXPECT_EQ(m_jni.Utf16(text), u"Das Handle ist ung\u00FCltig \u2013 \u201EDruck\u201C \u20AC.\r\n");
}

}  // namespace

namespace {

// A field the device reports as 0xFFFFFFFE keeps that value whatever the call asks; the
// others take their arguments, -1 becoming MAXDWORD.
TEST_F(NativesTest, TimeoutFieldsTheDeviceFixesAreKept) {
  const int printer = AttachSupported(kMakerDriver);
  ASSERT_EQ(Init(kRead), kNativeUsb);
  printersim::SetFixedTimeoutFields(printer, printersim::kReadTotalTimeoutConstantField);
  EXPECT_EQ(Java_com_palvex_printer_UsbPort_usbSetCommTimeout(m_jni.env(), FakeJni::Receiver(),
                                                              m_jni.hReadPort, -1, 2, 300, 4, 5),
            0);
  EXPECT_EQ(Java_com_palvex_printer_UsbPort_usbGetCommTimeout(m_jni.env(), FakeJni::Receiver(),
                                                              m_jni.hReadPort),
            static_cast<jint>(0xFFFFFFFEu));
}

}  // namespace
