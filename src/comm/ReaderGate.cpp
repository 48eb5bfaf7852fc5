#include "comm/ReaderGate.h"

#include <mutex>

bool ReaderGate::Enter() {
  std::lock_guard<SlimLock> guard(m_lock);
  if (m_bClosed) return false;
  ++m_nInside;
  return true;
}

void ReaderGate::Leave() {
  std::lock_guard<SlimLock> guard(m_lock);
  if (--m_nInside == 0) m_left.NotifyAll();
}

void ReaderGate::CloseAndDrain() {
  std::lock_guard<SlimLock> guard(m_lock);
  m_bClosed = true;
  m_left.Wait(m_lock, [this] { return m_nInside == 0; });
}

void ReaderGate::Open() {
  std::lock_guard<SlimLock> guard(m_lock);
  m_bClosed = false;
}
