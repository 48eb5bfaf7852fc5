// The handle slot that lets writers use a device handle while another thread replaces it,
// and the gate that keeps teardown from freeing what a reader is using.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "comm/ReaderGate.h"
#include "comm/SharedHandle.h"

namespace {

HANDLE NewEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }
bool IsOpen(HANDLE handle) { return WaitForSingleObject(handle, 0) != WAIT_FAILED; }

TEST(SharedHandleTest, ReplaceClosesAnUnusedHandleAtOnce) {
  SharedHandle slot;
  const HANDLE first = NewEvent();
  slot.Replace(first);
  EXPECT_EQ(slot.Get(), first);
  const HANDLE second = NewEvent();
  slot.Replace(second);
  EXPECT_FALSE(IsOpen(first));
  EXPECT_EQ(slot.Get(), second);
  slot.Replace(nullptr);
  EXPECT_FALSE(IsOpen(second));
  EXPECT_EQ(slot.Get(), nullptr);
}

TEST(SharedHandleTest, HandleInUseIsClosedByItsLastUser) {
  SharedHandle slot;
  const HANDLE first = NewEvent();
  slot.Replace(first);
  const HANDLE a = slot.Acquire();
  const HANDLE b = slot.Acquire();
  ASSERT_EQ(a, first);
  slot.Replace(nullptr);
  EXPECT_EQ(slot.Get(), nullptr);
  EXPECT_TRUE(IsOpen(first));  // still used by two writers
  slot.Release(a);
  EXPECT_TRUE(IsOpen(first));
  slot.Release(b);
  EXPECT_FALSE(IsOpen(first));
}

TEST(SharedHandleTest, ReleasingACurrentHandleKeepsItOpen) {
  SharedHandle slot;
  const HANDLE handle = NewEvent();
  slot.Replace(handle);
  {
    SharedHandleUse use(slot);
    EXPECT_EQ(use.get(), handle);
  }
  EXPECT_TRUE(IsOpen(handle));
  slot.Replace(nullptr);
  EXPECT_FALSE(IsOpen(handle));
}

TEST(SharedHandleTest, NullAndTheSameValueAreNeverClosed) {
  SharedHandle slot;
  EXPECT_EQ(slot.Acquire(), nullptr);
  slot.Release(nullptr);
  const HANDLE handle = NewEvent();
  slot.Replace(handle);
  slot.Replace(handle);
  EXPECT_TRUE(IsOpen(handle));
  slot.Replace(nullptr);
}

TEST(SharedHandleTest, InstallIfEmptyKeepsAnInstalledHandle) {
  SharedHandle slot;
  const HANDLE first = NewEvent();
  const HANDLE second = NewEvent();
  EXPECT_TRUE(slot.InstallIfEmpty(first));
  EXPECT_FALSE(slot.InstallIfEmpty(second));
  EXPECT_EQ(slot.Get(), first);
  CloseHandle(second);
  slot.Replace(nullptr);
}

// Writers and a replacer at full speed: every handle a writer holds stays open while it
// holds it, and every replaced handle ends up closed.
TEST(SharedHandleTest, WritersNeverSeeAClosedHandleWhileItIsReplaced) {
  SharedHandle slot;
  slot.Replace(NewEvent());
  std::atomic<bool> stop{false};
  std::atomic<int> closedWhileHeld{0};
  auto writer = [&] {
    while (!stop.load()) {
      SharedHandleUse use(slot);
      if (use.get() != nullptr && !IsOpen(use.get())) ++closedWhileHeld;
    }
  };
  std::thread w1(writer);
  std::thread w2(writer);
  for (int i = 0; i < 2000; ++i) slot.Replace(NewEvent());
  stop = true;
  w1.join();
  w2.join();
  slot.Replace(nullptr);
  EXPECT_EQ(closedWhileHeld.load(), 0);
}

TEST(ReaderGateTest, DrainWaitsForTheReaderInsideAndRefusesNewOnes) {
  ReaderGate gate;
  std::promise<void> inside;
  std::promise<void> mayLeave;
  std::thread reader([&] {
    ReaderPass pass(gate);
    EXPECT_TRUE(pass.admitted());
    inside.set_value();
    mayLeave.get_future().wait();
  });
  inside.get_future().wait();

  std::atomic<bool> drained{false};
  std::thread closer([&] {
    gate.CloseAndDrain();
    drained = true;
  });
  // A newcomer is refused only once the gate is closed; until the reader leaves, the
  // closer must still be waiting.
  for (;;) {
    ReaderPass probe(gate);
    if (!probe.admitted()) break;
    std::this_thread::yield();
  }
  EXPECT_FALSE(drained.load());
  mayLeave.set_value();
  reader.join();
  closer.join();
  EXPECT_TRUE(drained.load());

  gate.Open();
  ReaderPass after(gate);
  EXPECT_TRUE(after.admitted());
}

}  // namespace
