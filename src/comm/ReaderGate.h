// ReaderGate: lets teardown wait until no reader is inside the receive buffer or its events.
//
// Readers (the waiting read, the bytes-available query) pass the gate for the length of
// their call. Teardown closes the gate, waits until the readers inside have left (each
// leaves within one bounded wait, since the stop request is signalled first), releases the
// buffer and events, and opens the gate again. A reader refused at a closed gate takes
// nothing.
#ifndef VANTORY_COMM_READERGATE_H
#define VANTORY_COMM_READERGATE_H

#include "comm/SlimLock.h"

class ReaderGate {
 public:
  bool Enter();
  void Leave();

  void CloseAndDrain();
  void Open();

 private:
  SlimLock m_lock;
  SlimCondition m_left;
  int m_nInside = 0;     // guarded by m_lock
  bool m_bClosed = false;  // guarded by m_lock
};

// One reader's passage through the gate.
class ReaderPass {
 public:
  explicit ReaderPass(ReaderGate& gate) : m_gate(gate), m_bAdmitted(gate.Enter()) {}
  ~ReaderPass() {
    if (m_bAdmitted) m_gate.Leave();
  }
  ReaderPass(const ReaderPass&) = delete;
  ReaderPass& operator=(const ReaderPass&) = delete;

  bool admitted() const { return m_bAdmitted; }

 private:
  ReaderGate& m_gate;
  bool m_bAdmitted;
};

#endif  // VANTORY_COMM_READERGATE_H
