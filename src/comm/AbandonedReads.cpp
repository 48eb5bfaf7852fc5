#include "comm/AbandonedReads.h"

#include <atomic>

#include "trace/DebugTrace.h"

namespace {

// A list that only grows, pushed without a lock and never freed.
std::atomic<ReadSlot*> g_abandoned{nullptr};
std::atomic<std::uint32_t> g_abandonedCount{0};

}  // namespace

ReadSlot* ReadSlot::Make() {
  auto* slot = static_cast<ReadSlot*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(ReadSlot)));
  if (slot == nullptr) return nullptr;
  slot->completion = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (slot->completion == nullptr) {
    HeapFree(GetProcessHeap(), 0, slot);
    return nullptr;
  }
  slot->overlapped.hEvent = slot->completion;
  return slot;
}

void ReadSlot::Free(ReadSlot* slot) {
  if (slot == nullptr) return;
  CloseHandle(slot->completion);
  HeapFree(GetProcessHeap(), 0, slot);
}

void AbandonRead(ReadSlot* slot) {
  slot->nextAbandoned = g_abandoned.load();
  while (!g_abandoned.compare_exchange_weak(slot->nextAbandoned, slot)) {
  }
  const std::uint32_t count = g_abandonedCount.fetch_add(1) + 1;
  DebugTraceFormat("ReceiveData",
                   "Read abandoned: its buffer, record and event stay allocated (%u so far)",
                   static_cast<unsigned>(count));
}
