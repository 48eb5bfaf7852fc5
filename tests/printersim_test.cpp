// The simulated printers as the library's code sees them: through hostwin's DeviceProvider
// and DeviceFile, with the control API setting up each scenario.
#include <gtest/gtest.h>
#include <ntddser.h>
#include <printersim/printersim.h>
#include <printersim/receipt.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "comm/SupportedPrinters.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;
using File = std::shared_ptr<hostwin::DeviceFile>;

constexpr auto kLong = 10s;  // generous: only a broken simulator ever waits this long
constexpr int kVid = 0xF7A1;
constexpr int kPid = 0x0A01;
constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;

// One read and its completion, which may arrive on any thread.
struct Read {
  std::mutex mutex;
  std::condition_variable completed;
  int completions = 0;
  DWORD bytes = 0;
  DWORD error = 0;
  std::thread::id thread;
  std::uint8_t buffer[64] = {};
  hostwin::ReadStart start;

  void Start(hostwin::DeviceFile& file, DWORD size = sizeof buffer) {
    start = file.StartRead(buffer, size, [this](DWORD n, DWORD e) {
      std::lock_guard<std::mutex> lock(mutex);
      ++completions;
      bytes = n;
      error = e;
      thread = std::this_thread::get_id();
      completed.notify_all();
    });
  }
  bool Done() {
    std::lock_guard<std::mutex> lock(mutex);
    return completions > 0;
  }
  bool WaitDone() {
    std::unique_lock<std::mutex> lock(mutex);
    return completed.wait_for(lock, kLong, [this] { return completions > 0; });
  }
  Bytes Data() {
    std::lock_guard<std::mutex> lock(mutex);
    return Bytes(buffer, buffer + bytes);
  }
};

class PrinterSim : public ::testing::Test {
 protected:
  void SetUp() override { printersim::Reset(); }
  void TearDown() override { printersim::Reset(); }

  static File Open(const std::string& path, DWORD* error = nullptr, DWORD access = kReadWrite) {
    File file;
    const DWORD result = printersim::Provider().Open(path, access, 3, 0, &file);
    if (error != nullptr) *error = result;
    return result == 0 ? file : nullptr;
  }
  static DWORD OpenError(const std::string& path) {
    DWORD error = 0;
    Open(path, &error);
    return error;
  }
  static std::string Pipe(int id, const char* name) {
    return printersim::InterfacePath(id) + "\\" + name;
  }
  static DWORD Write(hostwin::DeviceFile& file, const Bytes& bytes) {
    DWORD written = 0;
    const DWORD error = file.Write(bytes.data(), static_cast<DWORD>(bytes.size()), &written);
    if (error == 0) {
      EXPECT_EQ(written, bytes.size());
    }
    return error;
  }
  static std::vector<std::string> Paths(int driverKind) {
    std::vector<std::string> paths;
    for (const auto& slot : printersim::Provider().Interfaces(printersim::InterfaceClass(driverKind))) {
      paths.push_back(slot.enumError != 0 ? "error " + std::to_string(slot.enumError) : slot.path);
    }
    return paths;
  }
};

bool MatchesSupportedPattern(const std::string& path) {
  for (const char* const* p = SupportedIdPatterns(); *p != nullptr; ++p) {
    if (path.find(*p) != std::string::npos) return true;
  }
  return false;
}

// --- Interface paths and enumeration ---------------------------------------------------

TEST_F(PrinterSim, InterfacePathHasWindowsShapeAndIdCaseChosenByTest) {
  const int lower = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid, "A1");
  const std::string path = printersim::InterfacePath(lower);
  EXPECT_EQ(path.rfind("\\\\?\\usb#vid_f7a1&pid_0a01#A1#{", 0), 0u) << path;
  const std::string guid = path.substr(path.find('{'));
  ASSERT_EQ(guid.size(), 38u) << path;
  for (char c : guid) EXPECT_FALSE(c >= 'A' && c <= 'F') << "GUID hex is lower case: " << guid;
  EXPECT_TRUE(MatchesSupportedPattern(path));

  printersim::PrinterOptions options;
  options.vendorId = kVid;
  options.productId = kPid;
  options.idCase = printersim::IdCase::kUpper;
  const std::string upper = printersim::InterfacePath(printersim::Attach(options));
  EXPECT_NE(upper.find("USB#VID_F7A1&PID_0A01#"), std::string::npos) << upper;
  EXPECT_TRUE(MatchesSupportedPattern(upper));
  for (auto mixed : {printersim::IdCase::kUpperLettersLowerDigits,
                     printersim::IdCase::kLowerLettersUpperDigits}) {
    options.idCase = mixed;
    const std::string path2 = printersim::InterfacePath(printersim::Attach(options));
    EXPECT_FALSE(MatchesSupportedPattern(path2)) << path2;
  }
  EXPECT_NE(printersim::InterfacePath(printersim::Attach(options)).find("vid_F7A1&pid_0A01"),
            std::string::npos);
}

TEST_F(PrinterSim, EnumerationListsPresentPrintersOfTheClassInAttachOrder) {
  const int a = printersim::Attach(printersim::kMakerDriver, kVid, kPid, "A");
  const int b = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid, "B");
  const int c = printersim::Attach(printersim::kMakerDriver, 0x1234, 0x5678, "C");
  const std::string longSerial(400, 'S');
  const int d = printersim::Attach(printersim::kMakerDriver, kVid, kPid, longSerial);
  EXPECT_GT(printersim::InterfacePath(d).size(), 400u);

  using V = std::vector<std::string>;
  EXPECT_EQ(Paths(0), (V{printersim::InterfacePath(a), printersim::InterfacePath(c),
                         printersim::InterfacePath(d)}));
  EXPECT_EQ(Paths(1), V{printersim::InterfacePath(b)});

  printersim::Detach(a);
  printersim::Reattach(c, "C2");
  EXPECT_EQ(Paths(0), (V{printersim::InterfacePath(c), printersim::InterfacePath(d)}));
  printersim::Reattach(a);  // back at its own place, before the others
  EXPECT_EQ(Paths(0).front(), printersim::InterfacePath(a));
  EXPECT_NE(Open(Pipe(d, "PIPE00")), nullptr) << "a long path opens like any other";
}

TEST_F(PrinterSim, EnumerationErrorSlotsAtChosenPositionCountAndLifetime) {
  const int a = printersim::Attach(printersim::kMakerDriver, kVid, kPid, "A");
  const int b = printersim::Attach(printersim::kMakerDriver, kVid, kPid, "B");
  const std::string pa = printersim::InterfacePath(a), pb = printersim::InterfacePath(b);
  printersim::InjectEnumerationErrors(printersim::kMakerDriver, 1, ERROR_GEN_FAILURE, 2);
  printersim::InjectEnumerationErrors(printersim::kMakerDriver, 0, ERROR_NOT_READY, 1, 1);
  printersim::InjectEnumerationErrors(printersim::kMakerDriver, 99, ERROR_BUSY, 1, 2);

  using V = std::vector<std::string>;
  const std::string gen = "error 31", notReady = "error 21", busy = "error 170";
  EXPECT_EQ(Paths(1), V{}) << "faults of one class leave the other alone";
  EXPECT_EQ(Paths(0), (V{notReady, gen, gen, pa, pb, busy}));
  EXPECT_EQ(Paths(0), (V{pa, gen, gen, pb, busy}));
  EXPECT_EQ(Paths(0), (V{pa, gen, gen, pb}));
  printersim::ClearEnumerationErrors();
  EXPECT_EQ(Paths(0), (V{pa, pb}));
}

// --- Opening ---------------------------------------------------------------------------------

TEST_F(PrinterSim, OpensBarePathAndBothPipesOfPresentPrintersOnly) {
  const int id = printersim::Attach(printersim::kMakerDriver, kVid, kPid);
  const std::string path = printersim::InterfacePath(id);
  EXPECT_NE(Open(path), nullptr);
  EXPECT_NE(Open(path + "\\PIPE00"), nullptr);
  EXPECT_NE(Open(path + "\\pipe01"), nullptr) << "device paths ignore case";
  EXPECT_EQ(OpenError(path + "\\PIPE02"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(OpenError(path + "\\"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(OpenError(path.substr(0, path.size() - 1)), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(printersim::OpenFiles(id), 0) << "every handle above was dropped";

  printersim::FailNextOpens(id, ERROR_SHARING_VIOLATION, 2);
  printersim::Detach(id);
  EXPECT_EQ(OpenError(path), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  printersim::Reattach(id);
  EXPECT_EQ(OpenError(path + "\\PIPE00"), static_cast<DWORD>(ERROR_SHARING_VIOLATION))
      << "an absent printer's refused opens are not used up";
  EXPECT_EQ(OpenError(path), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  File file = Open(path);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(printersim::OpenFiles(id), 1);
}

// --- Maker's driver ---------------------------------------------------------------------------

TEST_F(PrinterSim, MakerDriverReadsCompleteAtOnceWithAtMostTheSizeAsked) {
  const int id = printersim::Attach(printersim::kMakerDriver, kVid, kPid);
  File in = Open(Pipe(id, "PIPE00"));
  File bare = Open(printersim::InterfacePath(id));
  ASSERT_TRUE(in && bare);

  Read idle;
  idle.Start(*in);
  ASSERT_TRUE(idle.Done()) << "the maker's driver never lets a read wait";
  EXPECT_EQ(idle.bytes, 0u);
  EXPECT_EQ(idle.error, 0u);

  printersim::Send(id, Bytes{1, 2, 3, 4, 5});
  Read first, second;
  first.Start(*in, 3);
  second.Start(*bare);
  ASSERT_TRUE(first.Done() && second.Done());
  EXPECT_EQ(first.Data(), (Bytes{1, 2, 3}));
  EXPECT_EQ(second.Data(), (Bytes{4, 5}));

  printersim::Send(id, Bytes{6, 7});
  EXPECT_EQ(in->Purge(PURGE_RXABORT | PURGE_RXCLEAR), 0u);
  Read afterPurge;
  afterPurge.Start(*in);
  EXPECT_EQ(afterPurge.bytes, 0u) << "the purge discarded the unread input";
  EXPECT_EQ(printersim::Purges(id), std::vector<DWORD>{PURGE_RXABORT | PURGE_RXCLEAR});
}

TEST_F(PrinterSim, MakerDriverKeepsTimeoutsPerHandleAndReportsFixedFields) {
  const int id = printersim::Attach(printersim::kMakerDriver, kVid, kPid);
  File one = Open(Pipe(id, "PIPE00"));
  File other = Open(Pipe(id, "PIPE00"));
  ASSERT_TRUE(one && other);
  auto get = [](hostwin::DeviceFile& file, SERIAL_TIMEOUTS* t) {
    DWORD returned = 0;
    const DWORD error = file.IoControl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, t, sizeof *t, &returned);
    if (error == 0) {
      EXPECT_EQ(returned, sizeof *t);
    }
    return error;
  };
  SERIAL_TIMEOUTS set = {1, 2, 3, 4, 0xFFFFFFFFu};
  DWORD returned = 0;
  ASSERT_EQ(one->IoControl(IOCTL_SERIAL_SET_TIMEOUTS, &set, sizeof set, nullptr, 0, &returned), 0u);
  SERIAL_TIMEOUTS got{}, untouched{};
  ASSERT_EQ(get(*one, &got), 0u);
  EXPECT_EQ(std::memcmp(&got, &set, sizeof set), 0);
  ASSERT_EQ(get(*other, &untouched), 0u);
  EXPECT_EQ(untouched.ReadTotalTimeoutConstant, 0u) << "timeouts belong to the handle";

  printersim::SetFixedTimeoutFields(id, printersim::kReadTotalTimeoutConstantField |
                                            printersim::kWriteTotalTimeoutConstantField);
  ASSERT_EQ(get(*one, &got), 0u);
  EXPECT_EQ(got.ReadIntervalTimeout, 1u);
  EXPECT_EQ(got.ReadTotalTimeoutConstant, 0xFFFFFFFEu);
  EXPECT_EQ(got.WriteTotalTimeoutConstant, 0xFFFFFFFEu);

}

// The maker's driver times its reads by the handle's timeouts, as a serial port does.
TEST_F(PrinterSim, MakerDriverReadsWaitAsTheHandlesSerialTimeoutsSay) {
  const int id = printersim::Attach(printersim::kMakerDriver, kVid, kPid);
  File in = Open(Pipe(id, "PIPE00"));
  ASSERT_TRUE(in);
  auto setTimeouts = [&](ULONG interval, ULONG multiplier, ULONG constant) {
    SERIAL_TIMEOUTS t = {interval, multiplier, constant, 0, 0};
    DWORD returned = 0;
    ASSERT_EQ(in->IoControl(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, nullptr, 0, &returned), 0u);
  };

  // All zero: the read waits until its buffer is full, however long that takes.
  setTimeouts(0, 0, 0);
  Read full;
  full.Start(*in, 4);
  printersim::Send(id, Bytes{1, 2});
  EXPECT_FALSE(full.Done());
  printersim::Send(id, Bytes{3, 4, 5});
  ASSERT_TRUE(full.WaitDone());
  EXPECT_EQ(full.Data(), (Bytes{1, 2, 3, 4}));

  // A total timeout: what came by then, here nothing, and success.
  setTimeouts(0, 0, 150);
  Read idle;
  const auto start = std::chrono::steady_clock::now();
  idle.Start(*in, 8);
  ASSERT_TRUE(idle.WaitDone());
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_EQ(idle.Data(), Bytes{5});
  EXPECT_EQ(idle.error, 0u);

  // MAXDWORD, MAXDWORD, constant: the first byte ends the read.
  setTimeouts(MAXDWORD, MAXDWORD, 10000);
  Read any;
  any.Start(*in, 8);
  EXPECT_FALSE(any.Done());
  printersim::Send(id, Bytes{6});
  ASSERT_TRUE(any.WaitDone());
  EXPECT_EQ(any.Data(), Bytes{6});

  // An interval timeout ends a read once the bytes stop coming.
  setTimeouts(50, 0, 0);
  Read spaced;
  spaced.Start(*in, 8);
  printersim::Send(id, Bytes{7, 8});
  ASSERT_TRUE(spaced.WaitDone());
  EXPECT_EQ(spaced.Data(), (Bytes{7, 8}));

  // A cancel ends a waiting read with what it holds.
  setTimeouts(0, 0, 0);
  Read cancelled;
  cancelled.Start(*in, 8);
  printersim::Send(id, Bytes{9});
  in->Cancel(cancelled.start.id);
  ASSERT_TRUE(cancelled.WaitDone());
  EXPECT_EQ(cancelled.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(cancelled.Data(), Bytes{9});
}

// A printer that answers each poll with an empty packet: the read is queued, and its empty
// completion comes from another thread after the issue.
TEST_F(PrinterSim, ZeroLengthPacketModeCompletesIdleReadsEmptyFromTheDeviceThread) {
  const int id = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid);
  printersim::SetReadMode(id, printersim::kReadsQueuedZeroLength);
  File in = Open(Pipe(id, "PIPE00"));
  ASSERT_TRUE(in);
  Read idle;
  idle.Start(*in);
  EXPECT_TRUE(idle.start.queued);
  ASSERT_TRUE(idle.WaitDone());
  EXPECT_EQ(idle.bytes, 0u);
  EXPECT_EQ(idle.error, 0u);
  EXPECT_NE(idle.thread, std::this_thread::get_id());
  printersim::Send(id, Bytes{1, 2});
  Read data;
  data.Start(*in);
  ASSERT_TRUE(data.WaitDone());
  EXPECT_EQ(data.Data(), (Bytes{1, 2}));
}

// A driver that never completes a cancelled read: neither a cancel nor closing the handle
// ends it; data or a removal does.
TEST_F(PrinterSim, IgnoredCancelsLeaveTheReadPendingUntilDataOrRemoval) {
  const int id = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid);
  printersim::IgnoreCancels(id, true);
  File in = Open(Pipe(id, "PIPE00"));
  ASSERT_TRUE(in);
  Read stuck, orphan;
  stuck.Start(*in);
  orphan.Start(*in);
  in->Cancel(stuck.start.id);
  in.reset();  // closing the handle cancels nothing either
  EXPECT_FALSE(stuck.Done() || orphan.Done());
  EXPECT_EQ(printersim::PendingReads(id), 2);
  printersim::Send(id, Bytes{1});
  ASSERT_TRUE(stuck.WaitDone());
  EXPECT_EQ(stuck.Data(), Bytes{1});
  printersim::Detach(id);
  ASSERT_TRUE(orphan.WaitDone());
  EXPECT_EQ(orphan.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

// A cable pulled in the middle of a receipt: the printer keeps what came before, the write
// reports the removal with the count it took, and the printer is gone.
TEST_F(PrinterSim, UnplugAfterBytesCutsAWriteAndRemovesThePrinter) {
  const int id = printersim::Attach(printersim::kMakerDriver, kVid, kPid);
  File out = Open(Pipe(id, "PIPE01"));
  ASSERT_TRUE(out);
  printersim::UnplugAfterBytes(id, 6, ERROR_DEVICE_NOT_CONNECTED);
  ASSERT_EQ(Write(*out, Bytes{1, 2, 3, 4}), 0u);
  DWORD written = 0;
  const Bytes rest = {5, 6, 7, 8};
  EXPECT_EQ(out->Write(rest.data(), 4, &written), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(written, 2u);
  EXPECT_EQ(printersim::Received(id), (Bytes{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(OpenError(Pipe(id, "PIPE01")), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// Each bit of the real-time status replies, as the ESC/POS command reference gives them.
TEST_F(PrinterSim, StatusRepliesFollowThePrintersStateBitByBit) {
  using printersim::Paper;
  using printersim::PrinterState;
  const int id = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid);
  File port = Open(Pipe(id, "PIPE01"));
  File in = Open(Pipe(id, "PIPE00"));
  ASSERT_TRUE(port && in);
  auto ask = [&](int n) {
    EXPECT_EQ(Write(*port, Bytes{0x10, 0x04, static_cast<std::uint8_t>(n)}), 0u);
    Read reply;
    reply.Start(*in, 1);
    EXPECT_TRUE(reply.WaitDone());
    return reply.Data().empty() ? -1 : static_cast<int>(reply.Data()[0]);
  };
  struct Case {
    const char* what;
    PrinterState state;
    int replies[4];  // DLE EOT 1..4
  };
  auto with = [](auto change) {
    PrinterState state;
    change(state);
    return state;
  };
  const Case cases[] = {
      {"ready", PrinterState{}, {0x12, 0x12, 0x12, 0x12}},
      {"drawer open", with([](PrinterState& s) { s.drawerOpen = true; }), {0x16, 0x12, 0x12, 0x12}},
      {"off line", with([](PrinterState& s) { s.offline = true; }), {0x1A, 0x12, 0x12, 0x12}},
      {"cover open", with([](PrinterState& s) { s.coverOpen = true; }), {0x1A, 0x16, 0x12, 0x12}},
      {"paper near end", with([](PrinterState& s) { s.paper = Paper::kNearEnd; }), {0x12, 0x12, 0x12, 0x1E}},
      {"paper out", with([](PrinterState& s) { s.paper = Paper::kOut; }), {0x1A, 0x32, 0x12, 0x7E}},
      {"recoverable error", with([](PrinterState& s) { s.recoverableError = true; }), {0x1A, 0x52, 0x52, 0x12}},
      {"unrecoverable error", with([](PrinterState& s) { s.unrecoverableError = true; }), {0x1A, 0x52, 0x32, 0x12}},
  };
  for (const Case& c : cases) {
    printersim::SetState(id, c.state);
    for (int n = 1; n <= 4; ++n) EXPECT_EQ(ask(n), c.replies[n - 1]) << c.what << ", DLE EOT " << n;
  }
  printersim::SetState(id, PrinterState{});
  printersim::SetStatusByte(id, 2, 0x72);  // an odd byte for a test that needs one
  EXPECT_EQ(ask(2), 0x72);
  printersim::SetStatusByte(id, 2, -1);
  EXPECT_EQ(ask(2), 0x12);
}

// A printer that does not print (paper out) takes data into its 4 KiB buffer and answers
// status requests at once; with the buffer full a write waits, and once paper is loaded the
// buffer prints and the write goes on: nothing is lost. DLE DC4 1 m t kicks the drawer.
TEST_F(PrinterSim, APrinterThatDoesNotPrintBuffersThenHoldsWritesAndLosesNothing) {
  const int id = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid);
  File out = Open(Pipe(id, "PIPE01"));
  ASSERT_TRUE(out);
  printersim::PrinterState paperOut;
  paperOut.paper = printersim::Paper::kOut;
  printersim::SetState(id, paperOut);
  Bytes receipt(6000);
  for (std::size_t i = 0; i < receipt.size(); ++i) receipt[i] = static_cast<std::uint8_t>('a' + i % 26);
  DWORD written = 0;
  DWORD error = 99;
  std::thread writer([&] { error = out->Write(receipt.data(), static_cast<DWORD>(receipt.size()), &written); });
  ASSERT_TRUE(printersim::WaitForStalledWrite(id, kLong));
  EXPECT_EQ(printersim::Received(id).size(), printersim::kPrinterBufferSize);
  EXPECT_TRUE(printersim::Printed(id).empty());
  // A full buffer still takes a status request, and the printer answers it: a till can ask
  // why its write waits. Data behind the request waits with the rest.
  File other = Open(Pipe(id, "PIPE01"));
  File in = Open(Pipe(id, "PIPE00"));
  ASSERT_TRUE(other && in);
  DWORD taken = 0;
  std::thread asking([&] { other->Write(Bytes{0x10, 0x04, 4, 'z'}.data(), 4, &taken); });
  Read reply;
  reply.Start(*in);
  ASSERT_TRUE(reply.WaitDone());
  EXPECT_EQ(reply.Data(), Bytes{0x7E}) << "paper out";
  // The cable is pulled and plugged back: what waits in the printer's buffer stays.
  printersim::Detach(id);
  writer.join();
  asking.join();
  EXPECT_EQ(taken, 3u) << "the request, and nothing after it, got through";
  printersim::Reattach(id);
  printersim::SetState(id, printersim::PrinterState{});
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(written, printersim::kPrinterBufferSize);
  Bytes printed(receipt.begin(), receipt.begin() + printersim::kPrinterBufferSize);
  printed.insert(printed.end(), {0x10, 0x04, 4});
  EXPECT_EQ(printersim::Printed(id), printed) << "nothing it took was lost with the cable";

  File again = Open(Pipe(id, "PIPE01"));
  ASSERT_TRUE(again);
  EXPECT_EQ(Write(*again, Bytes{0x10, 0x14, 1, 0, 2}), 0u);
  EXPECT_TRUE(printersim::State(id).drawerOpen);
  EXPECT_EQ(printersim::DrawerPulses(id), 1u);
}

// ESC p in the print data opens the drawer when it prints: split across writes, after the
// paper is loaded for what waited, and never for the same bytes inside an image's data.
TEST_F(PrinterSim, DrawerKicksInThePrintDataOpenTheDrawerAsTheyPrint) {
  const int id = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid);
  File out = Open(Pipe(id, "PIPE01"));
  ASSERT_TRUE(out);
  const Bytes image{0x1D, 'v', '0', 0, 5, 0, 1, 0, 0x1B, 'p', 0, 25, 250};  // a 40 x 1 image
  EXPECT_EQ(Write(*out, image), 0u);
  EXPECT_EQ(Write(*out, Bytes{'a', 0x1B, 'p'}), 0u);
  EXPECT_EQ(printersim::DrawerPulses(id), 0u);
  EXPECT_EQ(Write(*out, Bytes{0, 25}), 0u);
  EXPECT_EQ(Write(*out, Bytes{250, 'b'}), 0u);
  EXPECT_EQ(printersim::DrawerPulses(id), 1u);
  EXPECT_TRUE(printersim::State(id).drawerOpen);

  printersim::ChangeState(id, [](printersim::PrinterState* state) {
    state->drawerOpen = false;
    state->paper = printersim::Paper::kOut;
  });
  EXPECT_EQ(Write(*out, Bytes{0x1B, 'p', 49, 25, 250}), 0u);
  EXPECT_EQ(printersim::DrawerPulses(id), 1u) << "it waits with the receipt";
  printersim::ChangeState(id, [](printersim::PrinterState* state) { state->paper = printersim::Paper::kPresent; });
  EXPECT_EQ(printersim::DrawerPulses(id), 2u);
  EXPECT_TRUE(printersim::State(id).drawerOpen);

  // However the data is split: tab positions that end without their NUL, a lone DLE, and
  // ESC p inside the data of an NV image and of user-defined characters (never a kick).
  Bytes tabs{0x1B, 'D'};
  for (int i = 1; i <= 32; ++i) tabs.push_back(static_cast<std::uint8_t>(i));
  const Bytes kick{0x1B, 'p', 0, 25, 250};
  Bytes stream = tabs;
  stream.insert(stream.end(), kick.begin(), kick.end());
  stream.insert(stream.end(), {0x10, 0x14, 1, 0, 1});
  stream.insert(stream.end(), {0x1C, 'q', 1, 1, 0, 1, 0, 0x1B, 'p', 0, 25, 250, 0, 0, 0});
  Bytes characters{0x1B, '&', 3, 32, 126};
  for (int c = 32; c <= 126; ++c) {
    characters.push_back(12);
    for (int d = 0; d < 36; ++d) characters.push_back(kick[static_cast<std::size_t>(d % 5)]);
  }
  stream.insert(stream.end(), characters.begin(), characters.end());
  for (std::size_t split = 0; split <= stream.size(); split += split < 80 ? 1 : 97) {
    SCOPED_TRACE(split);
    const std::uint64_t before = printersim::DrawerPulses(id);
    EXPECT_EQ(Write(*out, Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(split))), 0u);
    EXPECT_EQ(Write(*out, Bytes(stream.begin() + static_cast<std::ptrdiff_t>(split), stream.end())), 0u);
    EXPECT_EQ(printersim::DrawerPulses(id) - before, 2u) << "the ESC p after the tabs, and DLE DC4";
  }
}

// The printer counts its cuts as it prints, wherever the writes split them, and knows where
// the newest end: the same places the receipt renderer cuts what it printed. A cut held with
// the paper out counts once the paper is loaded; GS V inside an image's data is no cut.
TEST_F(PrinterSim, CutsAreCountedAsTheyPrintAndEndWhereTheRendererCuts) {
  const int id = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid);
  File out = Open(Pipe(id, "PIPE01"));
  ASSERT_TRUE(out);
  Bytes receipt{'a', '\n', 0x1D, 'v', '0', 0, 5, 0, 1, 0, 0x1D, 'V', 1, 0x1B, 'i'};  // an image of GS V 1 ESC i
  receipt.insert(receipt.end(), {'b', '\n', 0x1D, 'V', 66, 3, 0x1B, 'm'});
  std::uint64_t expected = 0;
  for (std::size_t split = 0; split <= receipt.size(); ++split) {
    SCOPED_TRACE(split);
    EXPECT_EQ(Write(*out, Bytes(receipt.begin(), receipt.begin() + static_cast<std::ptrdiff_t>(split))), 0u);
    EXPECT_EQ(Write(*out, Bytes(receipt.begin() + static_cast<std::ptrdiff_t>(split), receipt.end())), 0u);
    expected += 2;
    EXPECT_EQ(printersim::Cuts(id), expected);
  }
  printersim::ChangeState(id, [](printersim::PrinterState* state) { state->paper = printersim::Paper::kOut; });
  EXPECT_EQ(Write(*out, Bytes{'c', 0x1D, 'V', 0}), 0u);
  EXPECT_EQ(printersim::Cuts(id), expected) << "it waits with the receipt";
  printersim::ChangeState(id, [](printersim::PrinterState* state) { state->paper = printersim::Paper::kPresent; });
  EXPECT_EQ(printersim::Cuts(id), expected + 1);

  // Two NV images, the first larger than any command the printer holds to measure, with the
  // bytes of a cut in its data.
  Bytes images{0x1C, 'q', 2, 100, 0, 100, 0};
  images.resize(images.size() + 100 * 100 * 8, 0xFF);
  images[70'000] = 0x1D;
  images[70'001] = 'V';
  images[70'002] = 0;
  images.insert(images.end(), {1, 0, 1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 0x1D, 'V', 0});
  for (std::size_t split : {std::size_t{2}, std::size_t{5}, std::size_t{70'001}, images.size() - 10}) {
    EXPECT_EQ(Write(*out, Bytes(images.begin(), images.begin() + static_cast<std::ptrdiff_t>(split))), 0u);
    EXPECT_EQ(Write(*out, Bytes(images.begin() + static_cast<std::ptrdiff_t>(split), images.end())), 0u);
    EXPECT_EQ(printersim::Cuts(id), (expected += 1) + 1) << split;
  }

  std::vector<std::uint64_t> newest;
  EXPECT_EQ(printersim::Cuts(id, &newest), expected + 1);
  const std::vector<std::size_t> ends = printersim::ReceiptEnds(printersim::Printed(id));
  ASSERT_EQ(ends.size(), expected + 1);
  ASSERT_EQ(newest.size(), std::min<std::size_t>(ends.size(), printersim::kKeptCutEnds));
  EXPECT_TRUE(std::equal(newest.begin(), newest.end(), ends.end() - static_cast<std::ptrdiff_t>(newest.size())));
  printersim::Cuts(id, &newest, 3);
  EXPECT_EQ(newest, (std::vector<std::uint64_t>(ends.end() - 3, ends.end())));
}

// The maker's driver applies its write timeouts to a printer that takes no more: the write
// succeeds with the bytes taken, and a write that takes none at all reports it so.
TEST_F(PrinterSim, MakersDriverWritesToARefusingPrinterEndByTheirTimeout) {
  const int id = printersim::Attach(printersim::kMakerDriver, kVid, kPid);
  File out = Open(Pipe(id, "PIPE01"));
  ASSERT_TRUE(out);
  SERIAL_TIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 100};
  DWORD returned = 0;
  ASSERT_EQ(out->IoControl(IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0, &returned), 0u);
  printersim::PrinterState coverOpen;
  coverOpen.coverOpen = true;
  printersim::SetState(id, coverOpen);
  const Bytes receipt(5000, 'r');
  DWORD written = 0;
  EXPECT_EQ(out->Write(receipt.data(), static_cast<DWORD>(receipt.size()), &written), 0u);
  EXPECT_EQ(written, printersim::kPrinterBufferSize);
  EXPECT_EQ(out->Write(receipt.data(), 10, &written), 0u);
  EXPECT_EQ(written, 0u);
}

TEST_F(PrinterSim, PipesOnlyCarryTheirDirectionAndHandlesOnlyTheirAccess) {
  const int id = printersim::Attach(printersim::kMakerDriver, kVid, kPid);
  File in = Open(Pipe(id, "PIPE00"));
  File out = Open(Pipe(id, "PIPE01"));
  File readOnly = Open(printersim::InterfacePath(id), nullptr, GENERIC_READ);
  ASSERT_TRUE(in && out && readOnly);
  EXPECT_NE(Write(*in, Bytes{1}), 0u);
  EXPECT_EQ(Write(*readOnly, Bytes{1}), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  Read wrongWay;
  wrongWay.Start(*out);
  ASSERT_TRUE(wrongWay.Done());
  EXPECT_NE(wrongWay.error, 0u);
  EXPECT_TRUE(printersim::Received(id).empty());
}

// --- Printer class driver -------------------------------------------------------------------

TEST_F(PrinterSim, PrinterClassReadPendsUntilSendAndCompletesOnTheSendersThread) {
  const int id = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid);
  File file = Open(printersim::InterfacePath(id));
  ASSERT_NE(file, nullptr);
  Read read;
  read.Start(*file, 4);
  EXPECT_FALSE(read.Done());
  EXPECT_EQ(printersim::PendingReads(id), 1);

  std::thread::id sender;
  std::thread([&] {
    sender = std::this_thread::get_id();
    printersim::Send(id, Bytes{9, 8, 7, 6, 5, 4});
  }).join();
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.thread, sender);
  EXPECT_EQ(read.Data(), (Bytes{9, 8, 7, 6}));

  Read rest;
  rest.Start(*file);
  ASSERT_TRUE(rest.Done()) << "data already sent completes a read at once";
  EXPECT_EQ(rest.Data(), (Bytes{5, 4}));

  printersim::SetReadMode(id, printersim::kReadsCompleteAtOnce);
  Read idle;
  idle.Start(*file);
  ASSERT_TRUE(idle.Done());
  EXPECT_EQ(idle.bytes, 0u);
  EXPECT_EQ(idle.error, 0u);
  DWORD returned = 0;
  SERIAL_TIMEOUTS t{};
  EXPECT_NE(file->IoControl(IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, &t, sizeof t, &returned), 0u);
}

TEST_F(PrinterSim, PendingReadEndsExactlyOnceByCancelPurgeOrClose) {
  const int id = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid);
  File file = Open(Pipe(id, "PIPE00"));
  ASSERT_NE(file, nullptr);

  Read cancelled;
  cancelled.Start(*file);
  file->Cancel(cancelled.start.id);
  ASSERT_TRUE(cancelled.Done());
  EXPECT_EQ(cancelled.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  file->Cancel(cancelled.start.id);
  printersim::Send(id, Bytes{1});
  EXPECT_EQ(cancelled.completions, 1);

  EXPECT_EQ(file->Purge(PURGE_TXCLEAR), 0u);
  EXPECT_EQ(file->Purge(PURGE_RXCLEAR), 0u);
  Read purged;
  purged.Start(*file);
  EXPECT_FALSE(purged.Done()) << "RXCLEAR discarded the byte sent above";
  EXPECT_EQ(file->Purge(PURGE_RXABORT), 0u);
  ASSERT_TRUE(purged.Done());
  EXPECT_EQ(purged.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(printersim::Purges(id), (std::vector<DWORD>{PURGE_TXCLEAR, PURGE_RXCLEAR, PURGE_RXABORT}));

  Read closed;
  closed.Start(*file);
  file.reset();
  ASSERT_TRUE(closed.Done());
  EXPECT_EQ(closed.error, static_cast<DWORD>(ERROR_OPERATION_ABORTED));
  EXPECT_EQ(printersim::PendingReads(id), 0);
  EXPECT_EQ(printersim::OpenFiles(id), 0);
}

// A receive loop starts its next read from inside the completion; the simulator must not be
// holding anything then.
TEST_F(PrinterSim, CompletionMayStartTheNextReadFromInsideTheCallback) {
  const int id = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid);
  File file = Open(printersim::InterfacePath(id));
  ASSERT_NE(file, nullptr);
  Bytes got;
  std::uint8_t buffer[2];
  std::function<void(DWORD, DWORD)> loop = [&](DWORD n, DWORD error) {
    if (error != 0) return;
    got.insert(got.end(), buffer, buffer + n);
    file->StartRead(buffer, sizeof buffer, loop);
  };
  file->StartRead(buffer, sizeof buffer, loop);
  printersim::Send(id, Bytes{1, 2, 3, 4, 5});
  EXPECT_EQ(got, (Bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(printersim::PendingReads(id), 1);
  printersim::Detach(id);
}

// --- Printer model ---------------------------------------------------------------------------

TEST_F(PrinterSim, KeepsEveryByteInOrderAndAnswersDleEotAlsoWhenSplit) {
  const int id = printersim::Attach(printersim::kMakerDriver, kVid, kPid);
  File out = Open(Pipe(id, "PIPE01"));
  File bare = Open(printersim::InterfacePath(id));
  File in = Open(Pipe(id, "PIPE00"));
  ASSERT_TRUE(out && bare && in);
  printersim::SetStatusByte(id, 2, 0x16);
  printersim::SetStatusByte(id, 4, 0x72);

  const std::vector<Bytes> writes = {
      {'A', 0x10, 0x04, 0x01},  // DLE EOT 1
      {0x10, 0x04, 0x02},       // DLE EOT 2
      {0x10},                   // DLE | EOT | 3, one byte a write
      {0x04},
      {0x03, 'B'},
      {0x10, 0x10, 0x04, 0x04}, // DLE DLE EOT 4
      {0x10, 0x04, 0x05},       // n out of range: data, no reply
      {0x10, 0x04},             // DLE EOT, then no n before the removal below
  };
  Bytes all;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    EXPECT_EQ(Write(i % 2 ? *bare : *out, writes[i]), 0u);
    all.insert(all.end(), writes[i].begin(), writes[i].end());
  }
  EXPECT_EQ(printersim::Received(id), all);
  Read replies;
  replies.Start(*in);
  EXPECT_EQ(replies.Data(), (Bytes{0x12, 0x16, 0x12, 0x72}));

  printersim::Reattach(id);  // the printer restarts: the half request is forgotten
  File again = Open(Pipe(id, "PIPE01"));
  File againIn = Open(Pipe(id, "PIPE00"));
  ASSERT_TRUE(again && againIn);
  EXPECT_EQ(Write(*again, Bytes{0x01}), 0u);
  Read none;
  none.Start(*againIn);
  EXPECT_EQ(none.bytes, 0u);
  EXPECT_EQ(printersim::Received(id).size(), all.size() + 1) << "received bytes outlive a replug";
}

// A printer left printing for days keeps only its newest bytes, and says where what it
// answers begins, so that a reader that fell behind knows what it missed.
TEST_F(PrinterSim, APrinterToldToKeepRecentBytesLetsGoOfOldOnesAndSaysWhereAnswersBegin) {
  const int id = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid);
  printersim::KeepRecent(id, 100);
  File out = Open(printersim::InterfacePath(id));
  ASSERT_TRUE(out);
  Bytes all;
  for (int i = 0; i < 50; ++i) {
    const Bytes chunk(7, static_cast<std::uint8_t>(i));
    EXPECT_EQ(Write(*out, chunk), 0u);
    all.insert(all.end(), chunk.begin(), chunk.end());
  }
  for (const auto& log : {printersim::Received, printersim::Printed}) {
    std::uint64_t start = 0;
    const Bytes kept = log(id, 0, &start);
    EXPECT_GE(kept.size(), 100u);
    EXPECT_LE(kept.size(), 200u) << "what is kept stays bounded";
    EXPECT_EQ(start + kept.size(), all.size());
    EXPECT_TRUE(std::equal(kept.begin(), kept.end(), all.end() - static_cast<std::ptrdiff_t>(kept.size())));
    EXPECT_EQ(log(id, all.size() - 3, &start), Bytes(3, 49)) << "offsets still count from the first byte";
    EXPECT_EQ(start, all.size() - 3);
    EXPECT_TRUE(log(id, all.size() + 5, &start).empty());
    EXPECT_EQ(start, all.size());
  }
}

TEST_F(PrinterSim, StatusReplyCompletesAPendingPrinterClassRead) {
  const int id = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid);
  File reader = Open(printersim::InterfacePath(id));
  File writer = Open(printersim::InterfacePath(id));
  ASSERT_TRUE(reader && writer);
  Read read;
  read.Start(*reader);
  EXPECT_EQ(Write(*writer, Bytes{0x10, 0x04, 0x01}), 0u);
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.Data(), Bytes{0x12});
}

// --- Faults -------------------------------------------------------------------------------------

TEST_F(PrinterSim, RemovalFailsEveryOpenHandleAndReplugUnderNewPathLeavesThemDead) {
  const int id = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid, "OLD");
  const int bystander = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid, "OTHER");
  const std::string oldPath = printersim::InterfacePath(id);
  File file = Open(oldPath);
  File other = Open(printersim::InterfacePath(bystander));
  ASSERT_TRUE(file && other);
  Read pending, otherPending;
  pending.Start(*file);
  otherPending.Start(*other);

  printersim::Detach(id);
  ASSERT_TRUE(pending.Done());
  EXPECT_EQ(pending.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(otherPending.Done()) << "only the removed printer's reads end";
  EXPECT_EQ(Write(*file, Bytes{1}), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenError(oldPath), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  printersim::Send(id, Bytes{1, 2});  // to nobody

  printersim::Reattach(id, "NEW");
  const std::string newPath = printersim::InterfacePath(id);
  EXPECT_NE(newPath, oldPath);
  EXPECT_EQ(OpenError(oldPath), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  File fresh = Open(newPath);
  ASSERT_NE(fresh, nullptr);
  Read stale;
  stale.Start(*file);
  ASSERT_TRUE(stale.Done());
  EXPECT_EQ(stale.error, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "old handles stay dead";
  EXPECT_EQ(file->Purge(PURGE_RXCLEAR), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  Read chosen;
  chosen.Start(*fresh);
  EXPECT_FALSE(chosen.Done()) << "nothing sent before the replug survives it";
  printersim::Detach(id, ERROR_DEVICE_NOT_CONNECTED);
  ASSERT_TRUE(chosen.Done());
  EXPECT_EQ(chosen.error, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  printersim::Detach(bystander);
}

TEST_F(PrinterSim, FailNextReadsFailsExactlyThatManyReadsAtOnce) {
  const int id = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid);
  File file = Open(printersim::InterfacePath(id));
  ASSERT_NE(file, nullptr);
  printersim::Send(id, Bytes{7});
  printersim::FailNextReads(id, ERROR_GEN_FAILURE, 2);
  for (int i = 0; i < 2; ++i) {
    Read failed;
    failed.Start(*file);
    ASSERT_TRUE(failed.Done());
    EXPECT_EQ(failed.error, static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(failed.bytes, 0u);
  }
  Read works;
  works.Start(*file);
  ASSERT_TRUE(works.Done());
  EXPECT_EQ(works.Data(), Bytes{7}) << "the failed reads took no data";
  EXPECT_EQ(printersim::ReadsIssued(id), 3u);
}

TEST_F(PrinterSim, StalledWriteHoldsNoLockAndEndsByReleaseOrRemoval) {
  const int id = printersim::Attach(printersim::kMakerDriver, kVid, kPid);
  File out = Open(Pipe(id, "PIPE01"));
  ASSERT_NE(out, nullptr);
  printersim::StallWrites(id);

  DWORD released = 1;
  std::thread writer([&] { released = Write(*out, Bytes{1, 2, 3}); });
  ASSERT_TRUE(printersim::WaitForStalledWrite(id, kLong));
  // While it is stuck everything else keeps working.
  printersim::Send(id, Bytes{4});
  EXPECT_TRUE(printersim::Received(id).empty());
  File in = Open(Pipe(id, "PIPE00"));
  ASSERT_NE(in, nullptr);
  Read read;
  read.Start(*in);
  EXPECT_EQ(read.Data(), Bytes{4});
  EXPECT_FALSE(Paths(0).empty());
  printersim::ReleaseWrites(id);
  writer.join();
  EXPECT_EQ(released, 0u);
  EXPECT_EQ(printersim::Received(id), (Bytes{1, 2, 3}));

  printersim::StallWrites(id);
  DWORD removed = 0;
  std::thread stuck([&] { removed = Write(*out, Bytes{5}); });
  ASSERT_TRUE(printersim::WaitForStalledWrite(id, kLong));
  printersim::Detach(id, ERROR_DEVICE_NOT_CONNECTED);
  stuck.join();
  EXPECT_EQ(removed, static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(printersim::Received(id), (Bytes{1, 2, 3}));
  EXPECT_EQ(printersim::StalledWrites(id), 0);
}

// --- Threads ----------------------------------------------------------------------------------

TEST_F(PrinterSim, BytesSentFromOneThreadArriveInOrderAtAReaderOnAnother) {
  const int id = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid);
  File file = Open(Pipe(id, "PIPE00"));
  File out = Open(Pipe(id, "PIPE01"));
  ASSERT_TRUE(file && out);
  constexpr int kTotal = 5000;

  std::thread sender([&] {
    for (int i = 0; i < kTotal; i += 10) {
      Bytes chunk;
      for (int j = i; j < i + 10; ++j) chunk.push_back(static_cast<std::uint8_t>(j));
      printersim::Send(id, chunk);
    }
  });
  std::thread writer([&] {
    for (int i = 0; i < 500; ++i) Write(*out, Bytes{static_cast<std::uint8_t>(i)});
  });
  Bytes got;
  while (got.size() < kTotal) {
    Read read;
    read.Start(*file, 7);
    ASSERT_TRUE(read.WaitDone());
    ASSERT_EQ(read.error, 0u);
    ASSERT_LE(read.bytes, 7u);
    const Bytes data = read.Data();
    got.insert(got.end(), data.begin(), data.end());
  }
  sender.join();
  writer.join();
  ASSERT_EQ(got.size(), static_cast<std::size_t>(kTotal));
  for (int i = 0; i < kTotal; ++i) ASSERT_EQ(got[static_cast<std::size_t>(i)], static_cast<std::uint8_t>(i));
  const Bytes received = printersim::Received(id);
  ASSERT_EQ(received.size(), 500u);
  for (int i = 0; i < 500; ++i) ASSERT_EQ(received[static_cast<std::size_t>(i)], static_cast<std::uint8_t>(i));
}

// --- Control API -------------------------------------------------------------------------------

TEST_F(PrinterSim, UnknownIdsAndOutOfRangeArgumentsAreRefused) {
  EXPECT_THROW(printersim::Detach(1), std::invalid_argument);
  EXPECT_THROW(printersim::Received(0), std::invalid_argument);
  EXPECT_THROW(printersim::Attach(2, kVid, kPid), std::invalid_argument);
  EXPECT_THROW(printersim::Attach(0, 0x10000, kPid), std::invalid_argument);
  const int id = printersim::Attach(printersim::kMakerDriver, kVid, kPid);
  EXPECT_GT(id, 0);
  EXPECT_THROW(printersim::Send(id + 1, Bytes{1}), std::invalid_argument);
  EXPECT_THROW(printersim::SetStatusByte(id, 5, 0x12), std::invalid_argument);
  EXPECT_THROW(printersim::SetReadMode(id, 4), std::invalid_argument);
  EXPECT_THROW(printersim::InjectEnumerationErrors(3, 0, ERROR_GEN_FAILURE, 1), std::invalid_argument);
}

TEST_F(PrinterSim, ResetRemovesPrintersKillsTheirHandlesAndNeverGivesTheirIdsAgain) {
  const int id = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid);
  printersim::InjectEnumerationErrors(printersim::kPrinterClassDriver, 0, ERROR_GEN_FAILURE, 1);
  File file = Open(printersim::InterfacePath(id));
  ASSERT_NE(file, nullptr);
  Read read;
  read.Start(*file);
  printersim::Reset();
  ASSERT_TRUE(read.Done());
  EXPECT_EQ(read.error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(Paths(1).empty());
  EXPECT_THROW(printersim::Received(id), std::invalid_argument);
  const int next = printersim::Attach(printersim::kMakerDriver, kVid, kPid);
  EXPECT_GT(next, id);
  EXPECT_THROW(printersim::Received(id), std::invalid_argument) << "an id from before the reset names nothing";
  EXPECT_EQ(printersim::SupportedIds().size(), kSupportedPrinterCount);
  EXPECT_EQ(printersim::SupportedIds().front(),
            static_cast<std::uint32_t>(kSupportedPrinters[0].vendorId) << 16 | kSupportedPrinters[0].productId);
}

}  // namespace
