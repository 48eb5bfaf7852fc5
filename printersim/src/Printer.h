// One simulated printer: its identity, its presence on the bus, the bytes that flow each
// way, its status replies and the faults armed on it. The driver files (MakerDriverFile,
// PrinterClassDriverFile) turn the host's file operations into calls here; the control API
// calls the rest.
//
// Locking contract: every member below mutex_ is guarded by mutex_; id_, driverKind_,
// vendorId_, productId_ and idCase_ never change. No read completion (`done`) runs while
// mutex_ is held: each operation gathers its completions under the lock and runs them after
// releasing it, on the calling thread, because hostwin's callback may call straight back
// into the printer (a receive loop starts its next read from inside the completion). A
// stalled write waits on changed_, which releases mutex_ while it waits. In the queued read
// mode the completions run on the device thread instead (DeviceThread.h), and those of reads
// whose timeouts run out on the timer thread (ReadTimers.h).
#ifndef PRINTERSIM_PRINTER_H
#define PRINTERSIM_PRINTER_H

#include <hostwin/device_provider.h>
#include <printersim/printersim.h>
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ByteLog.h"
#include "CutLog.h"
#include "DeviceThread.h"
#include "EscPosCommands.h"
#include "Faults.h"
#include "InterfacePath.h"
#include "ReadWait.h"
#include "RealTimeCommands.h"

namespace printersim {

class Printer : public std::enable_shared_from_this<Printer> {
 public:
  Printer(int id, int driverKind, std::uint16_t vendorId, std::uint16_t productId,
          std::string serial, IdCase idCase);
  Printer(const Printer&) = delete;
  Printer& operator=(const Printer&) = delete;

  int Id() const { return id_; }
  int DriverKind() const { return driverKind_; }

  // --- Presence (control side) ---
  void Detach(DWORD error);
  void Reattach(const std::string* newSerial);
  std::string Path() const;
  // The interface path while present; false when absent.
  bool PresentPath(std::string* path) const;

  // --- Data (control side) ---
  void Send(const std::uint8_t* data, std::size_t size);
  // The logs below keep everything unless told to keep only the newest bytes; *start (when
  // given) says at which offset an answer begins (ByteLog.h).
  std::vector<std::uint8_t> Received(std::uint64_t from = 0, std::uint64_t* start = nullptr) const;
  std::vector<std::uint8_t> Printed(std::uint64_t from, std::uint64_t* start = nullptr) const;
  void KeepRecent(std::uint64_t bytes);
  // n = 1..4; a value of -1 lets the state answer again.
  void SetStatusByte(int n, int value);
  PrinterState State() const;
  // `change` runs under the printer's lock; when it throws, nothing changes.
  void ChangeState(const std::function<void(PrinterState*)>& change);
  bool IsPresent() const;
  std::uint64_t DrawerPulses() const;
  std::uint64_t Cuts(std::vector<std::uint64_t>* newestEnds, std::size_t most) const;

  // --- Faults and behaviour (control side) ---
  void FailNextReads(DWORD error, int count);
  void FailNextDataReads(DWORD error, int count);
  void FailNextOpens(DWORD error, int count, int skip = 0);
  void SetReadMode(int mode);
  void StallWrites();
  void ReleaseWrites();
  void UnplugAfterBytes(std::uint64_t count, DWORD error);
  void IgnoreCancels(bool ignore);
  void LimitWrites(DWORD maxBytes);
  void SetFixedTimeoutFields(unsigned mask);
  unsigned FixedTimeoutFields() const;

  // --- Observation (control side) ---
  int PendingReads() const;
  std::uint64_t ReadsIssued() const;
  std::vector<std::uint8_t> Delivered(std::uint64_t from = 0, std::uint64_t* start = nullptr) const;
  std::uint64_t DeliveredCount() const;
  std::uint64_t LostWithTheDevice() const;
  std::uint64_t Purged() const;
  int StalledWrites() const;
  int OpenFiles() const;
  std::vector<DWORD> Purges() const;
  std::vector<DWORD> IoControls() const;
  bool WaitForPendingRead(std::chrono::milliseconds timeout);
  bool WaitForReadsIssued(std::uint64_t count, std::chrono::milliseconds timeout);
  bool WaitForStalledWrite(std::chrono::milliseconds timeout);
  bool WaitForReceived(std::size_t count, std::chrono::milliseconds timeout);

  // --- Driver side ---
  // Opens `path` if it names this printer while present. False when it does not name it;
  // otherwise true with *error 0 and the attachment the handle belongs to, or the error of
  // an armed open fault.
  bool TryOpen(const std::string& path, PipeEnd* end, std::uint64_t* attachment, DWORD* error);
  void FileClosed();

  // 0 while the attachment a handle was opened on is the current one, else the removal
  // error.
  DWORD HandleError(std::uint64_t attachment) const;

  // Starts a read for the handle `file` of `attachment`, waiting as `wait` says (the
  // driver's choice). A read that waits for its first byte without a limit (the printer
  // class driver's) completes at once with nothing instead in kReadsCompleteAtOnce, and with
  // a zero-length packet from the device thread in kReadsQueuedZeroLength. In the queued
  // read modes every read is reported queued (printersim.h).
  hostwin::ReadStart StartRead(std::uint64_t file, std::uint64_t attachment, void* buffer,
                               DWORD size, hostwin::ReadDone done, const ReadWait& wait);
  // Completes the pending reads whose timeouts have run out by `now` with what they hold;
  // returns the earliest deadline still ahead (time_point::max() for none). Throws
  // std::bad_alloc, with nothing changed, when there is no memory for the completions.
  std::chrono::steady_clock::time_point ExpireTimedReads(std::chrono::steady_clock::time_point now);
  void CancelRead(std::uint64_t readId);
  // Completes the pending reads of one handle with ERROR_OPERATION_ABORTED.
  void AbortReads(std::uint64_t file);
  // A write of the host. A printer that does not print takes data into its buffer while
  // there is room, and then waits for room, or, with `timeout` (the maker's driver's write
  // timeouts), until that runs out: the write then succeeds with the bytes taken.
  DWORD Write(std::uint64_t attachment, const void* data, DWORD size, DWORD* written,
              std::chrono::milliseconds timeout = std::chrono::milliseconds(0));
  // PURGE_RXABORT aborts the handle's pending reads, PURGE_RXCLEAR discards unread input;
  // the output side holds nothing, since the printer takes every byte as it is written.
  DWORD Purge(std::uint64_t file, std::uint64_t attachment, DWORD flags);
  void NoteIoControl(DWORD code);

 private:
  using TimePoint = std::chrono::steady_clock::time_point;
  struct PendingRead {
    std::uint64_t id;
    std::uint64_t file;
    std::uint8_t* buffer;
    DWORD size;
    hostwin::ReadDone done;
    ReadWait::Until until = ReadWait::Until::kAnyByte;
    DWORD filled = 0;                             // bytes it holds so far
    TimePoint totalDeadline = TimePoint::max();   // none: max()
    TimePoint intervalDeadline = TimePoint::max();
    std::chrono::milliseconds interval{0};        // 0: no interval timeout
  };
  using Completions = std::vector<Completion>;

  // Every step of the printer either happens whole or not at all: whatever can fail for
  // want of memory happens before the first change. This makes room for the completions of
  // every pending read, and for the delivery of what the printer holds plus `incoming` more
  // bytes.
  void MakeRoomLocked(Completions* completions, std::size_t incoming);
  // Moves what the printer has sent into the oldest pending reads; needs the room above.
  void DeliverLocked(Completions* completions);
  DWORD TakeLocked(std::uint8_t* buffer, DWORD size);
  void DetachLocked(DWORD error, Completions* completions);
  void AbortReadsLocked(std::uint64_t file, Completions* completions);
  DWORD HandleErrorLocked(std::uint64_t attachment) const;
  // Takes host bytes (room made by the caller): answers the real-time commands in them at
  // once, and prints them, or
  // keeps them in the buffer while the printer does not print. Throws std::bad_alloc, with
  // nothing changed, when there is no memory for the replies.
  void AcceptLocked(const std::uint8_t* bytes, std::size_t size, Completions* completions);
  // Prints what waited in the buffer, once the printer prints again; the drawer pulses its
  // ESC p commands ask for, for the caller to give once its state change is in place.
  int PrintHeldLocked();
  void PulseDrawerLocked(int pulses);
  std::uint8_t StatusReplyLocked(int n) const;
  // The queued read modes hand completions to the device thread.
  bool CompletesOnDeviceThreadLocked() const;
  // Whether a pending read is complete with what it holds.
  static bool IsFilled(const PendingRead& read);
  static void Run(Completions* completions, bool queued);
  template <typename Condition>
  bool WaitFor(std::chrono::milliseconds timeout, Condition condition);

  const int id_;
  const int driverKind_;
  const std::uint16_t vendorId_;
  const std::uint16_t productId_;
  const IdCase idCase_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;  // any change a waiter may be waiting for

  std::string serial_;
  std::string path_;
  bool present_ = true;
  std::uint64_t attachment_ = 1;     // handles of an earlier attachment are dead
  DWORD removalError_ = ERROR_ACCESS_DENIED;
  ByteLog received_;
  std::deque<std::uint8_t> toHost_;  // sent by the printer, not yet read
  std::deque<PendingRead> pending_;  // oldest first; empty whenever toHost_ is not
  RealTimeCommands realTime_;
  PrintedCommands printedCommands_;  // what the print data does as it prints (drawer kicks)
  PrinterState state_;
  int statusOverride_[4] = {-1, -1, -1, -1};  // SetStatusByte's replies, -1: the state's
  ByteLog printed_;                           // what it printed
  std::deque<std::uint8_t> held_;             // received, waiting to print
  std::uint64_t drawerPulses_ = 0;
  CutLog cuts_;                               // where printed_ was cut
  CountedFault readFault_;
  CountedFault dataReadFault_;  // pending reads that fail once data has filled them
  CountedFault openFault_;
  int readMode_ = kReadsPendUntilData;
  bool stalled_ = false;
  bool ignoreCancels_ = false;          // a driver that never completes a cancelled read
  bool unplugArmed_ = false;            // the cable is pulled after unplugAfter_ more bytes
  std::uint64_t unplugAfter_ = 0;
  DWORD unplugError_ = ERROR_ACCESS_DENIED;
  int stalledWriters_ = 0;
  DWORD writeLimit_ = MAXDWORD;  // most bytes one write takes
  int openFiles_ = 0;
  unsigned fixedTimeoutFields_ = 0;
  std::uint64_t readsIssued_ = 0;
  ByteLog delivered_;                    // bytes sent that reads have taken, in order
  std::uint64_t lostWithTheDevice_ = 0;  // bytes sent that a removal threw away
  std::uint64_t purged_ = 0;             // bytes sent that a purge of input threw away
  std::vector<DWORD> purges_;
  std::vector<DWORD> ioControls_;
};

}  // namespace printersim

#endif  // PRINTERSIM_PRINTER_H
