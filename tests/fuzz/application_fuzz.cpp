// A random application: sequences of the twelve natives with arbitrary arguments, from one
// Java thread, mixed with what printers do (plug in, send, unplug, plug back, fail reads,
// opens and enumerations, take less of a write). A small model of what was sent and written
// checks every step:
//  - each call's result is one its documentation allows;
//  - the bytes Java reads are, per printer, the bytes it sent, in order, some perhaps lost,
//    none invented;
//  - what each printer received is, in order, bytes Java wrote, none invented, and at least
//    as many as the writes that reported success carried;
//  - once Java has closed every handle it was given, the library holds no handle more than
//    before.
// The maker's printer answers idle reads at once and a Printer Class read is made only when
// the buffer holds bytes, so no step waits for a timeout.
#include <fuzzer/FuzzedDataProvider.h>
#include <hostwin/hostwin.h>
#include <printersim/printersim.h>

#include <chrono>
#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/NativePort.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// Steps taken over the whole run, said at its end.
std::uint64_t g_steps = 0;
std::uint64_t g_runs = 0;
std::uint64_t g_readBytes[2] = {0, 0};

constexpr int kMaker = 0;
constexpr int kPrinterClass = 1;
constexpr jint kRingSize = 4096;

void Require(bool condition, const char* what) {
  if (condition) return;
  std::fprintf(stderr, "application_fuzz: %s\n", what);
  std::abort();
}

// The bytes a printer sends: the maker's printer 0x00..0x7F, the Printer Class one
// 0x80..0xFF, so that each byte Java reads names the printer it came from.
std::uint8_t SentByte(int kind, std::uint64_t n) {
  return static_cast<std::uint8_t>((kind == kPrinterClass ? 0x80u : 0u) | ((n * 37u + 11u) & 0x7Fu));
}

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
// exactly those, in that order. The maker's printer is read by Java alone. The Printer
// Class one is read by the worker into the buffer, whose content a close of the port throws
// away, and a read open drops what the worker stored before it: after either, Java's next
// bytes may start further on.
struct PrinterModel {
  int id = 0;               // 0: never plugged in during this run
  std::uint64_t sent = 0;   // bytes it was asked to send, present or not
  std::uint64_t cursor = 0; // bytes of its log that Java has read or a close threw away
  bool gapAllowed = false;  // a close or an open may have thrown bytes away since the last read
};

class Application {
 public:
  explicit Application(FuzzedDataProvider& input) : m_input(input) {}

  void Run() {
    const int handlesAtStart = hostwin::OpenHandleCount();
    int steps = 0;
    while (m_input.remaining_bytes() > 0 && steps++ < 400) {
      Step();
      ++g_steps;
    }
    CloseEverything();
    CheckPrinters();
    Require(hostwin::OpenHandleCount() == handlesAtStart, "the library holds handles after every close");
  }

 private:
  void Step() {
    switch (m_input.ConsumeIntegralInRange(0, 19)) {
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
        if (const PrinterModel* printer = Printer()) {
          printersim::Detach(printer->id, m_input.PickValueInArray<DWORD>(
                                              {ERROR_ACCESS_DENIED, ERROR_DEVICE_NOT_CONNECTED,
                                               ERROR_GEN_FAILURE, ERROR_INVALID_HANDLE}));
        }
        break;
      case 12:
        if (const PrinterModel* printer = Printer()) {
          if (m_input.ConsumeBool()) {
            printersim::Reattach(printer->id);
          } else {
            printersim::Reattach(printer->id, "FZ" + std::to_string(m_input.ConsumeIntegralInRange(0, 3)));
          }
        }
        break;
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
      case 17: {
        // Only the Printer Class driver pends reads; the maker's printer keeps answering
        // idle reads at once.
        PrinterModel& pc = m_printers[kPrinterClass];
        if (pc.id != 0) {
          printersim::SetReadMode(pc.id, m_input.PickValueInArray({printersim::kReadsPendUntilData,
                                                                   printersim::kReadsCompleteAtOnce,
                                                                   printersim::kReadsQueued}));
        }
        break;
      }
      case 18:
        printersim::InjectEnumerationErrors(m_input.ConsumeIntegralInRange(0, 1),
                                            m_input.ConsumeIntegralInRange<std::size_t>(0, 2),
                                            m_input.PickValueInArray<DWORD>(
                                                {ERROR_NO_MORE_ITEMS, ERROR_INVALID_PARAMETER,
                                                 ERROR_NOT_ENOUGH_MEMORY}),
                                            m_input.ConsumeIntegralInRange(1, 2),
                                            m_input.ConsumeIntegralInRange(1, 3));
        break;
      default:
        if (const PrinterModel* printer = Printer()) {
          printersim::LimitWrites(printer->id, m_input.ConsumeBool()
                                                   ? MAXDWORD
                                                   : m_input.ConsumeIntegralInRange<DWORD>(0, 16));
        }
        break;
    }
  }

  // ---- Java's calls ----

  void Open(jint access) {
    const jint kind = m_java.Init(access);
    Require(kind == -1 || kind == kMaker || kind == kPrinterClass, "usbInitPipe gives -1, 0 or 1");
    if (access != JavaThread::kRead && access != JavaThread::kWrite) {
      Require(kind == -1, "an unknown access opens nothing");
    }
    if (kind == -1) return;
    const jint handle = access == JavaThread::kRead ? m_java.readHandle() : m_java.writeHandle();
    m_given.insert(handle);
    if (access == JavaThread::kRead && kind == kMaker) m_nativeReads.insert(handle);
    // Opening the Printer Class read pipe drops what the worker stored before it.
    if (access == JavaThread::kRead && kind == kPrinterClass) m_printers[kPrinterClass].gapAllowed = true;
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
    if (result == 0) m_nativeReads.erase(handle);
    if (result != ERROR_INVALID_HANDLE) m_printers[kPrinterClass].gapAllowed = true;
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
    // what the worker took and Java has not read. (The buffer is looked at first: the worker
    // may add to it, but only bytes its reads took before.)
    const PrinterModel& maker = m_printers[kMaker];
    if (maker.id != 0) {
      Require(maker.cursor == printersim::BytesDelivered(maker.id), "Java missed bytes of the maker's printer");
    }
    const PrinterModel& pc = m_printers[kPrinterClass];
    if (pc.id != 0) {
      const auto available = static_cast<std::uint64_t>(m_java.BytesAvailable());
      Require(pc.cursor + available <= printersim::BytesDelivered(pc.id), "the buffer holds more than the reads took");
    }
  }

  // Bytes one read gave Java: all from one printer (a read takes from one source), and
  // exactly the next ones its reads took.
  void Took(const Bytes& bytes) {
    const int kind = (bytes[0] & 0x80u) != 0 ? kPrinterClass : kMaker;
    PrinterModel& printer = m_printers[kind];
    for (const std::uint8_t byte : bytes) {
      Require(((byte & 0x80u) != 0) == (kind == kPrinterClass), "one read gave bytes of both printers");
    }
    Require(printer.id != 0, "Java read bytes of a printer never plugged in");
    std::uint64_t at = 0;
    Require(FindRun(bytes, printersim::Delivered(printer.id), printer.cursor, printer.gapAllowed, &at),
            "Java read bytes other than the next ones its printer handed over");
    printer.cursor = at + bytes.size();
    printer.gapAllowed = false;
    g_readBytes[kind] += bytes.size();
  }

  bool BufferHoldsBytes() {
    const PrinterModel& pc = m_printers[kPrinterClass];
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(20);
    while (m_java.BytesAvailable() == 0) {
      if (pc.id == 0 || printersim::BytesDelivered(pc.id) <= pc.cursor ||
          std::chrono::steady_clock::now() > deadline) {
        return false;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
  }

  void Write() {
    const jint handle = PickHandle();
    const int shape = m_input.ConsumeIntegralInRange(0, 7);
    if (shape == 0) {
      Require(m_java.Write(nullptr, handle) == ERROR_INVALID_PARAMETER, "a null array writes nothing");
      return;
    }
    FakeArray text;
    const std::size_t size = shape == 1 ? 0 : m_input.ConsumeIntegralInRange<std::size_t>(1, 200);
    for (std::size_t i = 0; i < size; ++i) {
      const std::uint8_t byte = WrittenByte(m_written.size());
      text.bytes.push_back(static_cast<jbyte>(byte));
      m_written.push_back(byte);
    }
    const jint result = m_java.Write(&text, handle);
    Require(result >= 0, "usbWriteOutputPipe gives 0 or a Win32 error code");
    if (result == 0) m_writtenWithSuccess += size;
  }

  void Control() {
    const jint handle = PickHandle();
    jint result = 0;
    switch (m_input.ConsumeIntegralInRange(0, 2)) {
      case 0:
        m_java.GetCommTimeout(handle);  // a timeout or an error code: any value
        return;
      case 1: {
        jint fields[5];
        for (jint& field : fields) {
          field = m_input.ConsumeBool() ? m_input.ConsumeIntegralInRange(-1, 1000) : m_input.ConsumeIntegral<jint>();
        }
        result = m_java.SetCommTimeout(handle, fields[0], fields[1], fields[2], fields[3], fields[4]);
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

  // A printer of either kind, when one has been plugged in; it may be unplugged now.
  const PrinterModel* Printer() {
    const PrinterModel& printer = m_printers[m_input.ConsumeIntegralInRange(0, 1)];
    return printer.id != 0 ? &printer : nullptr;
  }

  void PlugIn() {
    const int kind = m_input.ConsumeIntegralInRange(0, 1);
    PrinterModel& printer = m_printers[kind];
    if (printer.id != 0) return;  // one printer of each kind, so that bytes name theirs
    const std::vector<std::uint32_t> ids = printersim::SupportedIds();
    const std::uint32_t pair = ids[m_input.ConsumeIntegralInRange<std::size_t>(0, ids.size() - 1)];
    printer.id = printersim::Attach(kind, static_cast<int>(pair >> 16), static_cast<int>(pair & 0xFFFF),
                                    "FZ" + std::to_string(kind));
  }

  void Send() {
    const int kind = m_input.ConsumeIntegralInRange(0, 1);
    PrinterModel& printer = m_printers[kind];
    if (printer.id == 0) return;
    std::uint64_t size = m_input.ConsumeIntegralInRange<std::uint64_t>(0, 600);
    if (kind == kPrinterClass) {
      // What the printer and the buffer hold together stays within the buffer's size, so
      // the buffer never has to drop bytes.
      const std::uint64_t gone = printersim::BytesLostWithTheDevice(printer.id) +
                                 printersim::BytesPurged(printer.id) + printer.cursor;
      const std::uint64_t held = printer.sent - std::min(printer.sent, gone);
      size = std::min<std::uint64_t>(size, kRingSize - std::min<std::uint64_t>(held, kRingSize));
    }
    Bytes bytes(size);
    for (std::uint8_t& byte : bytes) byte = SentByte(kind, printer.sent++);
    printersim::Send(printer.id, bytes);
  }

  DWORD ReadError() {
    return m_input.PickValueInArray<DWORD>({ERROR_ACCESS_DENIED, ERROR_INVALID_HANDLE,
                                            ERROR_DEVICE_NOT_CONNECTED, ERROR_OPERATION_ABORTED,
                                            ERROR_GEN_FAILURE, ERROR_SEM_TIMEOUT});
  }

  DWORD OpenError() {
    return m_input.PickValueInArray<DWORD>({ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED,
                                            ERROR_SHARING_VIOLATION, ERROR_GEN_FAILURE});
  }

  // ---- The end ----

  // Java closes every handle it was ever given, and once more a value of none, which ends
  // a Printer Class port whose handles the library has replaced since.
  void CloseEverything() {
    for (const jint handle : m_given) m_java.Close(handle);
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
  PrinterModel m_printers[2];
  std::set<jint> m_given;        // every handle value Java was given
  std::set<jint> m_nativeReads;  // maker's read handles Java holds open
  Bytes m_written;               // every byte Java asked to write, in order
  std::uint64_t m_writtenWithSuccess = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool installed = [] {
    printersim::Install();
    std::atexit([] {
      std::fprintf(stderr, "application_fuzz: %llu steps in %llu runs; Java read %llu bytes of the "
                   "maker's printer and %llu of the Printer Class one\n",
                   static_cast<unsigned long long>(g_steps), static_cast<unsigned long long>(g_runs),
                   static_cast<unsigned long long>(g_readBytes[0]),
                   static_cast<unsigned long long>(g_readBytes[1]));
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
