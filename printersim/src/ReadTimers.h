// The simulated drivers' clock: completes reads whose timeouts have run out. One thread for
// the process looks after every printer that has had a timed read, and sleeps until the
// earliest deadline of their pending reads.
//
// Lock order: a printer may call Changed while it holds its own lock; the thread never holds
// its own lock while it asks a printer anything.
#ifndef PRINTERSIM_READTIMERS_H
#define PRINTERSIM_READTIMERS_H

#include <memory>

namespace printersim {

class Printer;

class ReadTimers {
 public:
  // Looks after `printer`'s timed reads from now on. Throws std::bad_alloc, with nothing
  // changed, when there is no memory to note it.
  static void Watch(const std::shared_ptr<Printer>& printer);
  // A deadline was set or moved: the thread looks at the printers again.
  static void Changed();
};

}  // namespace printersim

#endif  // PRINTERSIM_READTIMERS_H
