// The receive worker against a simulated printer class printer: what each read outcome
// does, how the loop is paced, and that stopping it frees nothing in use and loses nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include <hostwin/hostwin.h>

#include "comm/HandleLedger.h"
#include "support/PipelineHarness.h"
#include "support/SimulatorTest.h"
#include "support/TraceLines.h"

namespace {

using namespace std::chrono_literals;
using printersim::kPrinterClassDriver;
using Lines = std::vector<std::string>;

constexpr auto kGenerous = 10s;

std::vector<std::uint8_t> Pattern(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
  return bytes;
}

class ReceiveWorkerTest : public SimulatorTest {
 protected:
  void SetUp() override {
    SimulatorTest::SetUp();
    m_printer = AttachSupported(kPrinterClassDriver);
  }

  // A pipeline with its worker running and its first read issued (pending on the printer,
  // in the modes where an idle read waits).
  std::unique_ptr<PipelineHarness> Running() {
    auto harness = std::make_unique<PipelineHarness>();
    harness->StartWorker();
    EXPECT_TRUE(printersim::WaitForReadsIssued(m_printer, 1, kGenerous));
    if (IdleReadsWait()) {
      EXPECT_TRUE(printersim::WaitForPendingRead(m_printer, kGenerous));
    }
    return harness;
  }

  // In the read modes where the printer answers an idle read at once (with nothing, or with
  // an empty packet), no read ever waits for long.
  virtual bool IdleReadsWait() const { return true; }

  int m_printer = 0;
};

// The same behaviour in every read mode: whether the driver completes a read before it
// returns when it can (pending only while there is nothing to deliver), completes idle
// reads at once with nothing, queues every read as real drivers do (so that data, faults
// and removals all arrive at a read's completion), or answers idle reads with empty packets.
class ReceiveWorkerModes : public ReceiveWorkerTest, public ::testing::WithParamInterface<int> {
 protected:
  void SetUp() override {
    ReceiveWorkerTest::SetUp();
    printersim::SetReadMode(m_printer, GetParam());
  }
  bool IdleReadsWait() const override {
    return GetParam() == printersim::kReadsPendUntilData || GetParam() == printersim::kReadsQueued;
  }
};

std::string ReadModeName(const ::testing::TestParamInfo<int>& mode) {
  static const char* const kNames[] = {"PendUntilData", "CompleteAtOnce", "Queued",
                                       "ZeroLengthPackets"};
  return kNames[mode.param];
}

INSTANTIATE_TEST_SUITE_P(ReadModes, ReceiveWorkerModes, ::testing::ValuesIn(printersim::kReadModes),
                         ReadModeName);

#define SKIP_UNLESS_IDLE_READS_WAIT() \
  if (!IdleReadsWait()) GTEST_SKIP() << "no read waits in this mode"

TEST_P(ReceiveWorkerModes, DataLongerThanOneReadArrivesInOrderInChunksOfAtMost64) {
  auto pipeline = Running();
  const std::vector<std::uint8_t> sent = Pattern(300);
  printersim::Send(m_printer, sent);
  EXPECT_EQ(pipeline->ReadBytes(sent.size(), kGenerous), sent);
  pipeline->TearDown();

  int chunks = 0;
  for (const std::string& line : pipeline->Take()) {
    // A read that was pending when the bytes came, or one that found them waiting.
    if (line.rfind("ReceiveData(#) From1 ReceiveData nBytesRead=", 0) == 0 ||
        line.rfind("ReceiveData(#) From2 ReceiveData nBytesRead=", 0) == 0) {
      ++chunks;
      EXPECT_LE(std::stoi(line.substr(line.find('=') + 1)), 64);
    }
  }
  EXPECT_GE(chunks, 5);
}

// A full buffer stops the reads: the printer keeps the rest, and once the reader makes
// room the worker reads on, so nothing is lost.
TEST_P(ReceiveWorkerModes, AFullBufferStopsTheReadsAndLosesNothing) {
  auto pipeline = Running();
  printersim::Send(m_printer, Pattern(4096 + 100));
  ASSERT_TRUE(pipeline->WaitForTrace("ReceiveData(#) Receive buffer full: waiting for the reader\n",
                                     kGenerous));
  EXPECT_EQ(pipeline->port().BytesAvailable(), 4096u);
  EXPECT_EQ(WaitForSingleObject(pipeline->port().m_hPCLSDataEvent.load(), 0), WAIT_OBJECT_0);
  EXPECT_EQ(printersim::BytesDelivered(m_printer), 4096u);  // the rest is still the printer's
  EXPECT_EQ(pipeline->ReadBytes(4096 + 100, kGenerous), Pattern(4096 + 100));
}

TEST_P(ReceiveWorkerModes, StopDuringThePendingWaitEndsInTheGivenOrder) {
  SKIP_UNLESS_IDLE_READS_WAIT();
  auto pipeline = Running();
  ASSERT_TRUE(pipeline->WaitForTrace("ReceiveData(#) WaitForMultipleObjects start\n", kGenerous));
  pipeline->Take();
  EXPECT_EQ(pipeline->TearDown(), 0);
  const Lines traces = pipeline->Take();
  EXPECT_TRUE(InOrder(traces, {"ReceiveData(#) WaitForMultipleObjects completed\n",
                               "ReadFile(#) Quit event fires\n",
                               "ReceiveData(#) SetEvent(m_ReadThreadTerminated)\n",
                               "ReceiveData(#) Exit\n", "_ReceiveData(#) ***** EXIT *****\n"}));
  EXPECT_EQ(printersim::PendingReads(m_printer), 0);  // the cancelled read has completed
}

// A wait that runs out leaves the read with the driver: the next pass waits on for it
// instead of issuing a second read on the same record and buffer.
TEST_P(ReceiveWorkerModes, TimedOutWaitDoesNotIssueASecondRead) {
  SKIP_UNLESS_IDLE_READS_WAIT();
  auto pipeline = Running();
  ASSERT_TRUE(pipeline->WaitForTrace("ReceiveData(#) Read still outstanding\n", kGenerous));
  EXPECT_EQ(printersim::ReadsIssued(m_printer), 1u);
  EXPECT_EQ(printersim::PendingReads(m_printer), 1);
  // The traces of the pass that ran out are those of any wait that ran out.
  const Lines traces = pipeline->Take();
  EXPECT_TRUE(InOrder(traces, {"ReceiveData(#) WaitForMultipleObjects completed\n",
                               "ReceiveData(#) ***Problem with GetOverlappedResult\n",
                               "ReceiveData(#) default\n", "ReceiveData(#) Loop top\n",
                               "ReceiveData(#) Read still outstanding\n"}));
  // The read that outlived its wait still delivers.
  printersim::Send(m_printer, Pattern(10));
  EXPECT_EQ(pipeline->ReadBytes(10, kGenerous), Pattern(10));
}

TEST_P(ReceiveWorkerModes, UnlistedErrorCancelsPausesAndRetriesAtOnce) {
  printersim::FailNextReads(m_printer, ERROR_GEN_FAILURE, 1);
  PipelineHarness pipeline;
  pipeline.StartWorker();
  const Lines expected = {"ReceiveData-Jt3(#) Entering ReadFile (PC)\n",
                         "Default case(#)  dwError = 31\n",
                         "ReceiveData(#) default error - doing Cancel I/O and making retry attempt\n",
                         "ReceiveData(#) Loop top\n", "ReceiveData-Jt3(#) Entering ReadFile (PC)\n"};
  const auto deadline = std::chrono::steady_clock::now() + kGenerous;
  while (!InOrder(pipeline.collected(), expected) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(2ms);
    pipeline.Take();
  }
  EXPECT_TRUE(InOrder(pipeline.collected(), expected));
}

TEST_P(ReceiveWorkerModes, EndOfFileAndMissingDeviceArePacedAndStopAtOnce) {
  for (DWORD error : {static_cast<DWORD>(ERROR_HANDLE_EOF), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)}) {
    printersim::FailNextReads(m_printer, error, 1000000);
    PipelineHarness pipeline;
    pipeline.StartWorker();
    ASSERT_TRUE(printersim::WaitForReadsIssued(m_printer, 3, kGenerous));
    // No busy loop: the passes pause on the quit event. Spinning would issue many thousands
    // of reads in this time.
    const std::uint64_t before = printersim::ReadsIssued(m_printer);
    std::this_thread::sleep_for(500ms);
    EXPECT_LT(printersim::ReadsIssued(m_printer) - before, 100u) << "error " << error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pipeline.TearDown(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    printersim::FailNextReads(m_printer, error, 0);
    if (error == ERROR_HANDLE_EOF) {
      EXPECT_GE(LinesOf(pipeline.Take(), "ReadFile").size(), 3u);
    }
  }
}

// Traced once in the life of the process, across pipelines: a printer that is missing for
// hours must not fill the debugger output. Runs in a process of its own (CMakeLists.txt).
TEST_F(ReceiveWorkerTest, FileNotFoundIsTracedOncePerProcess) {
  int traced = 0;
  for (int round = 0; round < 2; ++round) {
    printersim::FailNextReads(m_printer, ERROR_FILE_NOT_FOUND, 3);
    PipelineHarness pipeline;
    pipeline.StartWorker();
    ASSERT_TRUE(printersim::WaitForPendingRead(m_printer, kGenerous));
    pipeline.TearDown();
    for (const std::string& line : pipeline.Take()) {
      if (line == "ReceiveData(#) File not found????\n") ++traced;
    }
  }
  EXPECT_EQ(traced, 1);
}

TEST_F(ReceiveWorkerTest, IdleReadsThatCompleteAtOnceAnnounceNothingAndCostLittle) {
  printersim::SetReadMode(m_printer, printersim::kReadsCompleteAtOnce);
  PipelineHarness pipeline;
  pipeline.StartWorker();
  ASSERT_TRUE(printersim::WaitForReadsIssued(m_printer, 3, kGenerous));
  const std::uint64_t before = printersim::ReadsIssued(m_printer);
  std::this_thread::sleep_for(500ms);
  EXPECT_LT(printersim::ReadsIssued(m_printer) - before, 100u);
  // An empty chunk wakes no reader: a waiting read times out as on any idle printer.
  std::uint8_t byte = 0;
  std::uint32_t count = 0;
  EXPECT_FALSE(pipeline.port().GetPCLSData(&byte, 1, &count, 100));
  EXPECT_EQ(count, 0u);
  // Data still flows.
  printersim::Send(m_printer, Pattern(70));
  EXPECT_EQ(pipeline.ReadBytes(70, kGenerous), Pattern(70));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(pipeline.TearDown(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  const Lines traces = pipeline.Take();
  EXPECT_TRUE(InOrder(traces, {"ReceiveData(#) From2 ReceiveData nBytesRead=0\n", "READ2\n",
                               "ReceiveData(#) ReadFile No error\n"}));
}

TEST_P(ReceiveWorkerModes, AccessDeniedReopensBothHandlesAndDataFlowsOnTheNewOnes) {
  printersim::FailNextReads(m_printer, ERROR_ACCESS_DENIED, 1);
  PipelineHarness pipeline;
  pipeline.OpenWritePipe();
  const HANDLE oldRead = pipeline.port().m_hReadPort.Get();
  pipeline.StartWorker();
  ASSERT_TRUE(pipeline.WaitForTrace("ReceiveData(#) Setting PCLSPowerStatus TRUE\n", kGenerous));
  EXPECT_NE(pipeline.port().m_hReadPort.Get(), oldRead);
  EXPECT_TRUE(InOrder(pipeline.collected(), {"ReceiveData(#) ERROR_ACCESS_DENIED Error\n",
                                             "ReopenCom(#) Invalidate Handles\n",
                                             "OpenUsbDevice(#) Printer found.\n",
                                             "ReopenCom(#) Handles Valid\n"}));
  EXPECT_EQ(printersim::Purges(m_printer), (std::vector<DWORD>{PURGE_TXCLEAR, PURGE_RXCLEAR}));
  printersim::Send(m_printer, Pattern(5));
  EXPECT_EQ(pipeline.ReadBytes(5, kGenerous), Pattern(5));
  DWORD error = 0;
  EXPECT_TRUE(pipeline.Write("ok", 2, &error));
  EXPECT_EQ(printersim::Received(m_printer), (std::vector<std::uint8_t>{'o', 'k'}));
}

// A worker started on a read handle whose open failed goes straight to the reopen.
TEST_F(ReceiveWorkerTest, InvalidReadHandleLeadsToTheReopen) {
  PipelineHarness pipeline;
  pipeline.port().m_hReadPort.Replace(INVALID_HANDLE_VALUE);
  pipeline.StartWorker();
  ASSERT_TRUE(printersim::WaitForPendingRead(m_printer, kGenerous));
  EXPECT_TRUE(InOrder(pipeline.Take(),
                      {"ReceiveData(#) ERROR_INVALID_HANDLE Error\n", "ReceiveData(#) Calling ReopenCom\n",
                       "ReopenCom(#) Handles Valid\n", "ReceiveData(#) Setting PCLSPowerStatus TRUE\n",
                       "ReceiveData(#) ERROR_INVALID_HANDLE Error\n"}));
}

// Unplugged: reads fail, the reopen finds nothing and retries. Plugged back under a new
// path: the worker recovers, bytes flow again and writes reach the printer.
TEST_P(ReceiveWorkerModes, RecoversWhenThePrinterIsUnpluggedAndPluggedBack) {
  auto pipeline = Running();
  pipeline->OpenWritePipe();
  printersim::Detach(m_printer);
  ASSERT_TRUE(pipeline->WaitForTrace("ReopenCom(#) Handles Invalid\n", kGenerous));
  DWORD error = 0;
  EXPECT_FALSE(pipeline->Write("lost", 4, &error));

  printersim::Reattach(m_printer);
  ASSERT_TRUE(pipeline->WaitForTrace("ReopenCom(#) Handles Valid\n", kGenerous));
  printersim::Send(m_printer, Pattern(20));
  EXPECT_EQ(pipeline->ReadBytes(20, kGenerous), Pattern(20));
  EXPECT_TRUE(pipeline->Write("back", 4, &error)) << error;
  EXPECT_TRUE(printersim::WaitForReceived(m_printer, 4, kGenerous));
  EXPECT_EQ(pipeline->TearDown(), 0);
}

// A printer whose reads fail straight after every reopen, and whose write handle cannot be
// reopened either (the third open of each recovery, after the presence test and the read
// handle, fails): the recovery found the printer, and its reopens are paced all the same.
TEST_F(ReceiveWorkerTest, ReopensArePacedAlsoWhenOnlyTheReadHandleCouldBeReopened) {
  printersim::FailNextReads(m_printer, ERROR_ACCESS_DENIED, 1000000);
  PipelineHarness pipeline;
  pipeline.OpenWritePipe();
  const int printer = m_printer;
  hostwin::SetDebugOutputObserver([printer](const char* line) {
    if (std::strstr(line, "Calling ReopenCom") != nullptr) {
      printersim::FailNextOpens(printer, ERROR_SHARING_VIOLATION, 1, 2);
    }
  });
  pipeline.StartWorker();
  ASSERT_TRUE(pipeline.WaitForTrace("ReceiveData(#) Setting PCLSPowerStatus FALSE\n", kGenerous));
  const std::uint64_t before = printersim::ReadsIssued(m_printer);
  std::this_thread::sleep_for(1s);
  EXPECT_LT(printersim::ReadsIssued(m_printer) - before, 10u);
  hostwin::SetDebugOutputObserver(nullptr);
  EXPECT_EQ(pipeline.TearDown(), 0);
  printersim::FailNextReads(m_printer, ERROR_ACCESS_DENIED, 0);
  printersim::FailNextOpens(m_printer, 0, 0);
  EXPECT_EQ(IndexOf(pipeline.Take(), "ReceiveData(#) Read handle reopened by an open\n"), -1);
}

TEST_P(ReceiveWorkerModes, StopDuringAccessDeniedRepeatsEndsTheLoop) {
  printersim::FailNextReads(m_printer, ERROR_ACCESS_DENIED, 1000000);
  PipelineHarness pipeline;
  pipeline.StartWorker();
  ASSERT_TRUE(pipeline.WaitForTrace("ReceiveData(#) Setting PCLSPowerStatus TRUE\n", kGenerous));
  EXPECT_EQ(pipeline.TearDown(), 0);
  printersim::FailNextReads(m_printer, ERROR_ACCESS_DENIED, 0);
  const Lines traces = pipeline.Take();
  EXPECT_TRUE(InOrder(traces, {"ReceiveData(#) Terminating Read Thread(EAD)\n",
                               "ReceiveData(#) Exit\n", "_ReceiveData(#) ***** EXIT *****\n"}));
}

// Ends of the loop that never reach a stop request still let a close finish.
TEST_F(ReceiveWorkerTest, WorkerWithoutItsCompletionEventStillLetsTheCloseFinish) {
  PipelineHarness pipeline;
  hostwin::FailNextCalls("CreateEventA", ERROR_NOT_ENOUGH_MEMORY, 1);
  pipeline.StartWorker();
  ASSERT_TRUE(pipeline.WaitForTrace("_ReceiveData(#) ***** EXIT *****\n", kGenerous));
  EXPECT_EQ(pipeline.port().m_bReading.load(), 0);
  EXPECT_EQ(pipeline.TearDown(), 0);
  EXPECT_TRUE(InOrder(pipeline.collected(),
                      {"_ReceiveData(#) ***** ENTER *****\n", "ReceiveData(#) Entry\n",
                       "ReceiveData(#) Entry\n", "ReceiveData(#) Event creation failed\n",
                       "_ReceiveData(#) ***** EXIT *****\n"}));
  EXPECT_EQ(IndexOf(pipeline.collected(), "ReceiveData(#) Loop top\n"), -1);
}

TEST_F(ReceiveWorkerTest, FailedResetOfTheCompletionEventStillLetsTheCloseFinish) {
  auto pipeline = Running();
  hostwin::FailNextCalls("ResetEvent", ERROR_INVALID_HANDLE, 1);
  // The completion event is reset only for a read that completed after it pended; one that
  // the bytes reach before ReadFile has returned completes at once. Send until one pends.
  bool failed = false;
  for (int attempt = 0; attempt < 20 && !failed; ++attempt) {
    ASSERT_TRUE(printersim::WaitForPendingRead(m_printer, kGenerous));
    printersim::Send(m_printer, Pattern(3));
    failed = pipeline->WaitForTrace("ReceiveData(#) Reset event failed\n", 1s);
  }
  ASSERT_TRUE(failed);
  ASSERT_TRUE(pipeline->WaitForTrace("_ReceiveData(#) ***** EXIT *****\n", kGenerous));
  EXPECT_EQ(pipeline->TearDown(), 0);
}

// A reader waiting in the buffer while the pipeline is torn down: it leaves with nothing,
// and the buffer and events are freed only after it has left (the sanitizers would see a
// use after free otherwise). A reader that comes later takes nothing.
TEST_P(ReceiveWorkerModes, TeardownWaitsForTheReaderAndFreesNothingInUse) {
  auto pipeline = Running();
  std::atomic<int> readerResult{-1};
  std::thread reader([&] {
    std::uint8_t bytes[8];
    std::uint32_t count = 0;
    BOOL result = TRUE;
    // Several calls, so one of them is inside while the teardown runs.
    for (int i = 0; i < 50 && result; ++i) result = pipeline->port().GetPCLSData(bytes, 8, &count, 100);
    readerResult = result;
  });
  ASSERT_TRUE(pipeline->WaitForTrace("GetPCLSData(#) Before WaitForMultipleObjects\n", kGenerous));
  EXPECT_EQ(pipeline->TearDown(), 0);
  reader.join();
  EXPECT_EQ(readerResult.load(), FALSE);

  std::uint8_t byte = 0;
  std::uint32_t count = 0;
  EXPECT_FALSE(pipeline->port().GetPCLSData(&byte, 1, &count, 100));
  EXPECT_EQ(pipeline->port().BytesAvailable(), 0u);
  EXPECT_EQ(pipeline->port().m_pCCBuffer.load(), nullptr);
}

// A printer with its cover open holds a write indefinitely. Neither the recovery nor the
// teardown may wait for it or close the handle under it; the handle is closed once the
// write returns.
TEST_P(ReceiveWorkerModes, StalledWriteKeepsNeitherTheRecoveryNorTheTeardownWaiting) {
  auto pipeline = Running();
  pipeline->OpenWritePipe();
  printersim::StallWrites(m_printer);
  std::atomic<DWORD> writeError{0xFFFFFFFFu};
  std::thread writer([&] {
    DWORD error = 0;
    pipeline->Write("stalled", 7, &error);
    writeError = error;
  });
  ASSERT_TRUE(printersim::WaitForStalledWrite(m_printer, kGenerous));

  // The next read fails; the pending one completes with a byte, so that one follows.
  printersim::FailNextReads(m_printer, ERROR_ACCESS_DENIED, 1);
  printersim::Send(m_printer, Pattern(1));
  const bool recovered = pipeline->WaitForTrace("ReopenCom(#) Handles Valid\n", kGenerous);
  if (recovered) {
    EXPECT_EQ(pipeline->TearDown(), 0);
    EXPECT_EQ(printersim::StalledWrites(m_printer), 1);
  }
  printersim::ReleaseWrites(m_printer);
  writer.join();
  ASSERT_TRUE(recovered);
  EXPECT_EQ(writeError.load(), 0u);
  EXPECT_EQ(hostwin::OpenHandleCount(), m_handlesAtStart);
}

// Writers on their own threads while the worker keeps replacing the handles: a write goes
// to an open handle or to none, never to one that was closed under it.
TEST_P(ReceiveWorkerModes, WritesNeverReachAClosedHandleDuringRecovery) {
  printersim::FailNextReads(m_printer, ERROR_ACCESS_DENIED, 40);
  PipelineHarness pipeline;
  pipeline.OpenWritePipe();
  std::atomic<bool> stop{false};
  std::atomic<int> closedReached{0};
  std::atomic<int> written{0};
  std::thread writer([&] {
    while (!stop.load()) {
      SharedHandleUse port(pipeline.port().m_hWritePort);
      DWORD count = 0;
      if (WriteFile(port.get(), "x", 1, &count, nullptr)) {
        ++written;
      } else if (GetLastError() == ERROR_INVALID_HANDLE && port.get() != nullptr &&
                 port.get() != INVALID_HANDLE_VALUE) {
        ++closedReached;
      }
    }
  });
  pipeline.StartWorker();
  // Several recoveries, and writes among them (however slowly this machine runs the writer).
  const bool recovering = printersim::WaitForReadsIssued(m_printer, 3, kGenerous);
  const auto deadline = std::chrono::steady_clock::now() + kGenerous;
  while (written.load() == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  stop = true;
  writer.join();
  EXPECT_TRUE(recovering);
  EXPECT_EQ(closedReached.load(), 0);
  EXPECT_GT(written.load(), 0);
}

// The worker runs only for a Printer Class read pipe: its recovery searches that driver's
// interfaces and keeps the overlapped read handle, whatever kind a later probe stored.
TEST_F(ReceiveWorkerTest, RecoveryFollowsThePipelineNotTheStoredDriverKind) {
  PipelineHarness pipeline;
  pipeline.port().m_nUsbType = kNativeUsb;
  EXPECT_EQ(pipeline.port().ReopenCom(), 1);
  const HANDLE read = pipeline.port().m_hReadPort.Get();
  EXPECT_NE(read, nullptr);
  EXPECT_NE(read, INVALID_HANDLE_VALUE);
  EXPECT_EQ(printersim::OpenFiles(m_printer), 2);  // the new read and write handles
  EXPECT_EQ(IndexOf(pipeline.Take(), "usbInitPipe(#) IDNATIVETYPE\n"), -1);
}

// A search that finds no printer leaves in the name buffer the path of an interface whose
// open failed; recovery opens nothing on it, so it never takes another device's handles.
TEST_F(ReceiveWorkerTest, RecoveryOpensOnlyAPathTheSearchAccepted) {
  PipelineHarness pipeline;
  printersim::Detach(m_printer);
  const int other = AttachSupported(kPrinterClassDriver, 1, "REFUSES");
  printersim::FailNextOpens(other, ERROR_SHARING_VIOLATION, 1);
  EXPECT_EQ(pipeline.port().ReopenCom(), 0);
  EXPECT_NE(std::string(pipeline.port().m_szDeviceName).find("REFUSES"), std::string::npos);
  EXPECT_EQ(pipeline.port().m_hReadPort.Get(), INVALID_HANDLE_VALUE);
  EXPECT_EQ(pipeline.port().m_hWritePort.Get(), nullptr);  // none was open, none is made
  EXPECT_EQ(printersim::OpenFiles(other), 0);
  EXPECT_TRUE(InOrder(pipeline.Take(), {"ReopenCom(#) Invalidate Handles\n",
                                        "ReopenCom - CreateFile(#)  h = INVALID_HANDLE_VALUE\n",
                                        "ReopenCom(#) Handles Invalid\n"}));
}

// The result follows the write handle alone: a read handle that failed to reopen is left
// INVALID_HANDLE_VALUE, and the worker's next read leads to the next reopen.
TEST_F(ReceiveWorkerTest, ReopenWithAFailedReadOpenStillCountsTheWriteHandle) {
  PipelineHarness pipeline;
  // The presence test opens first, then the read handle, then the write handle.
  printersim::FailNextOpens(m_printer, ERROR_SHARING_VIOLATION, 1, 1);
  EXPECT_EQ(pipeline.port().ReopenCom(), 1);
  EXPECT_EQ(pipeline.port().m_hReadPort.Get(), INVALID_HANDLE_VALUE);
  EXPECT_NE(pipeline.port().m_hWritePort.Get(), INVALID_HANDLE_VALUE);
  EXPECT_TRUE(InOrder(pipeline.Take(), {"ReopenCom(#) Invalidate Handles\n",
                                        "ReopenCom - CreateFile(#)  h = INVALID_HANDLE_VALUE\n",
                                        "ReopenCom(#) Handles Valid\n"}));

  // Only the write open fails: the result is 0, and the member keeps the old handle, for
  // writers to use until a new one is in place, marked so that it is replaced.
  const HANDLE old = pipeline.port().m_hWritePort.Get();
  printersim::FailNextOpens(m_printer, ERROR_SHARING_VIOLATION, 1, 2);
  EXPECT_EQ(pipeline.port().ReopenCom(), 0);
  EXPECT_EQ(pipeline.port().m_hWritePort.Get(), old);
  EXPECT_TRUE(TheHandleLedger().IsGone(old));
  EXPECT_NE(IndexOf(pipeline.Take(), "ReopenCom(#) Handles Invalid\n"), -1);
  EXPECT_TRUE(pipeline.port().RepairWriteHandle());
  EXPECT_NE(pipeline.port().m_hWritePort.Get(), old);
}

// A write handle is repaired only when it belongs to the pipeline's printer and has failed:
// never one that works, never another printer's, never one Java did not open, and only
// while its printer is there to be opened.
TEST_F(ReceiveWorkerTest, RepairReplacesOnlyAFailedWriteHandleOfThePipelinesPrinter) {
  PipelineHarness pipeline;
  CUsbComm& port = pipeline.port();
  EXPECT_FALSE(port.RepairWriteHandle());
  EXPECT_EQ(port.m_hWritePort.Get(), nullptr);
  pipeline.OpenWritePipe();
  const HANDLE working = port.m_hWritePort.Get();
  EXPECT_FALSE(port.RepairWriteHandle());
  TheHandleLedger().MarkGone(working);
  printersim::Detach(m_printer);
  EXPECT_FALSE(port.RepairWriteHandle());
  printersim::Reattach(m_printer);
  // The search opens the printer once to see it, then the write handle fails to open.
  printersim::FailNextOpens(m_printer, ERROR_SHARING_VIOLATION, 1, 1);
  EXPECT_FALSE(port.RepairWriteHandle());
  EXPECT_EQ(port.m_hWritePort.Get(), working);
  port.SetWriteDevice("\\\\?\\usb#vid_f7a1&pid_0a02#OTHER#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");
  EXPECT_FALSE(port.RepairWriteHandle());
  port.SetWriteDevice(port.m_szDeviceName);
  EXPECT_TRUE(port.RepairWriteHandle());
  EXPECT_NE(port.m_hWritePort.Get(), working);
}

// A pending read that the device ends with no bytes (a zero-length packet) announces
// nothing: a waiting reader would only wake to an empty buffer.
TEST_P(ReceiveWorkerModes, PendingReadThatEndsEmptyIsAFalsePositive) {
  SKIP_UNLESS_IDLE_READS_WAIT();
  auto pipeline = Running();
  printersim::Send(m_printer, std::vector<std::uint8_t>{});
  ASSERT_TRUE(pipeline->WaitForTrace("ReceiveData(#) False positive, no data\n", kGenerous));
  EXPECT_TRUE(InOrder(pipeline->collected(), {"ReceiveData(#) From1 ReceiveData nBytesRead=0\n",
                                              "ReceiveData(#) False positive, no data\n"}));
  EXPECT_EQ(WaitForSingleObject(pipeline->port().m_hPCLSDataEvent.load(), 0),
            static_cast<DWORD>(WAIT_TIMEOUT));
  ASSERT_TRUE(printersim::WaitForPendingRead(m_printer, kGenerous));  // and reads on
}

// Bytes of a read that completes as the stop comes are collected, whichever the worker sees
// first: the completion, or the stop and then the cancelled read's outcome. Repeated, since
// which of the two comes first is up to the threads.
TEST_P(ReceiveWorkerModes, AReadCompletingAsTheStopComesIsCollected) {
  for (int round = 0; round < 20; ++round) {
    auto pipeline = Running();
    pipeline->Take();
    std::thread sender([&] { printersim::Send(m_printer, Pattern(3)); });
    EXPECT_EQ(pipeline->TearDown(), 0);
    sender.join();
    const Lines traces = pipeline->Take();
    const int exit = IndexOf(traces, "ReceiveData(#) Exit\n");
    const int collected = IndexOf(traces, "ReceiveData(#) From1 ReceiveData nBytesRead=3\n");
    ASSERT_NE(exit, -1);
    // The bytes came before the read was cancelled, or after the worker had stopped reading.
    if (collected != -1) {
      EXPECT_LT(collected, exit) << "round " << round;
    } else {
      EXPECT_EQ(printersim::PendingReads(m_printer), 0);
    }
  }
}

// A read that breaks off after it has transferred bytes reports its error with its count:
// the bytes are kept, in order before what comes later, and the error is handled as any
// other (here: cancel, pause, read again).
TEST_P(ReceiveWorkerModes, BytesOfAReadThatFailsAtItsCompletionAreKept) {
  SKIP_UNLESS_IDLE_READS_WAIT();
  auto pipeline = Running();
  printersim::FailNextDataReads(m_printer, ERROR_GEN_FAILURE, 1);
  printersim::Send(m_printer, Pattern(5));
  ASSERT_TRUE(pipeline->WaitForTrace("Default case(#)  dwError = 31\n", kGenerous));
  printersim::Send(m_printer, std::vector<std::uint8_t>{0xAB});
  std::vector<unsigned char> expected = Pattern(5);
  expected.push_back(0xAB);
  EXPECT_EQ(pipeline->ReadBytes(6, kGenerous), expected);
}

}  // namespace
