// Before any test counts handles or arms a failing system call, one session of each driver
// kind has run: runtimes make some objects of their own on first use.
#include <gtest/gtest.h>
#include <printersim/printersim.h>

#include <atomic>
#include <thread>
#include <vector>

#include "support/NativePort.h"

namespace {

// Runtimes make some objects of their own on first use, kernel objects among them (a
// thread's, a lock's under its first contention, the C++ exception machinery's on the first
// throw, the simulator's device thread). One session of each driver kind with a reader and
// a writer at work, and one bring-up that fails, before any test counts handles, let them
// be made outside the counts.
class FirstUse : public ::testing::Environment {
 public:
  void SetUp() override {
    for (int kind : {printersim::kMakerDriver, printersim::kPrinterClassDriver}) {
      printersim::Reset();
      const std::uint32_t pair = printersim::SupportedIds()[0];
      const int printer = printersim::Attach(kind, static_cast<int>(pair >> 16),
                                             static_cast<int>(pair & 0xFFFF));
      printersim::SetReadMode(printer, printersim::kReadsQueued);
      JavaThread java;
      java.OpenBoth(kind);
      // Readers and writers run into each other in every lock the calls take; the readers
      // stop when the writers are done.
      std::atomic<int> writing{2};
      std::vector<std::thread> threads;
      for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&java, &writing, t] {
          JavaThread thread;
          FakeArray bytes{std::vector<jbyte>{0x10, 0x04, 1}};
          if (t % 2 == 0) {
            for (int i = 0; i < 300; ++i) thread.Write(&bytes, java.writeHandle());
            --writing;
            return;
          }
          while (writing.load() > 0) {
            thread.Read(&bytes, java.readHandle());
            thread.BytesAvailable();
          }
        });
      }
      for (std::thread& thread : threads) thread.join();
      java.CloseBoth();
    }
    // The ring buffer's constructor throws when its mutex cannot be made.
    JavaThread java;
    FailNextSystemCalls("CreateMutexA", ERROR_NOT_ENOUGH_MEMORY, 1);
    java.Init(JavaThread::kRead);  // fails, and gives back what it made
    ClearSystemFaults();
    printersim::Reset();
    TakeDebugOutput();
  }
};

const auto* const kFirstUse = ::testing::AddGlobalTestEnvironment(new FirstUse);

}  // namespace
