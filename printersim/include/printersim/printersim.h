// Control of the simulated printers, for tests. Every function is safe to call from any
// thread at any time. A function given an id that names no printer (or an argument out of
// its range) throws std::invalid_argument.
//
// The first call of any function here installs the simulator as hostwin's device provider,
// so that CreateFileA and the SetupAPI calls of the stand-in reach these printers.
#ifndef PRINTERSIM_PRINTERSIM_H
#define PRINTERSIM_PRINTERSIM_H

#include <hostwin/device_provider.h>
#include <windows.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace printersim {

// Which Windows driver serves the printer; the numbers are the library's driver kinds.
constexpr int kMakerDriver = 0;         // the maker's own USB driver
constexpr int kPrinterClassDriver = 1;  // the Windows USB printer class driver

// How reads behave. The first two are about the printer class driver with nothing sent.
constexpr int kReadsPendUntilData = 0;  // the default
constexpr int kReadsCompleteAtOnce = 1; // an idle read completes at once with 0 bytes
// As a real driver does: every read is queued and reported pending (ERROR_IO_PENDING), and
// its outcome arrives at its completion, a failure included. A read whose outcome is known
// at issue (bytes waiting, an armed read fault, a removal) has completed, its event set, by
// the time ReadFile returns; the others complete later on the simulator's device thread,
// as do those that a send, a cancel, a purge or a removal ends.
constexpr int kReadsQueued = 2;
// As kReadsQueued, and the printer answers every poll it has nothing for with a zero-length
// packet: an idle read completes with 0 bytes from the device thread, a moment after it was
// reported pending.
constexpr int kReadsQueuedZeroLength = 3;
// Every read mode, for tests that run in each.
constexpr int kReadModes[] = {kReadsPendUntilData, kReadsCompleteAtOnce, kReadsQueued,
                              kReadsQueuedZeroLength};

// How the vendor and product ID appear in the interface path: "usb#vid_f7a1&pid_0a01",
// "USB#VID_F7A1&PID_0A01", or one of the two mixes ("USB#VID_f7a1&PID_0a01" has upper-case
// letters with lower-case hex digits).
enum class IdCase { kLower, kUpper, kUpperLettersLowerDigits, kLowerLettersUpperDigits };

struct PrinterOptions {
  int driverKind = kMakerDriver;
  int vendorId = 0;   // 0..0xFFFF
  int productId = 0;  // 0..0xFFFF
  std::string serial; // empty: "SIM" followed by the printer id
  IdCase idCase = IdCase::kLower;
};

// What a printer's paper sensors, cover, buttons and cash drawer say. Its answers to the
// real-time status requests DLE EOT 1 to 4 follow from it, as an ESC/POS printer answers:
//   DLE EOT 1 (printer):  bit 2 the drawer's pin 3 (1 while the drawer is open), bit 3 off line
//   DLE EOT 2 (off line): bit 2 cover open, bit 5 stopped at the paper end, bit 6 an error
//   DLE EOT 3 (error):    bit 5 an error that does not recover, bit 6 one that recovers
//   DLE EOT 4 (paper):    bits 2 and 3 paper near its end, bits 5 and 6 paper out
// with bits 1 and 4 always set (0x12 means no condition). A printer that does not print (paper
// out, cover open, off line, an error) still takes data into its 4 KiB buffer and answers
// real-time requests at once; once the buffer is full, writes wait until it prints again (or
// until the write timeouts of the maker's driver run out), but for real-time requests at
// their head, which it still takes. What waits in the buffer stays there when the cable is
// pulled. DLE DC4 1 m t opens the drawer.
enum class Paper { kPresent, kNearEnd, kOut };
struct PrinterState {
  Paper paper = Paper::kPresent;
  bool coverOpen = false;
  bool offline = false;             // taken off line at the printer
  bool recoverableError = false;    // an error that clears itself (a print head too hot, say)
  bool unrecoverableError = false;  // one that needs the printer switched off and on
  bool drawerOpen = false;
  // Whether it prints what it receives.
  bool Prints() const;
  bool operator==(const PrinterState& other) const;
};
constexpr std::size_t kPrinterBufferSize = 4096;

// Bits of SetFixedTimeoutFields, one per SERIAL_TIMEOUTS field in its order.
constexpr unsigned kReadIntervalTimeoutField = 1u << 0;
constexpr unsigned kReadTotalTimeoutMultiplierField = 1u << 1;
constexpr unsigned kReadTotalTimeoutConstantField = 1u << 2;
constexpr unsigned kWriteTotalTimeoutMultiplierField = 1u << 3;
constexpr unsigned kWriteTotalTimeoutConstantField = 1u << 4;

// An enumeration fault that stays until cleared (see InjectEnumerationErrors).
constexpr int kEveryEnumeration = -1;

// --- Printers -------------------------------------------------------------------------

// Plugs in a new printer, present at once, listed after every printer attached before it.
// Returns its id, a positive integer never given before in the process (a Reset does not
// begin again, so that an id held from before it names no printer of after it).
int Attach(const PrinterOptions& options);
int Attach(int driverKind, int vendorId, int productId, const std::string& serial = "");

// Surprise removal: reads and writes on every handle open on the printer fail with
// `error`, pending reads complete with it, stalled writes return it, opens fail with
// ERROR_FILE_NOT_FOUND and its interface leaves the enumeration. Unread input is lost.
// Nothing happens to a printer that is already absent.
void Detach(int id, DWORD error = ERROR_ACCESS_DENIED);

// Plugs the printer in again, at its place in the enumeration order, optionally under a
// new serial (and so a new interface path: another printer as far as the host can tell,
// or, for a serial with '&' in it, a printer without a serial in another USB port). Handles
// opened before stay dead. A printer that is present is first removed, as if unplugged and
// plugged back at once.
void Reattach(int id);
void Reattach(int id, const std::string& newSerial);

// Removes every printer (their open handles die as on Detach) and every enumeration fault;
// ids start again at 1.
void Reset();

// --- Data --------------------------------------------------------------------------------

// The printer sends bytes to the host; pending reads complete on the calling thread. Bytes
// sent to an absent printer are dropped. Sending nothing is a zero-length packet: it
// completes the oldest pending read with no bytes.
void Send(int id, const std::vector<std::uint8_t>& bytes);
void Send(int id, const void* data, std::size_t size);

// Every byte the host has written to the printer, in order, across all its handles and
// attachments; from `from` on. Offsets count from the first byte ever. A printer told to
// KeepRecent leaves out what it no longer keeps, and *start (when given) says at which
// offset the answer begins; so do Printed and Delivered.
std::vector<std::uint8_t> Received(int id, std::uint64_t from = 0, std::uint64_t* start = nullptr);
// From now on the printer keeps only (at least) the newest `bytes` of what it received,
// printed and delivered (0: everything, as at first), so that one that prints for days
// stays small.
void KeepRecent(int id, std::uint64_t bytes);

// Its one-byte reply to the real-time status request DLE EOT n (n = 1..4), whatever its
// state says, from now on; a value of -1 lets the state answer again.
void SetStatusByte(int id, int n, int value);

// Its state, and a new one: a state in which it prints again prints what waited in its buffer.
PrinterState State(int id);
void SetState(int id, const PrinterState& state);
// Changes its state in one step with what the printer changes itself (a drawer kick):
// `change` sees the state as it is and may throw, which leaves it as it was.
void ChangeState(int id, const std::function<void(PrinterState*)>& change);
// Whether it is plugged in.
bool IsPresent(int id);
// What it has printed: what it received, but for what still waits in its buffer; from
// `from` on, counted from the first byte it ever printed.
std::vector<std::uint8_t> Printed(int id, std::uint64_t from = 0, std::uint64_t* start = nullptr);
// Times the cash drawer was kicked open (DLE DC4 1 m t).
std::uint64_t DrawerPulses(int id);
// Cuts it made as it printed (ESC i, ESC m, GS V in a cut mode), counted from the first;
// *newestEnds (when given) gets where the newest of them end, as offsets into what it
// printed, oldest first: at most `most` of them and at most kKeptCutEnds.
constexpr std::size_t kKeptCutEnds = 256;
std::uint64_t Cuts(int id, std::vector<std::uint64_t>* newestEnds = nullptr, std::size_t most = kKeptCutEnds);

// --- Faults and driver behaviour -----------------------------------------------------------

// The next `count` reads on the printer's handles fail with `error` (at once, or at their
// completion in the queued read mode); the next
// `count` opens of its paths fail with `error`, after `skip` opens that still work (a
// reopen opens the bare path to find the printer, then the read and the write handle). A
// count of 0 disarms.
void FailNextReads(int id, DWORD error, int count);
// The next `count` pending reads that data completes fail with `error` all the same, after
// taking the bytes: the read reports the error and the count it transferred, as a transfer
// that broke off does.
void FailNextDataReads(int id, DWORD error, int count);
void FailNextOpens(int id, DWORD error, int count, int skip = 0);

// One of kReadModes. The modes change reads that wait for their first byte without a limit,
// which is how the printer class driver reads; the maker's driver times its reads by the
// handle's serial timeouts (IOCTL_SERIAL_SET_TIMEOUTS) in every mode, and its completions
// come from the device thread in the queued modes.
void SetReadMode(int id, int mode);

// A printer with its cover open: writes block until ReleaseWrites or removal.
void StallWrites(int id);
void ReleaseWrites(int id);

// The cable is pulled in the middle of a receipt: the printer takes `count` more bytes of
// writes, and then is unplugged with `error`; the write that reaches the count reports
// `error` with the bytes taken.
void UnplugAfterBytes(int id, std::uint64_t count, DWORD error = ERROR_ACCESS_DENIED);

// A driver that never completes a cancelled read: cancels and closes leave its pending reads
// pending, until data or a removal ends them.
void IgnoreCancels(int id, bool ignore);

// A driver that takes at most `maxBytes` of each write and reports the count it took
// (0: it accepts writes but takes nothing). MAXDWORD, the default, takes everything.
void LimitWrites(int id, DWORD maxBytes);

// Fields (kReadIntervalTimeoutField...) that the maker's driver reports as 0xFFFFFFFE in
// IOCTL_SERIAL_GET_TIMEOUTS, whatever was set.
void SetFixedTimeoutFields(int id, unsigned fieldMask);

// Inserts `count` failing slots (SetupDiEnumDeviceInterfaces fails there with `error`) at
// index `position` of the driver kind's enumeration (after the last interface when the
// list is shorter), for the next `enumerations` enumerations of that class or for every
// one (kEveryEnumeration). Faults at lower positions are placed first.
void InjectEnumerationErrors(int driverKind, std::size_t position, DWORD error, int count,
                             int enumerations = kEveryEnumeration);
void ClearEnumerationErrors();

// --- Facts ---------------------------------------------------------------------------------

// Its interface path now, e.g. \\?\usb#vid_f7a1&pid_0a01#SIM1#{28d78fad-5a12-...}.
std::string InterfacePath(int id);

// The interface class that a driver kind publishes.
const GUID& InterfaceClass(int driverKind);

// The vendor/product pairs the library accepts, as (vid << 16) | pid.
std::vector<std::uint32_t> SupportedIds();

// --- Observation, for tests of the code that drives the printer ---------------------------

int PendingReads(int id);                 // reads pending on the printer now
std::uint64_t ReadsIssued(int id);        // reads started on its handles, failed ones too
std::uint64_t BytesDelivered(int id);     // bytes it sent that reads on its handles took
// those bytes, in order
std::vector<std::uint8_t> Delivered(int id, std::uint64_t from = 0, std::uint64_t* start = nullptr);
// Bytes it sent that never reached the host: unread when it was unplugged, or sent while
// it was away.
std::uint64_t BytesLostWithTheDevice(int id);
std::uint64_t BytesPurged(int id);        // bytes it sent that a purge of input threw away
int StalledWrites(int id);                // writes blocked by StallWrites now
int OpenFiles(int id);                    // handles open on the printer now
// Flags of every purge on its handles in order, and codes of every device control (the
// newest few thousand of each: a printer that runs for days stays small).
std::vector<DWORD> Purges(int id);
std::vector<DWORD> IoControls(int id);

// Each waits until the condition holds or the timeout runs out; true when it holds.
bool WaitForPendingRead(int id, std::chrono::milliseconds timeout);
bool WaitForReadsIssued(int id, std::uint64_t count, std::chrono::milliseconds timeout);
bool WaitForStalledWrite(int id, std::chrono::milliseconds timeout);
bool WaitForReceived(int id, std::size_t count, std::chrono::milliseconds timeout);

// --- The seam ------------------------------------------------------------------------------

// The simulator as hostwin sees it, for tests that talk to the drivers directly.
hostwin::DeviceProvider& Provider();

// Installs the simulator as hostwin's device provider again (after a test replaced it).
void Install();

}  // namespace printersim

#endif  // PRINTERSIM_PRINTERSIM_H
