// ReadSlot: the buffer, completion record and event of one overlapped read of the receive
// worker, on the heap so that they can outlive the worker.
//
// A driver owns a read's buffer and record from the issue until the read completes, and may
// write into them at any moment until then. A read that was cancelled and still does not
// complete (a driver that never completes a cancelled read) cannot be waited for without
// keeping a close waiting for good. The worker then abandons its slot: the slot is never
// freed, so the driver may still complete into it safely; it is counted and traced, and a
// close goes on. Abandoned slots stay listed here for the life of the process.
#ifndef VANTORY_COMM_ABANDONEDREADS_H
#define VANTORY_COMM_ABANDONEDREADS_H

#include <windows.h>

#include <cstdint>

// The most one read of the worker asks for.
constexpr DWORD kReadSlotSize = 64;

struct ReadSlot {
  BYTE buffer[kReadSlotSize];
  OVERLAPPED overlapped;  // its hEvent is `completion`
  HANDLE completion;      // manual reset, set by the read's completion
  ReadSlot* nextAbandoned;

  // A zeroed slot with its event; null when there is no memory or no event.
  static ReadSlot* Make();
  // Frees a slot on which no read is outstanding.
  static void Free(ReadSlot* slot);
};

// Keeps `slot`, whose read a driver still owns, for the rest of the process; the trace
// counts the reads abandoned so far.
void AbandonRead(ReadSlot* slot);

#endif  // VANTORY_COMM_ABANDONEDREADS_H
