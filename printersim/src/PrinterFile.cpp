#include "PrinterFile.h"

#include <atomic>
#include <utility>

namespace printersim {

namespace {
std::atomic<std::uint64_t> g_nextFileSerial{1};
}  // namespace

PrinterFile::PrinterFile(std::shared_ptr<Printer> printer, std::uint64_t attachment,
                         PipeEnd end, DWORD access)
    : printer_(std::move(printer)),
      attachment_(attachment),
      end_(end),
      access_(access),
      serial_(g_nextFileSerial.fetch_add(1, std::memory_order_relaxed)) {}

PrinterFile::~PrinterFile() {
  printer_->AbortReads(serial_);
  printer_->FileClosed();
}

hostwin::ReadStart PrinterFile::StartRead(void* buffer, DWORD size, hostwin::ReadDone done) {
  if (end_ == PipeEnd::kOutput) {
    done(0, ERROR_NOT_SUPPORTED);  // the bulk-out pipe carries nothing to the host
    return {};
  }
  if ((access_ & GENERIC_READ) == 0) {
    done(0, ERROR_ACCESS_DENIED);
    return {};
  }
  return printer_->StartRead(serial_, attachment_, buffer, size, std::move(done), WaitOf(size));
}

void PrinterFile::Cancel(std::uint64_t readId) { printer_->CancelRead(readId); }

DWORD PrinterFile::Write(const void* data, DWORD size, DWORD* written) {
  *written = 0;
  if (end_ == PipeEnd::kInput) return ERROR_NOT_SUPPORTED;  // the bulk-in pipe only reads
  if ((access_ & GENERIC_WRITE) == 0) return ERROR_ACCESS_DENIED;
  if (data == nullptr && size != 0) return ERROR_NOACCESS;
  return printer_->Write(attachment_, data, size, written, WriteTimeoutOf(size));
}

DWORD PrinterFile::Purge(DWORD flags) { return printer_->Purge(serial_, attachment_, flags); }

}  // namespace printersim
