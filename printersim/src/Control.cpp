// The control API of printersim.h: argument checks, then the registry or the printer.
#include <printersim/printersim.h>

#include <stdexcept>

#include "Registry.h"
#include "comm/SupportedPrinters.h"

namespace printersim {

namespace {

std::shared_ptr<Printer> Find(int id) { return Registry::Instance().Find(id); }

void CheckDriverKind(int driverKind) {
  if (driverKind != kMakerDriver && driverKind != kPrinterClassDriver) {
    throw std::invalid_argument("printersim: driver kind must be 0 or 1");
  }
}

}  // namespace

int Attach(const PrinterOptions& options) { return Registry::Instance().Attach(options); }

int Attach(int driverKind, int vendorId, int productId, const std::string& serial) {
  PrinterOptions options;
  options.driverKind = driverKind;
  options.vendorId = vendorId;
  options.productId = productId;
  options.serial = serial;
  return Attach(options);
}

void Detach(int id, DWORD error) { Find(id)->Detach(error); }
void Reattach(int id) { Find(id)->Reattach(nullptr); }
void Reattach(int id, const std::string& newSerial) { Find(id)->Reattach(&newSerial); }
void Reset() { Registry::Instance().Reset(); }

void Send(int id, const std::vector<std::uint8_t>& bytes) {
  Find(id)->Send(bytes.data(), bytes.size());
}

void Send(int id, const void* data, std::size_t size) {
  if (data == nullptr && size != 0) throw std::invalid_argument("printersim: no data to send");
  Find(id)->Send(static_cast<const std::uint8_t*>(data), size);
}

std::vector<std::uint8_t> Received(int id, std::uint64_t from, std::uint64_t* start) {
  return Find(id)->Received(from, start);
}
void KeepRecent(int id, std::uint64_t bytes) { Find(id)->KeepRecent(bytes); }

void SetStatusByte(int id, int n, int value) {
  auto printer = Find(id);
  if (n < 1 || n > 4) throw std::invalid_argument("printersim: DLE EOT n must be 1..4");
  if (value < -1 || value > 0xFF) {
    throw std::invalid_argument("printersim: status is one byte, or -1 for the state's");
  }
  printer->SetStatusByte(n, value);
}

PrinterState State(int id) { return Find(id)->State(); }
void SetState(int id, const PrinterState& state) {
  Find(id)->ChangeState([&state](PrinterState* now) { *now = state; });
}
void ChangeState(int id, const std::function<void(PrinterState*)>& change) { Find(id)->ChangeState(change); }
bool IsPresent(int id) { return Find(id)->IsPresent(); }
std::vector<std::uint8_t> Printed(int id, std::uint64_t from, std::uint64_t* start) {
  return Find(id)->Printed(from, start);
}
std::uint64_t DrawerPulses(int id) { return Find(id)->DrawerPulses(); }
std::uint64_t Cuts(int id, std::vector<std::uint64_t>* newestEnds, std::size_t most) {
  return Find(id)->Cuts(newestEnds, most);
}

void FailNextReads(int id, DWORD error, int count) { Find(id)->FailNextReads(error, count); }
void FailNextDataReads(int id, DWORD error, int count) { Find(id)->FailNextDataReads(error, count); }
void FailNextOpens(int id, DWORD error, int count, int skip) {
  Find(id)->FailNextOpens(error, count, skip);
}

void SetReadMode(int id, int mode) {
  auto printer = Find(id);
  if (mode < kReadsPendUntilData || mode > kReadsQueuedZeroLength) {
    throw std::invalid_argument("printersim: read mode must be 0, 1, 2 or 3");
  }
  printer->SetReadMode(mode);
}

void StallWrites(int id) { Find(id)->StallWrites(); }
void ReleaseWrites(int id) { Find(id)->ReleaseWrites(); }
void LimitWrites(int id, DWORD maxBytes) { Find(id)->LimitWrites(maxBytes); }
void UnplugAfterBytes(int id, std::uint64_t count, DWORD error) {
  Find(id)->UnplugAfterBytes(count, error);
}
void IgnoreCancels(int id, bool ignore) { Find(id)->IgnoreCancels(ignore); }

void SetFixedTimeoutFields(int id, unsigned fieldMask) {
  auto printer = Find(id);
  if (fieldMask > 0x1Fu) throw std::invalid_argument("printersim: SERIAL_TIMEOUTS has 5 fields");
  printer->SetFixedTimeoutFields(fieldMask);
}

void InjectEnumerationErrors(int driverKind, std::size_t position, DWORD error, int count,
                             int enumerations) {
  CheckDriverKind(driverKind);
  Registry::Instance().InjectEnumerationErrors(InterfaceClass(driverKind), position, error,
                                               count, enumerations);
}

void ClearEnumerationErrors() { Registry::Instance().ClearEnumerationErrors(); }

std::string InterfacePath(int id) { return Find(id)->Path(); }

const GUID& InterfaceClass(int driverKind) {
  CheckDriverKind(driverKind);
  return driverKind == kPrinterClassDriver ? kUsbPrintInterfaceGuid : kMakerDriverInterfaceGuid;
}

std::vector<std::uint32_t> SupportedIds() {
  std::vector<std::uint32_t> ids;
  for (const SupportedPrinter& printer : kSupportedPrinters) {
    ids.push_back(static_cast<std::uint32_t>(printer.vendorId) << 16 | printer.productId);
  }
  return ids;
}

int PendingReads(int id) { return Find(id)->PendingReads(); }
std::uint64_t ReadsIssued(int id) { return Find(id)->ReadsIssued(); }
std::uint64_t BytesDelivered(int id) { return Find(id)->DeliveredCount(); }
std::vector<std::uint8_t> Delivered(int id, std::uint64_t from, std::uint64_t* start) {
  return Find(id)->Delivered(from, start);
}
std::uint64_t BytesLostWithTheDevice(int id) { return Find(id)->LostWithTheDevice(); }
std::uint64_t BytesPurged(int id) { return Find(id)->Purged(); }
int StalledWrites(int id) { return Find(id)->StalledWrites(); }
int OpenFiles(int id) { return Find(id)->OpenFiles(); }
std::vector<DWORD> Purges(int id) { return Find(id)->Purges(); }
std::vector<DWORD> IoControls(int id) { return Find(id)->IoControls(); }

bool WaitForPendingRead(int id, std::chrono::milliseconds timeout) {
  return Find(id)->WaitForPendingRead(timeout);
}

bool WaitForReadsIssued(int id, std::uint64_t count, std::chrono::milliseconds timeout) {
  return Find(id)->WaitForReadsIssued(count, timeout);
}

bool WaitForStalledWrite(int id, std::chrono::milliseconds timeout) {
  return Find(id)->WaitForStalledWrite(timeout);
}

bool WaitForReceived(int id, std::size_t count, std::chrono::milliseconds timeout) {
  return Find(id)->WaitForReceived(count, timeout);
}

hostwin::DeviceProvider& Provider() { return Registry::Instance(); }

void Install() { hostwin::SetDeviceProvider(&Registry::Instance()); }

}  // namespace printersim
