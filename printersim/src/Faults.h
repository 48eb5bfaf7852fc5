// Faults that tests arm: operations that fail a chosen number of times, and failing slots
// in an interface enumeration. None of these types locks; each is guarded by the lock of
// the object that holds it (the printer's for the counted faults, the registry's for the
// enumeration faults).
#ifndef PRINTERSIM_FAULTS_H
#define PRINTERSIM_FAULTS_H

#include <hostwin/counted_fault.h>
#include <hostwin/device_provider.h>
#include <windows.h>

#include <cstddef>
#include <vector>

namespace printersim {

// An operation that fails with one error code the next `count` times, then works again.
using hostwin::CountedFault;

// `count` failing slots at `position` of one interface class's enumeration, for
// `enumerationsLeft` more enumerations (negative: every one).
struct EnumerationFault {
  GUID interfaceClass;
  std::size_t position;
  DWORD error;
  int count;
  int enumerationsLeft;
};

// Places the faults armed for `interfaceClass` into the list of present interfaces, lowest
// position first, and uses up one enumeration of each; faults that have none left are
// removed from `faults`.
void InsertEnumerationFaults(const GUID& interfaceClass, std::vector<EnumerationFault>* faults,
                             std::vector<hostwin::InterfaceSlot>* slots);

}  // namespace printersim

#endif  // PRINTERSIM_FAULTS_H
