// The simulated drivers' own thread. A driver that queues its reads, as a real one queues
// every read to the device, completes them here, in the order they were queued and only
// after the call that queued them has returned, the way a real driver completes a request
// from its own context and never from inside the caller's ReadFile.
#ifndef PRINTERSIM_DEVICETHREAD_H
#define PRINTERSIM_DEVICETHREAD_H

#include <windows.h>

#include <hostwin/device_provider.h>

namespace printersim {

// A read's outcome, on its way to the read's ReadDone.
struct Completion {
  hostwin::ReadDone done;
  DWORD bytes;
  DWORD error;
};

class DeviceThread {
 public:
  // Runs the completion on the device thread, after every one posted before it. Safe from
  // any thread, the device thread included. When the queue has no room (no memory) it
  // throws and leaves the completion as it was, so that the caller can still run it.
  static void Post(Completion& completion);
  // Waits until every completion posted before the call has run. Never called on the
  // device thread itself.
  static void Drain();
};

}  // namespace printersim

#endif  // PRINTERSIM_DEVICETHREAD_H
