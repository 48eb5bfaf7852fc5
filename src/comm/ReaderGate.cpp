#include "comm/ReaderGate.h"

bool ReaderGate::Enter() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (m_bClosed) return false;
  ++m_nInside;
  return true;
}

void ReaderGate::Leave() {
  std::lock_guard<std::mutex> guard(m_lock);
  if (--m_nInside == 0) m_left.notify_all();
}

void ReaderGate::CloseAndDrain() {
  std::unique_lock<std::mutex> guard(m_lock);
  m_bClosed = true;
  m_left.wait(guard, [this] { return m_nInside == 0; });
}

void ReaderGate::Open() {
  std::lock_guard<std::mutex> guard(m_lock);
  m_bClosed = false;
}
