// The simulated printers that are plugged in, in attach order, and the enumeration faults
// armed on their interface classes: the device provider that hostwin's CreateFileA and
// SetupAPI calls consult.
//
// Locking contract: mutex_ guards printers_, nextId_ and enumerationFaults_, and is held
// only for those: it is released before any printer is asked anything, so that it is never
// held while a printer waits (a stalled write) or runs read completions, and never taken
// while a printer's lock is held (the registry lock comes first, when both are taken).
#ifndef PRINTERSIM_REGISTRY_H
#define PRINTERSIM_REGISTRY_H

#include <hostwin/device_provider.h>
#include <printersim/printersim.h>
#include <windows.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Faults.h"
#include "Printer.h"

namespace printersim {

class Registry final : public hostwin::DeviceProvider {
 public:
  // The one registry of the process, installed as hostwin's provider when first used. It
  // is never destroyed, so that it outlives every handle opened through it.
  static Registry& Instance();

  DWORD Open(const std::string& path, DWORD access, DWORD share, DWORD flags,
             std::shared_ptr<hostwin::DeviceFile>* file) override;
  std::vector<hostwin::InterfaceSlot> Interfaces(const GUID& interfaceClass) override;

  int Attach(const PrinterOptions& options);
  std::shared_ptr<Printer> Find(int id) const;  // throws std::invalid_argument
  void Reset();
  void InjectEnumerationErrors(const GUID& interfaceClass, std::size_t position, DWORD error,
                               int count, int enumerations);
  void ClearEnumerationErrors();

 private:
  Registry() = default;
  std::vector<std::shared_ptr<Printer>> Snapshot() const;

  mutable std::mutex mutex_;
  std::map<int, std::shared_ptr<Printer>> printers_;  // by id, which is attach order
  int nextId_ = 1;
  std::vector<EnumerationFault> enumerationFaults_;
};

}  // namespace printersim

#endif  // PRINTERSIM_REGISTRY_H
