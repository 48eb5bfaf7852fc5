// CCBuffer: the byte queue between the receive worker, which appends each chunk that a
// device read delivers, and the reader that takes bytes out. A ring of 2^order bytes
// (order 6 to 16) guarded by one Win32 mutex.
//
// Locking contract: Write and Read take m_hMutex for their whole transfer. PutByte,
// GetByte and Extract take no lock; they are for a caller that holds it (Extract is called
// only by Read). BytesAvailable reads the count without the lock: the answer is a value the
// count held at some moment, a hint that may be stale by the time the caller acts on it.
// The buffer must not be deleted while another thread is inside one of its operations.
#ifndef VANTORY_COMM_CCBUFFER_H
#define VANTORY_COMM_CCBUFFER_H

#include <windows.h>

#include <atomic>
#include <cstdint>

// Failures are raised as exceptions carrying one of these signed 32-bit codes.
using CCBufferError = std::int32_t;
constexpr CCBufferError kCCBufferFull = 1;         // PutByte on a full buffer
constexpr CCBufferError kCCBufferEmpty = 2;        // GetByte on an empty buffer
constexpr CCBufferError kCCBufferNoStorage = 3;    // constructor: heap allocation failed
constexpr CCBufferError kCCBufferNoMutex = 4;      // constructor: mutex creation failed

class CCBuffer {
 public:
  explicit CCBuffer(std::uint32_t order);
  virtual ~CCBuffer();
  CCBuffer(const CCBuffer&) = delete;
  CCBuffer& operator=(const CCBuffer&) = delete;

  // Waits for the mutex without a time limit. False when the wait fails (the mutex handle
  // is no longer valid); the caller then must not touch the storage. An abandoned mutex is
  // owned all the same, and the ring's indices are consistent at every release point, so
  // it counts as taken.
  bool Lock() noexcept;
  void Unlock() noexcept;

  void PutByte(std::uint8_t value);
  std::uint8_t GetByte();

  // Locked bulk append of at most the free space; returns the number of bytes stored.
  std::uint32_t Write(const void* source, std::uint32_t length) noexcept;
  // Bulk removal without the lock; returns the number of bytes removed.
  std::uint32_t Extract(void* destination, std::uint32_t length) noexcept;
  // Locked bulk removal; stores the number removed in `count` only when the buffer held
  // bytes, and returns it.
  std::uint32_t Read(void* destination, std::uint32_t length, std::uint32_t* count) noexcept;

  std::uint32_t BytesAvailable() const { return m_nCount.load(std::memory_order_acquire); }
  std::uint32_t Capacity() const { return m_nMask + 1; }

 private:
  HANDLE m_hMutex;
  std::atomic<std::uint32_t> m_nCount;
  std::uint32_t m_nMask;
  std::uint32_t m_nWriteIndex;
  std::uint32_t m_nReadIndex;
  std::uint8_t* m_pData;
};

#endif  // VANTORY_COMM_CCBUFFER_H
