#include "Faults.h"

#include <algorithm>
#include <iterator>

namespace printersim {

void InsertEnumerationFaults(const GUID& interfaceClass, std::vector<EnumerationFault>* faults,
                             std::vector<hostwin::InterfaceSlot>* slots) {
  std::vector<EnumerationFault*> mine;
  for (EnumerationFault& fault : *faults) {
    if (fault.interfaceClass == interfaceClass) mine.push_back(&fault);
  }
  // Stable, so that two faults at one position keep the order they were armed in.
  std::stable_sort(mine.begin(), mine.end(), [](const EnumerationFault* a, const EnumerationFault* b) {
    return a->position < b->position;
  });
  for (EnumerationFault* fault : mine) {
    const std::size_t at = std::min(fault->position, slots->size());
    hostwin::InterfaceSlot failing;
    failing.enumError = fault->error;
    slots->insert(slots->begin() + static_cast<std::ptrdiff_t>(at),
                  static_cast<std::size_t>(fault->count), failing);
    if (fault->enumerationsLeft > 0) --fault->enumerationsLeft;
  }
  faults->erase(std::remove_if(faults->begin(), faults->end(),
                               [](const EnumerationFault& f) { return f.enumerationsLeft == 0; }),
                faults->end());
}

}  // namespace printersim
