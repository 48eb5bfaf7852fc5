#include "comm/HandleLedger.h"

#include <mutex>
#include <new>

namespace {

bool IsRecordable(HANDLE handle) {
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

}  // namespace

HandleLedger& TheHandleLedger() {
  // Made in static storage, so its first use allocates nothing and cannot fail.
  alignas(HandleLedger) static unsigned char storage[sizeof(HandleLedger)];
  static HandleLedger* const ledger = new (storage) HandleLedger();
  return *ledger;
}

namespace {
// Made while the library loads, on the thread that loads it, so that threads calling in
// later never race to make it: every thread that waits on such a construction costs a
// thread record of the C++ runtime's thread library (a handle and an event) for the rest of
// the process.
[[maybe_unused]] const HandleLedger& g_ledgerMadeAtLoad = TheHandleLedger();
}  // namespace

const HandleLedger::Entry* HandleLedger::FindLocked(HANDLE handle) const {
  for (const Entry& entry : m_entries) {
    if (entry.handle == handle) return &entry;
  }
  return nullptr;
}

HandleLedger::Entry* HandleLedger::FindLocked(HANDLE handle) {
  return const_cast<Entry*>(static_cast<const HandleLedger*>(this)->FindLocked(handle));
}

void HandleLedger::EraseLocked(Entry* entry) {
  *entry = m_entries.back();
  m_entries.pop_back();
}

void HandleLedger::Record(HANDLE handle, Role role) {
  if (!IsRecordable(handle)) return;
  std::lock_guard<SlimLock> guard(m_lock);
  // A value still waiting for its last user to close it cannot have been handed out again
  // by the system, so a recorded value is never recorded twice.
  if (Entry* entry = FindLocked(handle)) {
    entry->role = role;
    return;
  }
  m_entries.push_back(Entry{handle, role, 0, false, false});
}

void HandleLedger::Adopt(HANDLE handle, Role role) {
  try {
    Record(handle, role);
  } catch (...) {
    if (IsRecordable(handle)) CloseHandle(handle);
    throw;
  }
}

bool HandleLedger::Acquire(HANDLE handle) {
  if (!IsRecordable(handle)) return false;
  std::lock_guard<SlimLock> guard(m_lock);
  Entry* entry = FindLocked(handle);
  if (entry == nullptr || entry->closing) return false;
  ++entry->users;
  return true;
}

void HandleLedger::Release(HANDLE handle) {
  {
    std::lock_guard<SlimLock> guard(m_lock);
    Entry* entry = FindLocked(handle);
    if (entry == nullptr || entry->users == 0) return;
    if (--entry->users > 0 || !entry->closing) return;
    EraseLocked(entry);
  }
  // The last user of a handle closed meanwhile closes it.
  CloseHandle(handle);
}

bool HandleLedger::Close(HANDLE handle) {
  {
    std::lock_guard<SlimLock> guard(m_lock);
    Entry* entry = FindLocked(handle);
    if (entry == nullptr || entry->closing) return false;
    if (entry->users > 0) {
      entry->closing = true;
      return true;
    }
    EraseLocked(entry);
  }
  CloseHandle(handle);
  return true;
}

bool HandleLedger::Holds(HANDLE handle, Role role) const {
  std::lock_guard<SlimLock> guard(m_lock);
  const Entry* entry = FindLocked(handle);
  return entry != nullptr && !entry->closing && entry->role == role;
}

void HandleLedger::MarkGone(HANDLE handle) {
  std::lock_guard<SlimLock> guard(m_lock);
  if (Entry* entry = FindLocked(handle)) entry->gone = true;
}

bool HandleLedger::IsGone(HANDLE handle) const {
  std::lock_guard<SlimLock> guard(m_lock);
  const Entry* entry = FindLocked(handle);
  return entry != nullptr && entry->gone;
}

int HandleLedger::UsersOf(HANDLE handle) const {
  std::lock_guard<SlimLock> guard(m_lock);
  const Entry* entry = FindLocked(handle);
  return entry == nullptr ? 0 : entry->users;
}
