// The handle slot that lets writers use a device handle while another thread replaces it,
// the ledger of the handles Java may name, and the gate that keeps teardown from freeing
// what a reader is using.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <future>
#include <thread>

#include "comm/HandleLedger.h"
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
  auto a = std::make_unique<SharedHandleUse>(slot);
  auto b = std::make_unique<SharedHandleUse>(slot);
  ASSERT_EQ(a->get(), first);
  slot.Replace(nullptr);
  EXPECT_EQ(slot.Get(), nullptr);
  EXPECT_TRUE(IsOpen(first));  // still used by two writers
  a.reset();
  EXPECT_TRUE(IsOpen(first));
  b.reset();
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

TEST(SharedHandleTest, NullInvalidAndTheSameValueAreNeverClosed) {
  SharedHandle slot;
  { SharedHandleUse use(slot); EXPECT_EQ(use.get(), nullptr); }
  slot.Replace(INVALID_HANDLE_VALUE);
  { SharedHandleUse use(slot); EXPECT_EQ(use.get(), INVALID_HANDLE_VALUE); }
  const HANDLE handle = NewEvent();
  slot.Replace(handle);
  slot.Replace(handle);
  EXPECT_TRUE(IsOpen(handle));
  slot.Replace(nullptr);
}

// The open of a write pipe races the worker's recovery: whoever installs second loses, and
// the loser's handle is closed rather than left without an owner.
TEST(SharedHandleTest, ReplaceIfInstallsOnlyOverTheExpectedValue) {
  SharedHandle slot;
  const HANDLE first = NewEvent();
  EXPECT_TRUE(slot.ReplaceIf(nullptr, first));
  const HANDLE second = NewEvent();
  EXPECT_FALSE(slot.ReplaceIf(nullptr, second));
  EXPECT_EQ(slot.Get(), first);
  EXPECT_FALSE(IsOpen(second));
  slot.Replace(INVALID_HANDLE_VALUE);
  EXPECT_FALSE(IsOpen(first));
  const HANDLE third = NewEvent();
  EXPECT_TRUE(slot.ReplaceIf(INVALID_HANDLE_VALUE, third));
  EXPECT_EQ(slot.Get(), third);
  slot.Replace(nullptr);
}

// A value the library closed is forgotten before it is closed, so when the system hands it
// out again to someone else nothing of the library takes it for its own.
TEST(HandleLedgerTest, AClosedValueHandedOutAgainIsNotTakenForOurs) {
  HandleLedger& ledger = TheHandleLedger();
  const HANDLE ours = NewEvent();
  ledger.Record(ours, HandleLedger::Role::kNativeRead);
  EXPECT_TRUE(ledger.Holds(ours, HandleLedger::Role::kNativeRead));
  EXPECT_FALSE(ledger.Holds(ours, HandleLedger::Role::kPortMember));
  EXPECT_TRUE(ledger.Close(ours));
  const HANDLE theirs = NewEvent();  // the system may give it the same value
  EXPECT_FALSE(ledger.Acquire(theirs));
  EXPECT_FALSE(ledger.Close(theirs));
  EXPECT_FALSE(ledger.Holds(theirs, HandleLedger::Role::kNativeRead));
  EXPECT_TRUE(IsOpen(theirs));
  for (HANDLE value : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
    ledger.Record(value, HandleLedger::Role::kNativeRead);
    EXPECT_FALSE(ledger.Acquire(value));
    EXPECT_FALSE(ledger.Close(value));
  }
  CloseHandle(theirs);
}

// A second close of a handle still in use is refused like any unknown value, and the first
// close's deferred CloseHandle happens at the last release.
TEST(HandleLedgerTest, CloseOfAHandleInUseWaitsForItsLastUserAndIsRefusedTwice) {
  HandleLedger& ledger = TheHandleLedger();
  const HANDLE handle = NewEvent();
  ledger.Record(handle, HandleLedger::Role::kNativeRead);
  {
    LedgerUse use(handle);
    ASSERT_TRUE(use.ok());
    EXPECT_TRUE(ledger.Close(handle));
    EXPECT_FALSE(ledger.Close(handle));
    EXPECT_FALSE(LedgerUse(handle).ok());
    // Closed for Java already: no call may take it for a handle of its role any more.
    EXPECT_FALSE(ledger.Holds(handle, HandleLedger::Role::kNativeRead));
    EXPECT_TRUE(IsOpen(handle));
  }
  EXPECT_FALSE(IsOpen(handle));
  // A release without a use, of a value the ledger has forgotten, closes nothing twice.
  const HANDLE other = NewEvent();
  ledger.Release(handle);
  ledger.Release(other);
  EXPECT_TRUE(IsOpen(other));
  CloseHandle(other);
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
