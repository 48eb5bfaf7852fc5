#include "comm/CCBuffer.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t kMinOrder = 6;
constexpr std::uint32_t kMaxOrder = 16;

}  // namespace

CCBuffer::CCBuffer(std::uint32_t order)
    : m_hMutex(nullptr), m_nCount(0), m_nMask(0), m_nWriteIndex(0), m_nReadIndex(0),
      m_pData(nullptr) {
  order = std::clamp(order, kMinOrder, kMaxOrder);
  const std::uint32_t capacity = 1u << order;
  m_nMask = capacity - 1;
  m_pData = static_cast<std::uint8_t*>(HeapAlloc(GetProcessHeap(), 0, capacity));
  if (m_pData == nullptr) throw kCCBufferNoStorage;
  m_hMutex = CreateMutexA(nullptr, FALSE, nullptr);
  if (m_hMutex == nullptr) {
    // The destructor does not run for a constructor that throws: give the storage back here.
    HeapFree(GetProcessHeap(), 0, m_pData);
    throw kCCBufferNoMutex;
  }
}

CCBuffer::~CCBuffer() {
  CloseHandle(m_hMutex);
  HeapFree(GetProcessHeap(), 0, m_pData);
}

bool CCBuffer::Lock() noexcept {
  const DWORD result = WaitForSingleObject(m_hMutex, INFINITE);
  return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
}

void CCBuffer::Unlock() noexcept { ReleaseMutex(m_hMutex); }

void CCBuffer::PutByte(std::uint8_t value) {
  const std::uint32_t count = m_nCount.load(std::memory_order_relaxed);
  if (count >= m_nMask + 1) throw kCCBufferFull;
  m_pData[m_nWriteIndex] = value;
  m_nWriteIndex = (m_nWriteIndex + 1) & m_nMask;
  m_nCount.store(count + 1, std::memory_order_release);
}

std::uint8_t CCBuffer::GetByte() {
  const std::uint32_t count = m_nCount.load(std::memory_order_relaxed);
  if (count == 0) throw kCCBufferEmpty;
  const std::uint8_t value = m_pData[m_nReadIndex];
  m_nReadIndex = (m_nReadIndex + 1) & m_nMask;
  m_nCount.store(count - 1, std::memory_order_release);
  return value;
}

// Each bulk copy is at most two spans: up to the end of the storage, then from its start.
std::uint32_t CCBuffer::Write(const void* source, std::uint32_t length) noexcept {
  if (!Lock()) return 0;
  const std::uint32_t count = m_nCount.load(std::memory_order_relaxed);
  const std::uint32_t n = std::min(Capacity() - count, length);
  const std::uint32_t first = std::min(n, Capacity() - m_nWriteIndex);
  const std::uint8_t* bytes = static_cast<const std::uint8_t*>(source);
  if (n != 0) {
    std::memcpy(m_pData + m_nWriteIndex, bytes, first);
    std::memcpy(m_pData, bytes + first, n - first);
  }
  m_nWriteIndex = (m_nWriteIndex + n) & m_nMask;
  m_nCount.store(count + n, std::memory_order_release);
  Unlock();
  return n;
}

std::uint32_t CCBuffer::Extract(void* destination, std::uint32_t length) noexcept {
  const std::uint32_t count = m_nCount.load(std::memory_order_relaxed);
  const std::uint32_t n = std::min(count, length);
  const std::uint32_t first = std::min(n, Capacity() - m_nReadIndex);
  std::uint8_t* bytes = static_cast<std::uint8_t*>(destination);
  if (n != 0) {
    std::memcpy(bytes, m_pData + m_nReadIndex, first);
    std::memcpy(bytes + first, m_pData, n - first);
  }
  m_nReadIndex = (m_nReadIndex + n) & m_nMask;
  m_nCount.store(count - n, std::memory_order_release);
  return n;
}

std::uint32_t CCBuffer::Read(void* destination, std::uint32_t length, std::uint32_t* count) noexcept {
  if (!Lock()) return 0;
  std::uint32_t result = 0;
  if (m_nCount.load(std::memory_order_relaxed) > 0) {
    result = Extract(destination, length);
    *count = result;
  }
  Unlock();
  return result;
}
