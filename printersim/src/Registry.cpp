#include "Registry.h"

#include "DeviceThread.h"

#include <stdexcept>
#include <utility>

#include "MakerDriverFile.h"
#include "PrinterClassDriverFile.h"

namespace printersim {

Registry& Registry::Instance() {
  static Registry* const registry = [] {
    auto* created = new Registry;
    hostwin::SetDeviceProvider(created);
    return created;
  }();
  return *registry;
}

std::vector<std::shared_ptr<Printer>> Registry::Snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::shared_ptr<Printer>> printers;
  printers.reserve(printers_.size());
  for (const auto& entry : printers_) printers.push_back(entry.second);
  return printers;
}

DWORD Registry::Open(const std::string& path, DWORD access, DWORD /*share*/, DWORD /*flags*/,
                     std::shared_ptr<hostwin::DeviceFile>* file) {
  for (const std::shared_ptr<Printer>& printer : Snapshot()) {
    PipeEnd end = PipeEnd::kInterface;
    std::uint64_t attachment = 0;
    DWORD error = 0;
    if (!printer->TryOpen(path, &end, &attachment, &error)) continue;
    if (error != 0) return error;
    if (printer->DriverKind() == kPrinterClassDriver) {
      *file = std::make_shared<PrinterClassDriverFile>(printer, attachment, end, access);
    } else {
      *file = std::make_shared<MakerDriverFile>(printer, attachment, end, access);
    }
    return 0;
  }
  return ERROR_FILE_NOT_FOUND;
}

std::vector<hostwin::InterfaceSlot> Registry::Interfaces(const GUID& interfaceClass) {
  std::vector<hostwin::InterfaceSlot> slots;
  for (const std::shared_ptr<Printer>& printer : Snapshot()) {
    hostwin::InterfaceSlot slot;
    if (InterfaceClass(printer->DriverKind()) == interfaceClass && printer->PresentPath(&slot.path)) {
      slots.push_back(std::move(slot));
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  InsertEnumerationFaults(interfaceClass, &enumerationFaults_, &slots);
  return slots;
}

int Registry::Attach(const PrinterOptions& options) {
  if (options.driverKind != kMakerDriver && options.driverKind != kPrinterClassDriver) {
    throw std::invalid_argument("printersim: driver kind must be 0 or 1");
  }
  if (options.vendorId < 0 || options.vendorId > 0xFFFF || options.productId < 0 ||
      options.productId > 0xFFFF) {
    throw std::invalid_argument("printersim: vendor and product ID must be 0..0xFFFF");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  const int id = nextId_++;
  std::string serial = options.serial.empty() ? "SIM" + std::to_string(id) : options.serial;
  printers_.emplace(id, std::make_shared<Printer>(id, options.driverKind,
                                                  static_cast<std::uint16_t>(options.vendorId),
                                                  static_cast<std::uint16_t>(options.productId),
                                                  std::move(serial), options.idCase));
  return id;
}

std::shared_ptr<Printer> Registry::Find(int id) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = printers_.find(id);
  if (it == printers_.end()) {
    throw std::invalid_argument("printersim: no printer with id " + std::to_string(id));
  }
  return it->second;
}

void Registry::Reset() {
  std::map<int, std::shared_ptr<Printer>> removed;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    removed.swap(printers_);
    // Ids go on counting: an object of an earlier test that still holds an id must never
    // reach a printer of the next.
    enumerationFaults_.clear();
  }
  // Outside the lock: detaching runs read completions and wakes stalled writers.
  for (auto& entry : removed) entry.second->Detach(ERROR_ACCESS_DENIED);
  // Completions the removal queued have run before the next test's printers exist.
  DeviceThread::Drain();
}

void Registry::InjectEnumerationErrors(const GUID& interfaceClass, std::size_t position,
                                       DWORD error, int count, int enumerations) {
  if (count <= 0 || enumerations == 0) return;
  std::lock_guard<std::mutex> lock(mutex_);
  enumerationFaults_.push_back({interfaceClass, position, error, count,
                                enumerations < 0 ? kEveryEnumeration : enumerations});
}

void Registry::ClearEnumerationErrors() {
  std::lock_guard<std::mutex> lock(mutex_);
  enumerationFaults_.clear();
}

}  // namespace printersim
