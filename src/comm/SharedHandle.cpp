#include "comm/SharedHandle.h"

HANDLE SharedHandle::Get() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return m_hCurrent;
}

SharedHandle::InUse* SharedHandle::FindLocked(HANDLE handle) {
  for (InUse& entry : m_inUse) {
    if (entry.handle == handle) return &entry;
  }
  return nullptr;
}

HANDLE SharedHandle::Acquire() {
  std::lock_guard<std::mutex> guard(m_lock);
  const HANDLE handle = m_hCurrent;
  if (handle == nullptr) return nullptr;
  if (InUse* entry = FindLocked(handle)) {
    ++entry->users;
  } else {
    m_inUse.push_back(InUse{handle, 1, false});
  }
  return handle;
}

void SharedHandle::Release(HANDLE handle) {
  if (handle == nullptr) return;
  bool closeNow = false;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    InUse* entry = FindLocked(handle);
    if (entry == nullptr || --entry->users > 0) return;
    closeNow = entry->retired;
    *entry = m_inUse.back();
    m_inUse.pop_back();
  }
  if (closeNow) CloseHandle(handle);
}

void SharedHandle::Replace(HANDLE handle) {
  HANDLE previous = nullptr;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    previous = m_hCurrent;
    m_hCurrent = handle;
    if (previous == nullptr || previous == handle) return;
    if (InUse* entry = FindLocked(previous)) {
      entry->retired = true;
      return;
    }
  }
  CloseHandle(previous);
}

bool SharedHandle::InstallIfEmpty(HANDLE handle) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_hCurrent != nullptr) return false;
  m_hCurrent = handle;
  return true;
}

SharedHandle::Detached SharedHandle::Detach(HANDLE handle) {
  std::lock_guard<std::mutex> guard(m_lock);
  if (handle == nullptr || m_hCurrent != handle) return Detached::kNotHeld;
  m_hCurrent = nullptr;
  if (InUse* entry = FindLocked(handle)) {
    entry->retired = true;
    return Detached::kLastUserCloses;
  }
  return Detached::kCallerCloses;
}
