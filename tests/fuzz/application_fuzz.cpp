// A random application: sequences of the twelve natives with arbitrary arguments, from one
// Java thread, mixed with what printers do (plug in, send, unplug, plug back under the same
// or another serial, fail reads, opens and enumerations, take less of a write, answer polls
// with empty packets). Three printers may take part: the maker's, the till's Printer Class
// printer and a second Printer Class printer (the kitchen's). A model of what was sent and
// written checks every step, for results and for progress:
//  - each call's result is one its documentation allows;
//  - the bytes Java reads are, per printer, the bytes it sent, in order, none invented, and
//    none lost but by a close, an open, a removal or a purge (the library never drops what
//    it has room for, and stops reading while it has none);
//  - the first read after a Printer Class read pipe is brought up returns no byte its
//    printer sent before that open;
//  - what each printer received is, in order, bytes Java wrote, none invented, and at least
//    as many as the writes that reported success carried; between two opens, every write
//    reaches the same printer (recovery never moves to another printer);
//  - a value that a close ended is never handed out again for another pipe;
//  - an idle printer, in every read mode, costs at most a few dozen reads a second;
//  - after a replug and a settle time, a write with the value Java holds reaches the
//    printer again, and bytes the printer sends reach Java;
//  - once Java has closed every handle it was given, the library holds no handle more than
//    before.
// The maker's printer answers idle reads at once (or within the short timeouts Java sets)
// and a Printer Class read is made only when the buffer holds bytes, so no step waits long.
#include <fuzzer/FuzzedDataProvider.h>
#include <hostwin/hostwin.h>
#include <printersim/printersim.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/NativePort.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Steps taken over the whole run, said at its end.
std::uint64_t g_steps = 0;
std::uint64_t g_runs = 0;
std::uint64_t g_readBytes = 0;
std::uint64_t g_settles = 0;
std::uint64_t g_idleChecks = 0;

// Read pipelines brought up, and reads the library gave up on because the driver did not
// complete them in time after a cancel (each keeps its event: the driver may still complete
// it), counted from the library's trace.
std::atomic<std::uint64_t> g_bringUps{0};
std::atomic<int> g_abandonedReads{0};

constexpr int kMakerIndex = 0;
constexpr int kPrinters = 3;  // the maker's, the till's and the kitchen's
constexpr jint kRingSize = 4096;
constexpr jint kMaker = 0;
constexpr jint kPrinterClass = 1;

// APPLICATION_FUZZ_TOLERATE, a list of words separated by commas, names checks that only
// report their first failure and let the run go on: to look for other faults past one that
// is known, as when the model is tried on a library with a fault left in.
bool Tolerated(const char* what) {
  static const std::string tolerated = [] {
    const char* value = std::getenv("APPLICATION_FUZZ_TOLERATE");
    return value == nullptr ? std::string() : std::string(value);
  }();
  std::size_t start = 0;
  while (start < tolerated.size()) {
    std::size_t end = tolerated.find(',', start);
    if (end == std::string::npos) end = tolerated.size();
    const std::string word = tolerated.substr(start, end - start);
    if (!word.empty() && std::strstr(what, word.c_str()) != nullptr) return true;
    start = end + 1;
  }
  return false;
}

void Require(bool condition, const char* what) {
  if (condition) return;
  if (Tolerated(what)) {
    static std::set<std::string> reported;
    if (reported.insert(what).second) std::fprintf(stderr, "application_fuzz: tolerated: %s\n", what);
    return;
  }
  std::fprintf(stderr, "application_fuzz: %s\n", what);
  std::abort();
}

// The bytes a printer sends: its index in the top two bits, so that each byte Java reads
// names the printer it came from, then the printer's epoch (flipped whenever a read pipe
// is brought up, so that a byte sent before an open can be told from one sent after it),
// then a running pattern.
std::uint8_t SentByte(int index, unsigned epoch, std::uint64_t n) {
  return static_cast<std::uint8_t>((static_cast<unsigned>(index) << 6) | ((epoch & 1u) << 5) |
                                   ((n * 7u + 3u) & 0x1Fu));
}
int SenderOf(std::uint8_t byte) { return byte >> 6; }
unsigned EpochOf(std::uint8_t byte) { return (byte >> 5) & 1u; }

// What Java writes: printable text, so that no write asks a printer for a reply.
std::uint8_t WrittenByte(std::uint64_t n) { return static_cast<std::uint8_t>(0x20u + n % 95u); }

// Where `run` lies in `log` at or after `from`: at `from` itself unless `gapAllowed`.
bool FindRun(const Bytes& run, const Bytes& log, std::uint64_t from, bool gapAllowed,
             std::uint64_t* at) {
  for (std::uint64_t p = from; p + run.size() <= log.size(); ++p) {
    if (std::equal(run.begin(), run.end(), log.begin() + static_cast<std::ptrdiff_t>(p))) {
      *at = p;
      return true;
    }
    if (!gapAllowed) break;
  }
  return false;
}

// True when `part` is `whole` with some bytes left out, order kept.
bool IsSubsequence(const Bytes& part, const Bytes& whole) {
  std::size_t at = 0;
  for (const std::uint8_t byte : part) {
    while (at < whole.size() && whole[at] != byte) ++at;
    if (at == whole.size()) return false;
    ++at;
  }
  return true;
}

// Bytes a printer hands to reads leave it in order (the simulator logs them); Java must read
// exactly those, in that order. The maker's printer is read by Java alone. A Printer Class
// one is read by the worker into the buffer, whose content a close of the port throws away,
// and a read open drops what came before it: after either, Java's next bytes may start
// further on.
struct PrinterModel {
  int id = 0;                // 0: never plugged in during this run
  int kind = kMaker;
  std::string serial;        // the serial it has now
  bool present = false;
  std::uint64_t sent = 0;    // bytes it was asked to send, present or not
  std::uint64_t cursor = 0;  // bytes of its log that Java has read or a close threw away
  bool gapAllowed = false;   // a close or an open may have thrown bytes away since
  unsigned epoch = 0;
};

class Application {
 public:
  explicit Application(FuzzedDataProvider& input) : m_input(input) {
    for (int i = 0; i < kPrinters; ++i) m_printers[i].kind = i == kMakerIndex ? kMaker : kPrinterClass;
  }

  void Run() {
    const int handlesAtStart = hostwin::OpenHandleCount();
    const int abandonedAtStart = g_abandonedReads.load();
    int steps = 0;
    while (m_input.remaining_bytes() > 0 && steps++ < 400) {
      Step();
      ++g_steps;
    }
    CloseEverything();
    CheckPrinters();
    Require(hostwin::OpenHandleCount() == handlesAtStart + (g_abandonedReads.load() - abandonedAtStart),
            "the library holds handles after every close");
  }

 private:
  void Step() {
    switch (m_input.ConsumeIntegralInRange(0, 21)) {
      case 0: Open(JavaThread::kRead); break;
      case 1: Open(JavaThread::kWrite); break;
      case 2: Open(m_input.ConsumeIntegral<jint>()); break;
      case 3:
        Require(m_java.InitWithHolder(nullptr, JavaThread::kRead) == -1, "a null holder opens nothing");
        break;
      case 4: Close(); break;
      case 5: Read(); break;
      case 6: Write(); break;
      case 7: Control(); break;
      case 8: Constants(); break;
      case 9: ErrorText(); break;
      case 10: PlugIn(); break;
      case 11:
        if (PrinterModel* printer = Printer()) {
          printersim::Detach(printer->id, m_input.PickValueInArray<DWORD>(
                                              {ERROR_ACCESS_DENIED, ERROR_DEVICE_NOT_CONNECTED,
                                               ERROR_GEN_FAILURE, ERROR_INVALID_HANDLE}));
          printer->present = false;
        }
        break;
      case 12: Replug(); break;
      case 13:
      case 14: Send(); break;
      case 15:
        if (const PrinterModel* printer = Printer()) {
          // Reads that fail at once, or that fail after data filled them.
          if (m_input.ConsumeBool()) {
            printersim::FailNextReads(printer->id, ReadError(), m_input.ConsumeIntegralInRange(0, 3));
          } else {
            printersim::FailNextDataReads(printer->id, ReadError(), m_input.ConsumeIntegralInRange(0, 3));
          }
        }
        break;
      case 16:
        if (const PrinterModel* printer = Printer()) {
          printersim::FailNextOpens(printer->id, OpenError(), m_input.ConsumeIntegralInRange(0, 3),
                                    m_input.ConsumeIntegralInRange(0, 3));
        }
        break;
      case 17:
        if (const PrinterModel* printer = Printer()) {
          printersim::SetReadMode(printer->id, m_input.PickValueInArray(printersim::kReadModes));
        }
        break;
      case 18:
        printersim::InjectEnumerationErrors(m_input.ConsumeIntegralInRange(0, 1),
                                            m_input.ConsumeIntegralInRange<std::size_t>(0, 2),
                                            m_input.PickValueInArray<DWORD>(
                                                {ERROR_NO_MORE_ITEMS, ERROR_INVALID_PARAMETER,
                                                 ERROR_NOT_ENOUGH_MEMORY}),
                                            m_input.ConsumeIntegralInRange(1, 2),
                                            m_input.ConsumeIntegralInRange(1, 3));
        break;
      case 19:
        if (const PrinterModel* printer = Printer()) {
          printersim::LimitWrites(printer->id, m_input.ConsumeBool()
                                                   ? MAXDWORD
                                                   : m_input.ConsumeIntegralInRange<DWORD>(0, 16));
        }
        break;
      case 20: SettleAndCheckProgress(); break;
      default: CheckIdleCost(); break;
    }
  }

  // ---- Java's calls ----

  void Open(jint access) {
    const std::uint64_t bringUpsBefore = g_bringUps.load();
    const jint kind = m_java.Init(access);
    Require(kind == -1 || kind == kMaker || kind == kPrinterClass, "usbInitPipe gives -1, 0 or 1");
    if (access != JavaThread::kRead && access != JavaThread::kWrite) {
      Require(kind == -1, "an unknown access opens nothing");
    }
    if (kind == -1) return;
    const bool read = access == JavaThread::kRead;
    const jint handle = read ? m_java.readHandle() : m_java.writeHandle();
    Require(handle != 0 && handle != -1, "an open hands out neither 0 nor -1");
    Require(m_closed.count(handle) == 0, "a value a close ended was handed out again for another pipe");
    m_given.insert(handle);
    if (read && kind == kMaker) m_nativeReads.insert(handle);
    // A write open may move the port's writes to the printer it finds first.
    if (!read) m_writeDestination = -1;
    m_sessionKind[read ? 0 : 1] = kind;
    if (read && kind == kPrinterClass) {
      // Opening the Printer Class read pipe drops what the worker stored before it; a new
      // pipeline also drops what the printers sent before the open.
      for (PrinterModel& printer : m_printers) {
        if (printer.kind == kPrinterClass) printer.gapAllowed = true;
      }
      if (g_bringUps.load() != bringUpsBefore) {
        for (PrinterModel& printer : m_printers) {
          if (printer.kind == kPrinterClass) ++printer.epoch;
        }
        m_firstReadAfterBringUp = true;
      }
    }
  }

  // A handle Java holds, one it held, or any value at all.
  jint PickHandle() {
    switch (m_input.ConsumeIntegralInRange(0, 5)) {
      case 0: return m_java.readHandle();
      case 1: return m_java.writeHandle();
      case 2:
        if (!m_given.empty()) {
          auto it = m_given.begin();
          std::advance(it, m_input.ConsumeIntegralInRange<std::size_t>(0, m_given.size() - 1));
          return *it;
        }
        return 0;
      case 3: return m_input.PickValueInArray<jint>({0, -1, INT_MIN, INT_MAX});
      case 4: return m_java.readHandle() + m_input.ConsumeIntegralInRange(-8, 8);
      default: return m_input.ConsumeIntegral<jint>();
    }
  }

  void Close() {
    const jint handle = PickHandle();
    const jint result = m_java.Close(handle);
    Require(result == 0 || result == 1 || result == ERROR_INVALID_HANDLE, "usbClosePipe gives 0, 1 or 6");
    if (result == ERROR_INVALID_HANDLE) return;
    if (result == 0) {
      m_nativeReads.erase(handle);
      if (m_given.count(handle) != 0) m_closed.insert(handle);
    }
    for (PrinterModel& printer : m_printers) {
      if (printer.kind == kPrinterClass) printer.gapAllowed = true;
    }
    m_firstReadAfterBringUp = false;
    m_sessionKind[0] = m_sessionKind[1] = -1;
  }

  void Read() {
    const jint handle = PickHandle();
    const int shape = m_input.ConsumeIntegralInRange(0, 7);
    if (shape == 0) {
      Require(m_java.Read(nullptr, handle) == -1, "a null array reads nothing");
      return;
    }
    FakeArray into{std::vector<jbyte>(shape == 1 ? 0 : m_input.ConsumeIntegralInRange<std::size_t>(1, 300))};
    // A read of the buffer waits up to half a second when it is empty: such a read is made
    // with an empty array instead. Bytes the Printer Class reads took reach the buffer a
    // moment later, from the worker: they are waited for a little.
    if (m_nativeReads.count(handle) == 0 && !BufferHoldsBytes()) into.bytes.clear();
    const jint n = m_java.Read(&into, handle);
    Require(n >= -1 && n <= static_cast<jint>(into.bytes.size()), "usbReadInputPipe gives -1 or a count that fits");
    if (n > 0) Took(Bytes(into.bytes.begin(), into.bytes.begin() + n));
    // The maker's printer hands bytes to Java's reads alone, and the buffer holds at most
    // what the worker took and Java has not read.
    const PrinterModel& maker = m_printers[kMakerIndex];
    if (maker.id != 0) {
      Require(maker.cursor == printersim::BytesDelivered(maker.id), "Java missed bytes of the maker's printer");
    }
  }

  // Bytes one read gave Java: all from one printer (a read takes from one source), and
  // exactly the next ones its reads took.
  void Took(const Bytes& bytes) {
    const int index = SenderOf(bytes[0]);
    Require(index < kPrinters, "Java read a byte no printer sent");
    PrinterModel& printer = m_printers[index];
    for (const std::uint8_t byte : bytes) {
      Require(SenderOf(byte) == index, "one read gave bytes of two printers");
    }
    Require(printer.id != 0, "Java read bytes of a printer never plugged in");
    if (printer.kind == kPrinterClass) {
      if (m_firstReadAfterBringUp) {
        for (const std::uint8_t byte : bytes) {
          Require(EpochOf(byte) == (printer.epoch & 1u),
                  "the first read after an open returned a byte the printer sent before it");
        }
      }
      m_firstReadAfterBringUp = false;
    }
    std::uint64_t at = 0;
    Require(FindRun(bytes, printersim::Delivered(printer.id), printer.cursor, printer.gapAllowed, &at),
            "Java read bytes other than the next ones its printer handed over");
    printer.cursor = at + bytes.size();
    printer.gapAllowed = false;
    g_readBytes += bytes.size();
  }

  bool BufferHoldsBytes() {
    const auto deadline = Clock::now() + std::chrono::milliseconds(20);
    while (m_java.BytesAvailable() == 0) {
      if (!AnyUndeliveredBytes() || Clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
  }

  bool AnyUndeliveredBytes() {
    for (const PrinterModel& printer : m_printers) {
      if (printer.id != 0 && printer.kind == kPrinterClass &&
          printersim::BytesDelivered(printer.id) > printer.cursor) {
        return true;
      }
    }
    return false;
  }

  void Write() {
    const jint handle = PickHandle();
    const int shape = m_input.ConsumeIntegralInRange(0, 7);
    if (shape == 0) {
      Require(m_java.Write(nullptr, handle) == ERROR_INVALID_PARAMETER, "a null array writes nothing");
      return;
    }
    const std::size_t size = shape == 1 ? 0 : m_input.ConsumeIntegralInRange<std::size_t>(1, 200);
    WriteText(handle, size);
  }

  // Writes `size` bytes of text; 0 or the error code. A write that reports success is
  // followed to the printer it reached.
  jint WriteText(jint handle, std::size_t size) {
    FakeArray text;
    for (std::size_t i = 0; i < size; ++i) {
      const std::uint8_t byte = WrittenByte(m_written.size());
      text.bytes.push_back(static_cast<jbyte>(byte));
      m_written.push_back(byte);
    }
    std::size_t before[kPrinters] = {};
    for (int i = 0; i < kPrinters; ++i) {
      if (m_printers[i].id != 0) before[i] = printersim::Received(m_printers[i].id).size();
    }
    const jint result = m_java.Write(&text, handle);
    Require(result >= 0, "usbWriteOutputPipe gives 0 or a Win32 error code");
    if (result != 0 || size == 0) return result;
    m_writtenWithSuccess += size;
    for (int i = 0; i < kPrinters; ++i) {
      if (m_printers[i].id == 0 || printersim::Received(m_printers[i].id).size() == before[i]) continue;
      Require(m_writeDestination == -1 || m_writeDestination == i,
              "a write reached another printer than the one before it, with no open between");
      m_writeDestination = i;
      m_destinationSerial = m_printers[i].serial;
    }
    return result;
  }

  void Control() {
    const jint handle = PickHandle();
    jint result = 0;
    switch (m_input.ConsumeIntegralInRange(0, 2)) {
      case 0:
        m_java.GetCommTimeout(handle);  // a timeout or an error code: any value
        return;
      case 1: {
        // Timeouts under which a read on the maker's driver ends soon: at once, at the first
        // byte or after at most 20 ms; the write fields are any values.
        const jint constant = m_input.ConsumeIntegralInRange(1, 20);
        jint read[3] = {-1, 0, 0};
        switch (m_input.ConsumeIntegralInRange(0, 3)) {
          case 0: break;
          case 1: read[1] = -1; read[2] = constant; break;
          case 2: read[2] = constant; break;
          default: read[0] = m_input.ConsumeIntegralInRange(1, 10); read[2] = constant; break;
        }
        result = m_java.SetCommTimeout(handle, read[0], read[1], read[2], m_input.ConsumeIntegral<jint>(),
                                       m_input.ConsumeIntegral<jint>());
        break;
      }
      default:
        result = m_java.Purge(handle);
        break;
    }
    Require(result >= 0, "usbSetCommTimeout and usbPurgeRequest give 0, 1 or a Win32 error code");
  }

  void Constants() {
    Require(m_java.GenericRead() == JavaThread::kRead, "usbGetGenericReadValue is GENERIC_READ");
    Require(m_java.GenericWrite() == JavaThread::kWrite, "usbGetGenericWriteValue is GENERIC_WRITE");
    const jint available = m_java.BytesAvailable();
    Require(available >= 0 && available <= kRingSize, "usbGetBytesAvailable fits the buffer");
    m_java.LastError();
  }

  void ErrorText() {
    const jint code = m_input.ConsumeBool() ? m_input.ConsumeIntegralInRange(0, 1500) : m_input.ConsumeIntegral<jint>();
    const std::string text = m_java.ErrorString(code);
    const std::string failed = "FormatMessage failed: " + std::to_string(code) + "\n";
    const bool systemText = text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
    Require(systemText || text == failed, "usbGetErrorString gives a system text or says it failed");
  }

  // ---- The printers ----

  // A printer that has been plugged in, when there is one; it may be unplugged now.
  PrinterModel* Printer() {
    PrinterModel& printer = m_printers[m_input.ConsumeIntegralInRange(0, kPrinters - 1)];
    return printer.id != 0 ? &printer : nullptr;
  }

  void PlugIn() {
    const int index = m_input.ConsumeIntegralInRange(0, kPrinters - 1);
    PrinterModel& printer = m_printers[index];
    if (printer.id != 0) return;
    const std::vector<std::uint32_t> ids = printersim::SupportedIds();
    const std::uint32_t pair = ids[m_input.ConsumeIntegralInRange<std::size_t>(0, ids.size() - 1)];
    printer.serial = "FZ" + std::to_string(index);
    printer.id = printersim::Attach(printer.kind, static_cast<int>(pair >> 16),
                                    static_cast<int>(pair & 0xFFFF), printer.serial);
    printer.present = true;
  }

  // Plugged back as it was, or under another serial: another printer to the host, which
  // may be that of no other printer of the run.
  void Replug() {
    PrinterModel* printer = Printer();
    if (printer == nullptr) return;
    printer->present = true;
    if (m_input.ConsumeBool()) {
      printersim::Reattach(printer->id);
      return;
    }
    const int index = static_cast<int>(printer - m_printers);
    printer->serial = "FZ" + std::to_string(index) + "-" + std::to_string(m_input.ConsumeIntegralInRange(0, 3));
    printersim::Reattach(printer->id, printer->serial);
  }

  void Send() {
    PrinterModel* printer = Printer();
    if (printer == nullptr) return;
    const std::uint64_t size = m_input.ConsumeIntegralInRange<std::uint64_t>(0, 600);
    Bytes bytes(size);
    for (std::uint8_t& byte : bytes) {
      byte = SentByte(static_cast<int>(printer - m_printers), printer->epoch, printer->sent++);
    }
    printersim::Send(printer->id, bytes);
    if (printer->kind == kPrinterClass) LetTheWorkerTakeWhatItCan(*printer);
  }

  // A worker reads what a printer sends in its own time; the model gives it a moment, until
  // the printer holds nothing more or the buffer is full, so that what Java reads next
  // does not depend on how quickly the worker ran.
  void LetTheWorkerTakeWhatItCan(const PrinterModel& printer) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(100);
    while (Clock::now() < deadline) {
      const std::uint64_t gone = printersim::BytesDelivered(printer.id) +
                                 printersim::BytesLostWithTheDevice(printer.id) +
                                 printersim::BytesPurged(printer.id);
      if (gone >= printer.sent || m_java.BytesAvailable() > kRingSize - 64) return;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }

  DWORD ReadError() {
    return m_input.PickValueInArray<DWORD>({ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE,
                                            ERROR_DEVICE_NOT_CONNECTED, ERROR_OPERATION_ABORTED,
                                            ERROR_GEN_FAILURE, ERROR_SEM_TIMEOUT, ERROR_FILE_NOT_FOUND});
  }

  DWORD OpenError() {
    return m_input.PickValueInArray<DWORD>({ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED,
                                            ERROR_SHARING_VIOLATION, ERROR_GEN_FAILURE});
  }

  void ClearFaults() {
    printersim::ClearEnumerationErrors();
    for (const PrinterModel& printer : m_printers) {
      if (printer.id == 0) continue;
      printersim::FailNextReads(printer.id, 0, 0);
      printersim::FailNextDataReads(printer.id, 0, 0);
      printersim::FailNextOpens(printer.id, 0, 0);
      printersim::LimitWrites(printer.id, MAXDWORD);
    }
  }

  // ---- Progress ----

  // The printer comes back and the faults clear; a Printer Class port whose pipes Java holds
  // must then work again by itself, with the values Java holds: a write reaches the printer
  // its writes reached before, and a byte that printer sends reaches Java.
  void SettleAndCheckProgress() {
    ClearFaults();
    const bool classSession = m_sessionKind[0] == kPrinterClass && m_sessionKind[1] == kPrinterClass;
    if (!classSession || m_writeDestination < 0 || m_printers[kMakerIndex].id != 0) return;
    PrinterModel& printer = m_printers[m_writeDestination];
    // A printer back under another serial is another printer: nothing to recover.
    if (printer.serial != m_destinationSerial) return;
    if (!printer.present) printersim::Reattach(printer.id);
    printer.present = true;
    ++g_settles;
    const jint writeHandle = m_java.writeHandle();
    const jint readHandle = m_java.readHandle();
    const auto deadline = Clock::now() + std::chrono::seconds(3);
    while (WriteText(writeHandle, 1) != 0) {
      Require(Clock::now() < deadline, "after a replug, writes with the value Java holds never reached the printer");
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const int index = static_cast<int>(&printer - m_printers);
    const std::uint8_t byte = SentByte(index, printer.epoch, printer.sent++);
    printersim::Send(printer.id, Bytes{byte});
    const std::uint64_t wanted = printer.sent;
    for (;;) {
      Require(Clock::now() < deadline, "after a replug, bytes the printer sent never reached Java");
      FakeArray into{std::vector<jbyte>(64)};
      const jint n = m_java.Read(&into, readHandle);
      if (n > 0) Took(Bytes(into.bytes.begin(), into.bytes.begin() + n));
      if (printersim::BytesDelivered(printer.id) + printersim::BytesLostWithTheDevice(printer.id) +
                  printersim::BytesPurged(printer.id) >= wanted &&
          printer.cursor == printersim::BytesDelivered(printer.id)) {
        break;
      }
    }
  }

  // A Printer Class printer that holds nothing to send, with no read fault armed, costs a
  // few dozen reads a second at most, in every read mode. Each check takes a quarter of a
  // second, so an input makes a few at most.
  void CheckIdleCost() {
    if (m_idleChecksLeft == 0) return;
    --m_idleChecksLeft;
    ClearFaults();
    std::vector<int> idle;
    for (const PrinterModel& printer : m_printers) {
      if (printer.id == 0 || printer.kind != kPrinterClass) continue;
      if (printersim::BytesDelivered(printer.id) + printersim::BytesLostWithTheDevice(printer.id) +
              printersim::BytesPurged(printer.id) == printer.sent) {
        idle.push_back(printer.id);
      }
    }
    if (idle.empty()) return;
    ++g_idleChecks;
    std::uint64_t before = 0;
    for (int id : idle) before += printersim::ReadsIssued(id);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    std::uint64_t after = 0;
    for (int id : idle) after += printersim::ReadsIssued(id);
    Require(after - before <= 30, "an idle printer cost more than a few dozen reads a second");
  }

  // ---- The end ----

  // Java closes every handle it was ever given, and once more the values it holds now.
  void CloseEverything() {
    for (const jint handle : m_given) m_java.Close(handle);
    m_java.CloseBoth();
    m_java.Close(-1);
  }

  void CheckPrinters() {
    std::uint64_t received = 0;
    for (const PrinterModel& printer : m_printers) {
      if (printer.id == 0) continue;
      const Bytes bytes = printersim::Received(printer.id);
      Require(IsSubsequence(bytes, m_written), "a printer received bytes Java never wrote, or out of order");
      received += bytes.size();
    }
    Require(received >= m_writtenWithSuccess, "a write reported success for bytes no printer received");
  }

  FuzzedDataProvider& m_input;
  JavaThread m_java;
  PrinterModel m_printers[kPrinters];
  std::set<jint> m_given;        // every handle value Java was given
  std::set<jint> m_closed;       // values Java was given and a close ended
  std::set<jint> m_nativeReads;  // maker's read handles Java holds open
  Bytes m_written;               // every byte Java asked to write, in order
  std::uint64_t m_writtenWithSuccess = 0;
  int m_idleChecksLeft = 4;
  int m_writeDestination = -1;   // the printer writes reached since the last open
  std::string m_destinationSerial;
  jint m_sessionKind[2] = {-1, -1};  // what the last read and write open gave, until a close
  bool m_firstReadAfterBringUp = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool installed = [] {
    printersim::Install();
    hostwin::SetDebugOutputObserver([](const char* line) {
      if (std::strstr(line, "*****Creating m_hWorkerThread*****") != nullptr) ++g_bringUps;
      if (std::strstr(line, ") Read abandoned:") != nullptr) ++g_abandonedReads;
    });
    std::atexit([] {
      std::fprintf(stderr, "application_fuzz: %llu steps in %llu runs; Java read %llu bytes; "
                   "%llu settles with progress checked, %llu idle checks\n",
                   static_cast<unsigned long long>(g_steps), static_cast<unsigned long long>(g_runs),
                   static_cast<unsigned long long>(g_readBytes),
                   static_cast<unsigned long long>(g_settles),
                   static_cast<unsigned long long>(g_idleChecks));
    });
    return true;
  }();
  (void)installed;
  printersim::Reset();
  hostwin::ClearDebugOutput();
  FuzzedDataProvider input(data, size);
  Application(input).Run();
  ++g_runs;
  printersim::Reset();
  hostwin::ClearDebugOutput();
  return 0;
}
