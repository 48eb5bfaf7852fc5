#include "Printer.h"

#include "DeviceThread.h"
#include "PrinterState.h"
#include "ReadTimers.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <utility>

namespace printersim {

namespace {
// Read ids are unique across all printers, so that a cancel never reaches another read.
std::atomic<std::uint64_t> g_nextReadId{1};
constexpr DWORD kKnownPurgeFlags = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;

// The newest entries of an observation log: a printer that runs for days keeps its last
// few thousand purges and control codes, not all of them.
constexpr std::size_t kObservationsKept = 4096;
void KeepNewest(std::vector<DWORD>* log) {
  if (log->size() >= 2 * kObservationsKept) {
    log->erase(log->begin(), log->end() - static_cast<std::ptrdiff_t>(kObservationsKept));
  }
}

// Grows a vector's capacity so that `extra` more elements go in without allocating.
template <typename T>
void ReserveFor(std::vector<T>* items, std::size_t extra) {
  const std::size_t needed = items->size() + extra;
  if (needed > items->capacity()) items->reserve(std::max(needed, 2 * items->capacity()));
}
}  // namespace

Printer::Printer(int id, int driverKind, std::uint16_t vendorId, std::uint16_t productId,
                 std::string serial, IdCase idCase)
    : id_(id),
      driverKind_(driverKind),
      vendorId_(vendorId),
      productId_(productId),
      idCase_(idCase),
      serial_(std::move(serial)),
      path_(FormatInterfacePath(InterfaceClass(driverKind), vendorId, productId, serial_, idCase)) {}

// --- Presence ---------------------------------------------------------------------------

void Printer::DetachLocked(DWORD error, Completions* completions) {
  if (!present_) return;
  ReserveFor(completions, pending_.size());  // what the printer held is dropped, not delivered
  present_ = false;
  removalError_ = error;
  // What the printer had sent but the host had not read is lost with the device.
  lostWithTheDevice_ += toHost_.size();
  toHost_.clear();
  // What waits in its buffer to print stays: the printer has its own power, and prints it
  // once it can, cable or not.
  realTime_.Restart();
  for (PendingRead& read : pending_) {
    completions->push_back({std::move(read.done), read.filled, error});
  }
  pending_.clear();
  unplugArmed_ = false;
  changed_.notify_all();
}

void Printer::Detach(DWORD error) {
  Completions completions;
  bool queued = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queued = CompletesOnDeviceThreadLocked();
    DetachLocked(error, &completions);
  }
  Run(&completions, queued);
}

void Printer::Reattach(const std::string* newSerial) {
  Completions completions;
  bool queued = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queued = CompletesOnDeviceThreadLocked();
    std::string serial = newSerial != nullptr ? *newSerial : serial_;
    std::string path = newSerial != nullptr ? FormatInterfacePath(InterfaceClass(driverKind_),
                                                                  vendorId_, productId_,
                                                                  serial, idCase_)
                                            : path_;
    DetachLocked(ERROR_ACCESS_DENIED, &completions);
    serial_ = std::move(serial);
    path_ = std::move(path);
    present_ = true;
    ++attachment_;
    changed_.notify_all();
  }
  Run(&completions, queued);
}

std::string Printer::Path() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return path_;
}

bool Printer::PresentPath(std::string* path) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!present_) return false;
  *path = path_;
  return true;
}

// --- Data -------------------------------------------------------------------------------

void Printer::MakeRoomLocked(Completions* completions, std::size_t incoming) {
  ReserveFor(completions, pending_.size());
  delivered_.Reserve(toHost_.size() + incoming);
}

DWORD Printer::TakeLocked(std::uint8_t* buffer, DWORD size) {
  const std::size_t count = std::min<std::size_t>(size, toHost_.size());
  std::copy(toHost_.begin(), toHost_.begin() + static_cast<std::ptrdiff_t>(count), buffer);
  delivered_.Append(toHost_.begin(), toHost_.begin() + static_cast<std::ptrdiff_t>(count));
  toHost_.erase(toHost_.begin(), toHost_.begin() + static_cast<std::ptrdiff_t>(count));
  return static_cast<DWORD>(count);
}

bool Printer::IsFilled(const PendingRead& read) {
  switch (read.until) {
    case ReadWait::Until::kNothing: return true;
    case ReadWait::Until::kAnyByte: return read.filled > 0;
    case ReadWait::Until::kFull: return read.filled == read.size;
  }
  return true;
}

// A read that waits for a full buffer keeps what comes and waits on, its interval timeout
// starting again with every byte; the timer thread is told of the new deadline.
void Printer::DeliverLocked(Completions* completions) {
  while (!toHost_.empty() && !pending_.empty()) {
    PendingRead& read = pending_.front();
    read.filled += TakeLocked(read.buffer + read.filled, read.size - read.filled);
    if (!IsFilled(read)) {
      if (read.interval.count() > 0) {
        read.intervalDeadline = std::chrono::steady_clock::now() + read.interval;
        ReadTimers::Changed();
      }
      break;
    }
    DWORD error = 0;
    dataReadFault_.Fire(&error);
    completions->push_back({std::move(read.done), read.filled, error});
    pending_.pop_front();
  }
}

// Completions run on the calling thread, after the printer's lock is released; a printer
// whose driver queues its reads hands them to the device thread instead, unless the device
// thread's queue has no room: a completion is never dropped.
void Printer::Run(Completions* completions, bool queued) {
  for (Completion& completion : *completions) {
    if (queued) {
      try {
        DeviceThread::Post(completion);
        continue;
      } catch (const std::exception&) {
      }
    }
    completion.done(completion.bytes, completion.error);
  }
  completions->clear();
}

void Printer::Send(const std::uint8_t* data, std::size_t size) {
  Completions completions;
  bool queued = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queued = CompletesOnDeviceThreadLocked();
    if (!present_) {  // nothing travels from a printer that is not on the bus
      lostWithTheDevice_ += size;
      return;
    }
    MakeRoomLocked(&completions, size);
    toHost_.insert(toHost_.end(), data, data + size);
    if (size == 0 && !pending_.empty()) {
      // A zero-length packet: it ends the oldest pending read with nothing in it.
      completions.push_back({std::move(pending_.front().done), 0, 0});
      pending_.pop_front();
    }
    DeliverLocked(&completions);
    changed_.notify_all();
  }
  Run(&completions, queued);
}

std::vector<std::uint8_t> Printer::Received(std::uint64_t from, std::uint64_t* start) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_.From(from, start);
}

void Printer::KeepRecent(std::uint64_t bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  received_.KeepRecent(bytes);
  printed_.KeepRecent(bytes);
  delivered_.KeepRecent(bytes);
}

void Printer::SetStatusByte(int n, int value) {
  std::lock_guard<std::mutex> lock(mutex_);
  statusOverride_[n - 1] = value;
}

PrinterState Printer::State() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

void Printer::ChangeState(const std::function<void(PrinterState*)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  PrinterState next = state_;
  change(&next);
  const int drawerPulses = next.Prints() ? PrintHeldLocked() : 0;
  state_ = next;
  PulseDrawerLocked(drawerPulses);
  changed_.notify_all();
}

bool Printer::IsPresent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return present_;
}

std::vector<std::uint8_t> Printer::Printed(std::uint64_t from, std::uint64_t* start) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return printed_.From(from, start);
}

std::uint64_t Printer::DrawerPulses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return drawerPulses_;
}

std::uint64_t Printer::Cuts(std::vector<std::uint64_t>* newestEnds, std::size_t most) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (newestEnds != nullptr) *newestEnds = cuts_.NewestEnds(most);
  return cuts_.Count();
}

// --- Faults and behaviour ---------------------------------------------------------------

void Printer::FailNextReads(DWORD error, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  readFault_.Arm(error, count);
}

void Printer::FailNextDataReads(DWORD error, int count) {
  std::lock_guard<std::mutex> lock(mutex_);
  dataReadFault_.Arm(error, count);
}

void Printer::FailNextOpens(DWORD error, int count, int skip) {
  std::lock_guard<std::mutex> lock(mutex_);
  openFault_.Arm(error, count, skip);
}

void Printer::SetReadMode(int mode) {
  std::lock_guard<std::mutex> lock(mutex_);
  readMode_ = mode;
}

void Printer::StallWrites() {
  std::lock_guard<std::mutex> lock(mutex_);
  stalled_ = true;
}

void Printer::LimitWrites(DWORD maxBytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  writeLimit_ = maxBytes;
}

void Printer::UnplugAfterBytes(std::uint64_t count, DWORD error) {
  std::lock_guard<std::mutex> lock(mutex_);
  unplugArmed_ = present_;
  unplugAfter_ = count;
  unplugError_ = error;
}

void Printer::IgnoreCancels(bool ignore) {
  std::lock_guard<std::mutex> lock(mutex_);
  ignoreCancels_ = ignore;
}

void Printer::ReleaseWrites() {
  std::lock_guard<std::mutex> lock(mutex_);
  stalled_ = false;
  changed_.notify_all();
}

void Printer::SetFixedTimeoutFields(unsigned mask) {
  std::lock_guard<std::mutex> lock(mutex_);
  fixedTimeoutFields_ = mask;
}

unsigned Printer::FixedTimeoutFields() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return fixedTimeoutFields_;
}

// --- Observation ------------------------------------------------------------------------

int Printer::PendingReads() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int>(pending_.size());
}

std::vector<std::uint8_t> Printer::Delivered(std::uint64_t from, std::uint64_t* start) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delivered_.From(from, start);
}

std::uint64_t Printer::DeliveredCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return delivered_.Total();
}

std::uint64_t Printer::Purged() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return purged_;
}

std::uint64_t Printer::LostWithTheDevice() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lostWithTheDevice_;
}

std::uint64_t Printer::ReadsIssued() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return readsIssued_;
}

int Printer::StalledWrites() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stalledWriters_;
}

int Printer::OpenFiles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return openFiles_;
}

std::vector<DWORD> Printer::Purges() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return purges_;
}

std::vector<DWORD> Printer::IoControls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ioControls_;
}

template <typename Condition>
bool Printer::WaitFor(std::chrono::milliseconds timeout, Condition condition) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, condition);
}

bool Printer::WaitForPendingRead(std::chrono::milliseconds timeout) {
  return WaitFor(timeout, [this] { return !pending_.empty(); });
}

bool Printer::WaitForReadsIssued(std::uint64_t count, std::chrono::milliseconds timeout) {
  return WaitFor(timeout, [this, count] { return readsIssued_ >= count; });
}

bool Printer::WaitForStalledWrite(std::chrono::milliseconds timeout) {
  return WaitFor(timeout, [this] { return stalledWriters_ > 0; });
}

bool Printer::WaitForReceived(std::size_t count, std::chrono::milliseconds timeout) {
  return WaitFor(timeout, [this, count] { return received_.Total() >= count; });
}

// --- Driver side ------------------------------------------------------------------------

bool Printer::TryOpen(const std::string& path, PipeEnd* end, std::uint64_t* attachment,
                      DWORD* error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!present_ || !ParseOpenPath(path, path_, end)) return false;
  if (openFault_.Fire(error)) return true;
  *error = 0;
  *attachment = attachment_;
  ++openFiles_;
  changed_.notify_all();
  return true;
}

void Printer::FileClosed() {
  std::lock_guard<std::mutex> lock(mutex_);
  --openFiles_;
  changed_.notify_all();
}

bool Printer::CompletesOnDeviceThreadLocked() const {
  return readMode_ == kReadsQueued || readMode_ == kReadsQueuedZeroLength;
}

DWORD Printer::HandleErrorLocked(std::uint64_t attachment) const {
  return present_ && attachment == attachment_ ? 0 : removalError_;
}

DWORD Printer::HandleError(std::uint64_t attachment) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return HandleErrorLocked(attachment);
}

// A read that waits for the printer is queued by the driver. In the queued read modes every
// read is: one whose outcome is known at issue (data waiting, an armed fault, a removal) is
// completed before the driver returns, as a driver may complete a request in its dispatch
// routine after marking it pending, so its event is already set when the caller first
// looks; ReadFile still reports it pending, and its error arrives at its completion. In
// kReadsQueuedZeroLength an idle read is answered by an empty packet a moment later, from the
// device thread.
hostwin::ReadStart Printer::StartRead(std::uint64_t file, std::uint64_t attachment,
                                      void* buffer, DWORD size, hostwin::ReadDone done,
                                      const ReadWait& wait) {
  // Noted before anything changes: it is the one step here that may fail for want of memory
  // besides the reservations below.
  if (wait.timed || wait.spaced) ReadTimers::Watch(shared_from_this());
  const std::uint64_t id = g_nextReadId.fetch_add(1, std::memory_order_relaxed);
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  Completions completions;
  bool queued = false;
  bool waits = false;
  bool emptyPacket = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queued = CompletesOnDeviceThreadLocked();
    const bool waitsForFirstByte = wait.until == ReadWait::Until::kAnyByte && !wait.timed;
    ReadWait::Until until = wait.until;
    if (waitsForFirstByte &&
        (readMode_ == kReadsCompleteAtOnce || readMode_ == kReadsQueuedZeroLength)) {
      until = ReadWait::Until::kNothing;
    }
    // Whatever can fail for want of memory comes first: the completion's room, the room for
    // the bytes taken, and the read's place in the queue, given back if it is not needed.
    completions.reserve(1);
    delivered_.Reserve(std::min<std::size_t>(size, toHost_.size()));
    pending_.emplace_back();
    const auto now = std::chrono::steady_clock::now();
    PendingRead& read = pending_.back();
    read.id = id;
    read.file = file;
    read.buffer = bytes;
    read.size = size;
    read.until = until;
    if (wait.timed) read.totalDeadline = now + wait.total;
    if (wait.spaced) read.interval = wait.interval;
    ++readsIssued_;
    DWORD error = HandleErrorLocked(attachment);
    if (error != 0 || readFault_.Fire(&error)) {
      pending_.pop_back();
      completions.push_back({std::move(done), 0, error});
    } else {
      read.filled = TakeLocked(bytes, size);
      if (size == 0 || IsFilled(read)) {
        emptyPacket = read.filled == 0 && readMode_ == kReadsQueuedZeroLength && size != 0;
        completions.push_back({std::move(done), read.filled, 0});
        pending_.pop_back();
      } else {
        if (read.filled > 0 && read.interval.count() > 0) {
          read.intervalDeadline = now + read.interval;
        }
        read.done = std::move(done);
        waits = true;
        if (wait.timed || wait.spaced) ReadTimers::Changed();
      }
    }
    changed_.notify_all();
  }
  Run(&completions, emptyPacket);
  return {id, queued || waits};
}

Printer::TimePoint Printer::ExpireTimedReads(TimePoint now) {
  Completions completions;
  bool queued = false;
  TimePoint next = TimePoint::max();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queued = CompletesOnDeviceThreadLocked();
    completions.reserve(pending_.size());
    for (auto it = pending_.begin(); it != pending_.end();) {
      const TimePoint due = std::min(it->totalDeadline, it->intervalDeadline);
      if (due <= now) {
        completions.push_back({std::move(it->done), it->filled, 0});
        it = pending_.erase(it);
        continue;
      }
      next = std::min(next, due);
      ++it;
    }
    if (!completions.empty()) changed_.notify_all();
  }
  Run(&completions, queued);
  return next;
}

void Printer::CancelRead(std::uint64_t readId) {
  Completions completions;
  bool queued = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queued = CompletesOnDeviceThreadLocked();
    if (ignoreCancels_) return;  // the read stays the driver's until data or a removal
    auto it = std::find_if(pending_.begin(), pending_.end(),
                           [readId](const PendingRead& read) { return read.id == readId; });
    if (it == pending_.end()) return;  // completed already
    completions.reserve(1);
    completions.push_back({std::move(it->done), it->filled, ERROR_OPERATION_ABORTED});
    pending_.erase(it);
    changed_.notify_all();
  }
  Run(&completions, queued);
}

void Printer::AbortReads(std::uint64_t file) {
  Completions completions;
  bool queued = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queued = CompletesOnDeviceThreadLocked();
    AbortReadsLocked(file, &completions);
  }
  Run(&completions, queued);
}

void Printer::AbortReadsLocked(std::uint64_t file, Completions* completions) {
  if (ignoreCancels_) return;
  ReserveFor(completions, pending_.size());
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->file == file) {
      completions->push_back({std::move(it->done), it->filled, ERROR_OPERATION_ABORTED});
      it = pending_.erase(it);
    } else {
      ++it;
    }
  }
  changed_.notify_all();
}

std::uint8_t Printer::StatusReplyLocked(int n) const {
  const int override = statusOverride_[n - 1];
  return override >= 0 ? static_cast<std::uint8_t>(override) : StatusByteOf(state_, n);
}

void Printer::AcceptLocked(const std::uint8_t* bytes, std::size_t size, Completions* completions) {
  RealTimeCommands realTime = realTime_;
  RealTimeCommands::Requests requests;
  realTime.Feed(bytes, size, &requests);
  PrintedCommands printedCommands = printedCommands_;
  PrintedCommands::Effects effects;
  if (state_.Prints()) printedCommands.Feed(bytes, size, &effects);
  received_.Reserve(size);
  if (state_.Prints()) printed_.Reserve(size);
  MakeRoomLocked(completions, requests.statusRequests.size());
  for (int n : requests.statusRequests) toHost_.push_back(StatusReplyLocked(n));
  if (!state_.Prints()) held_.insert(held_.end(), bytes, bytes + size);
  // Nothing below allocates.
  if (state_.Prints()) printed_.Append(bytes, bytes + size);
  received_.Append(bytes, bytes + size);
  realTime_ = realTime;
  printedCommands_ = std::move(printedCommands);
  for (std::uint64_t end : effects.cutEnds) cuts_.Add(end);
  PulseDrawerLocked(requests.drawerPulses + effects.drawerPulses);
  DeliverLocked(completions);
}

int Printer::PrintHeldLocked() {
  const std::vector<std::uint8_t> held(held_.begin(), held_.end());
  PrintedCommands printedCommands = printedCommands_;
  PrintedCommands::Effects effects;
  printedCommands.Feed(held.data(), held.size(), &effects);
  printed_.Reserve(held_.size());
  printed_.Append(held_.begin(), held_.end());
  held_.clear();
  printedCommands_ = std::move(printedCommands);
  for (std::uint64_t end : effects.cutEnds) cuts_.Add(end);
  return effects.drawerPulses;
}

// DLE DC4 1 m t as it arrives, and ESC p m t1 t2 as it prints, open the drawer.
void Printer::PulseDrawerLocked(int pulses) {
  if (pulses <= 0) return;
  drawerPulses_ += static_cast<std::uint64_t>(pulses);
  state_.drawerOpen = true;
}

DWORD Printer::Write(std::uint64_t attachment, const void* data, DWORD size, DWORD* written,
                     std::chrono::milliseconds timeout) {
  *written = 0;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  Completions completions;
  bool queued = false;
  bool pulled = false;
  DWORD accepted = 0;
  DWORD failure = 0;
  {
    std::unique_lock<std::mutex> lock(mutex_);
    queued = CompletesOnDeviceThreadLocked();
    if (DWORD error = HandleErrorLocked(attachment)) return error;
    if (stalled_) {
      ++stalledWriters_;
      changed_.notify_all();
      // The wait gives up the lock, so that the test can release the printer or unplug it.
      changed_.wait(lock, [&] { return !stalled_ || HandleErrorLocked(attachment) != 0; });
      --stalledWriters_;
      changed_.notify_all();
      if (DWORD error = HandleErrorLocked(attachment)) return error;
    }
    // A driver may take fewer bytes than it was given; the writer has to offer the rest.
    size = std::min(size, writeLimit_);
    // A cable pulled in the middle of a receipt: the printer takes what came before.
    pulled = unplugArmed_ && unplugAfter_ <= size;
    if (pulled) {
      size = static_cast<DWORD>(unplugAfter_);
      ReserveFor(&completions, 2 * pending_.size());  // delivered, then dropped by the removal
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const auto mayGoOn = [&] {
      return state_.Prints() || held_.size() < kPrinterBufferSize ||
             HandleErrorLocked(attachment) != 0;
    };
    for (;;) {
      // All of it while the printer prints; what fits its buffer while it does not, and
      // with a full buffer still the real-time commands at the head (a status request
      // reaches a printer that takes nothing else).
      std::size_t room = size - accepted;
      if (!state_.Prints()) {
        const std::size_t free = held_.size() < kPrinterBufferSize ? kPrinterBufferSize - held_.size() : 0;
        room = free > 0 ? std::min(room, free) : realTime_.LeadingCommands(bytes + accepted, room);
      }
      if (room > 0) {
        AcceptLocked(bytes + accepted, room, &completions);
        accepted += static_cast<DWORD>(room);
        changed_.notify_all();
      }
      if (accepted == size) break;
      // Replies to what it took go out now, not when the write ends: a status request
      // answers at once.
      if (!completions.empty()) {
        lock.unlock();
        Run(&completions, queued);
        completions.clear();
        lock.lock();
        continue;  // the printer may have changed meanwhile
      }
      ++stalledWriters_;
      changed_.notify_all();
      bool goesOn = true;
      if (timeout.count() > 0) {
        goesOn = changed_.wait_until(lock, deadline, mayGoOn);
      } else {
        changed_.wait(lock, mayGoOn);
      }
      --stalledWriters_;
      changed_.notify_all();
      failure = HandleErrorLocked(attachment);
      if (failure != 0 || !goesOn) break;  // removed, or the driver's write timeout ran out
    }
    if (unplugArmed_) unplugAfter_ -= accepted;
    if (pulled && failure == 0 && accepted == size) {
      DetachLocked(unplugError_, &completions);
      failure = unplugError_;
    }
    changed_.notify_all();
  }
  Run(&completions, queued);
  *written = accepted;
  return failure;
}

DWORD Printer::Purge(std::uint64_t file, std::uint64_t attachment, DWORD flags) {
  Completions completions;
  bool queued = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queued = CompletesOnDeviceThreadLocked();
    if (DWORD error = HandleErrorLocked(attachment)) return error;
    KeepNewest(&purges_);
    purges_.push_back(flags);
    changed_.notify_all();
    if ((flags & ~kKnownPurgeFlags) != 0) return ERROR_INVALID_PARAMETER;
    if ((flags & PURGE_RXABORT) != 0) AbortReadsLocked(file, &completions);
    if ((flags & PURGE_RXCLEAR) != 0) {
      purged_ += toHost_.size();
      toHost_.clear();
    }
  }
  Run(&completions, queued);
  return 0;
}

void Printer::NoteIoControl(DWORD code) {
  std::lock_guard<std::mutex> lock(mutex_);
  KeepNewest(&ioControls_);
  ioControls_.push_back(code);
  changed_.notify_all();
}

}  // namespace printersim
