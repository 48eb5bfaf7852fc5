#include "comm/SharedHandle.h"

#include <mutex>

#include "comm/HandleLedger.h"

namespace {

void RecordOrClose(HANDLE handle) {
  TheHandleLedger().Adopt(handle, HandleLedger::Role::kPortMember);
}

}  // namespace

HANDLE SharedHandle::Get() const {
  std::lock_guard<SlimLock> guard(m_lock);
  return m_hCurrent;
}

// The use is counted under the slot's lock, so a Replace cannot close the value between
// reading it and counting it.
HANDLE SharedHandle::Acquire(bool* counted) {
  std::lock_guard<SlimLock> guard(m_lock);
  *counted = TheHandleLedger().Acquire(m_hCurrent);
  return m_hCurrent;
}

void SharedHandle::Replace(HANDLE handle) {
  RecordOrClose(handle);
  HANDLE previous = nullptr;
  {
    std::lock_guard<SlimLock> guard(m_lock);
    previous = m_hCurrent;
    m_hCurrent = handle;
  }
  if (previous != handle) TheHandleLedger().Close(previous);
}

bool SharedHandle::ReplaceIf(HANDLE expected, HANDLE handle) {
  RecordOrClose(handle);
  bool installed = false;
  {
    std::lock_guard<SlimLock> guard(m_lock);
    installed = m_hCurrent == expected;
    if (installed) m_hCurrent = handle;
  }
  // Whichever value is no longer wanted is closed: the one replaced, or the one that lost
  // the race to another replacement.
  if (expected != handle) TheHandleLedger().Close(installed ? expected : handle);
  return installed;
}

bool SharedHandle::Forget(HANDLE handle) {
  std::lock_guard<SlimLock> guard(m_lock);
  if (handle == nullptr || m_hCurrent != handle) return false;
  m_hCurrent = nullptr;
  return true;
}

SharedHandleUse::~SharedHandleUse() {
  if (m_bCounted) TheHandleLedger().Release(m_handle);
}
