// The simulated drivers' own thread. A driver that queues its reads, as a real one queues
// every read to the device, completes them here, in the order they were queued and only
// after the call that queued them has returned, the way a real driver completes a request
// from its own context and never from inside the caller's ReadFile.
#ifndef PRINTERSIM_DEVICETHREAD_H
#define PRINTERSIM_DEVICETHREAD_H

#include <functional>

namespace printersim {

class DeviceThread {
 public:
  // Runs `task` on the device thread, after every task posted before it. Safe from any
  // thread, the device thread included.
  static void Post(std::function<void()> task);
  // Waits until every task posted before the call has run. Never called on the device
  // thread itself.
  static void Drain();
};

}  // namespace printersim

#endif  // PRINTERSIM_DEVICETHREAD_H
