// No C++ exception crosses a native's boundary into the virtual machine, where it would end
// the process. This program replaces the global operator new so that a chosen allocation of
// the calling thread throws std::bad_alloc, and runs an application's session once for
// every allocation it makes, failing that one: each call must come back with a result from
// its documented set, and the port must work again afterwards.
#include <gtest/gtest.h>
#include <printersim/printersim.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "comm/HandleLedger.h"
#include "jni/JniSupport.h"
#include "support/Deadline.h"
#include "support/NativePort.h"

// GCC sees free() after an inlined operator new and takes it for a mismatch; here both are
// this file's own, built on malloc and free.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

namespace {

// The allocation, counted from when it is armed, that throws on this thread; 0 when none.
thread_local long t_failingAllocation = 0;

}  // namespace

void* operator new(std::size_t size) {
  if (t_failingAllocation > 0 && --t_failingAllocation == 0) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace {

using namespace std::chrono_literals;
using printersim::kMakerDriver;
using printersim::kPrinterClassDriver;

constexpr long kMostAllocations = 5000;

int AttachSupported(int driverKind) {
  const std::uint32_t pair = printersim::SupportedIds()[0];
  return printersim::Attach(driverKind, static_cast<int>(pair >> 16),
                            static_cast<int>(pair & 0xFFFF));
}

// What one session's calls returned; filled while allocations may fail, so nothing here
// allocates, and checked afterwards.
struct SessionResults {
  jint write = 0, read = 0, written = 0, got = 0, available = 0, timeout = 0, closeWrite = 0,
       closeRead = 0;
};

// One session as a till runs it, with arrays made beforehand.
void RunSession(JavaThread& java, FakeArray& status, FakeArray& reply, SessionResults* r) {
  r->write = java.Init(JavaThread::kWrite);
  r->read = java.Init(JavaThread::kRead);
  r->written = java.Write(&status, java.writeHandle());
  r->got = java.Read(&reply, java.readHandle());
  r->available = java.BytesAvailable();
  r->timeout = java.GetCommTimeout(java.readHandle());
  r->closeWrite = java.Close(java.writeHandle());
  r->closeRead = java.Close(java.readHandle());
}

// Every result is one the call documents.
void ExpectDocumented(const SessionResults& r, jint kind, long allocation) {
  EXPECT_TRUE(r.write == kind || r.write == -1) << r.write << " at allocation " << allocation;
  EXPECT_TRUE(r.read == kind || r.read == -1) << r.read << " at allocation " << allocation;
  EXPECT_GE(r.written, 0) << "at allocation " << allocation;
  EXPECT_GE(r.got, -1) << "at allocation " << allocation;
  EXPECT_GE(r.available, 0) << "at allocation " << allocation;
  EXPECT_GE(r.timeout, 0) << "at allocation " << allocation;
  EXPECT_GE(r.closeWrite, 0) << "at allocation " << allocation;
  EXPECT_GE(r.closeRead, 0) << "at allocation " << allocation;
}

void SweepAllocations(int driverKind) {
  const jint kind = driverKind == kPrinterClassDriver ? 1 : 0;
  printersim::Reset();
  const int printer = AttachSupported(driverKind);
  const int handlesAtStart = LiveHandleCount();
  long allocation = 1;
  for (; allocation <= kMostAllocations; ++allocation) {
    bool failedOne = false;
    SessionResults results;
    TakeDebugOutput();
    const std::string what = "a session whose allocation " + std::to_string(allocation) + " fails";
    const auto lastTraces = [] {
      const std::vector<std::string> traces = TakeDebugOutput();
      const std::size_t from = traces.size() > 60 ? traces.size() - 60 : 0;
      for (std::size_t i = from; i < traces.size(); ++i) std::fprintf(stderr, "  %s", traces[i].c_str());
    };
    FinishesWithin(10000ms, what.c_str(), [&] {
      JavaThread java;
      FakeArray status;
      status.bytes = {0x10, 0x04, 1};
      FakeArray reply{std::vector<jbyte>(8)};
      printersim::Send(printer, std::vector<std::uint8_t>{0x12});  // no read waits long
      t_failingAllocation = allocation;
      RunSession(java, status, reply, &results);
      failedOne = t_failingAllocation == 0;
      t_failingAllocation = 0;
      // Whatever the session left open is closed as an application would.
      java.CloseBoth();
      java.Close(0);
    }, lastTraces);
    ExpectDocumented(results, kind, allocation);
    ASSERT_EQ(LiveHandleCount(), handlesAtStart) << "allocation " << allocation;
    if (!failedOne) break;  // the session made fewer allocations: all were failed once
  }
  EXPECT_LT(allocation, kMostAllocations);
  // The port works as before.
  JavaThread java;
  ASSERT_TRUE(java.OpenBoth(kind));
  FakeArray print;
  print.bytes = {'o', 'k'};
  EXPECT_EQ(java.Write(&print, java.writeHandle()), 0);
  java.CloseBoth();
  std::printf("driver kind %d: %ld allocations failed in turn\n", driverKind, allocation - 1);
}

TEST(NativesBoundary, EveryAllocationOfASessionFailedOnceOnTheMakersDriver) {
  SweepAllocations(kMakerDriver);
}

TEST(NativesBoundary, EveryAllocationOfASessionFailedOnceOnPrinterClass) {
  SweepAllocations(kPrinterClassDriver);
}

// Each read open on the maker's driver makes a handle of its own, which the library records
// and names for the length of its life; the records' storage grows now and then. Whichever
// allocation of an open fails, the open either works or fails with -1, the holder left
// alone and nothing left open: never a handle without its record and its name.
TEST(NativesBoundary, AReadOpenWhoseHandleCannotBeRecordedFailsAndLeavesNothingOpen) {
  printersim::Reset();
  AttachSupported(kMakerDriver);
  JavaThread java;
  std::vector<jint> opened;
  int failedWithTheTrace = 0;
  // Every open that works is kept, so that each next one has to grow the records again.
  for (int sweep = 0; sweep < 3; ++sweep) {
    for (long allocation = 1;; ++allocation) {
      const int handles = LiveHandleCount();
      java.jni().hReadPort = 0;
      TakeDebugOutput();
      t_failingAllocation = allocation;
      const jint kind = java.Init(JavaThread::kRead);
      const bool reached = t_failingAllocation == 0;
      t_failingAllocation = 0;
      if (kind == 0) {
        opened.push_back(java.readHandle());
      } else {
        EXPECT_EQ(kind, -1);
        EXPECT_EQ(java.readHandle(), 0);
        EXPECT_EQ(LiveHandleCount(), handles) << LiveHandleKinds();
        for (const std::string& line : TakeDebugOutput()) {
          if (line.find("usbInitPipe(") == 0 && line.find(") Out of memory") != std::string::npos) {
            ++failedWithTheTrace;
          }
        }
      }
      if (!reached) break;  // the open made fewer allocations than that
    }
  }
  EXPECT_GT(failedWithTheTrace, 0);
  for (const jint handle : opened) EXPECT_EQ(java.Close(handle), 0);
}

// A failure of any other kind than memory comes back as the native's failure result too.
TEST(NativesBoundary, AnyExceptionBecomesTheFailureResult) {
  SetLastError(0);
  EXPECT_EQ(AtJavaBoundary("Test", jint{-1}, []() -> jint { throw 42; }), -1);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_NOT_ENOUGH_MEMORY});
}

}  // namespace
