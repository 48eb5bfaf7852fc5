// The soak: many sessions and many replugs, through the natives, with every byte counted on
// both sides. On the host it runs the library on the stand-in; under Windows (Wine) the
// shipped DLL with the simulated printers behind its imports.
//
//   port_soak [sessions] [replugs]     (default 10000 and 1000)
//
// Sessions: open both pipes, then close them, again and again, on either driver in turn,
// while a reader thread reads and a writer thread writes on whatever handles are current.
// Every write that reported success reached the printer; the library holds no handle more
// at the end than at the start.
//
// Replugs: a Printer Class port stays open while the printer is unplugged and plugged back,
// with bytes flowing both ways all the time. The printer sends numbered bytes, paced so that
// the 4096-byte receive buffer never overflows; what Java reads is the stream as sent, in
// order, less only what never left the printer: what it sent while unplugged or had not
// handed over when it was unplugged (lost with the device), and what the purge of input
// after a reopen threw away. Both are counted. Every write that reported success
// reached the printer. Exits 0 when everything adds up.
#include <printersim/printersim.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/NativePort.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

int g_failures = 0;

void Check(bool ok, const std::string& what) {
  if (ok) return;
  ++g_failures;
  std::printf("FAILED: %s\n", what.c_str());
  std::fflush(stdout);
}

int Attach(int driverKind) {
  const std::uint32_t pair = printersim::SupportedIds()[0];
  return printersim::Attach(driverKind, static_cast<int>(pair >> 16), static_cast<int>(pair & 0xFFFF));
}

void Progress(const char* what, int done, int total, Clock::time_point start) {
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("  %s: %d of %d (%.0f s)\n", what, done, total, seconds);
  std::fflush(stdout);
}

// ---- Sessions ----------------------------------------------------------------------------

void SoakSessions(int sessions) {
  std::printf("sessions: %d open/close cycles with a reader and a writer running\n", sessions);
  const auto start = Clock::now();
  const int handlesAtStart = LiveHandleCount();
  for (int kind : {printersim::kMakerDriver, printersim::kPrinterClassDriver}) {
    printersim::Reset();
    const int printer = Attach(kind);
    std::atomic<bool> stop{false};
    std::atomic<jint> readHandle{0};
    std::atomic<jint> writeHandle{0};
    std::atomic<std::uint64_t> written{0};
    std::thread reader([&] {
      JavaThread java;
      FakeArray into{std::vector<jbyte>(64)};
      while (!stop.load()) java.Read(&into, readHandle.load());
    });
    std::thread writer([&] {
      JavaThread java;
      FakeArray status;
      status.bytes = {0x10, 0x04, 1};
      while (!stop.load()) {
        if (java.Write(&status, writeHandle.load()) == 0) written += status.bytes.size();
      }
    });
    JavaThread java;
    const int rounds = sessions / 2;
    for (int i = 0; i < rounds; ++i) {
      if (!java.OpenBoth(kind)) {
        Check(false, "session " + std::to_string(i) + " did not open");
        break;
      }
      readHandle = java.readHandle();
      writeHandle = java.writeHandle();
      java.CloseBoth();
      if ((i + 1) % 1000 == 0) Progress(kind == 0 ? "maker's driver" : "printer class", i + 1, rounds, start);
    }
    stop = true;
    reader.join();
    writer.join();
    java.Close(0);
    const std::uint64_t received = printersim::Received(printer).size();
    Check(received == written.load(), "sessions, driver " + std::to_string(kind) + ": " +
                                          std::to_string(written.load()) + " bytes written, " +
                                          std::to_string(received) + " received");
    std::printf("  driver kind %d: %d sessions, %llu bytes written, all received\n", kind, rounds,
                static_cast<unsigned long long>(written.load()));
  }
  printersim::Reset();
  Check(LiveHandleCount() == handlesAtStart,
        "sessions: handles left open: " + LiveHandleKinds());
}

// ---- Replugs -----------------------------------------------------------------------------

// The byte numbered n in the printer's stream.
std::uint8_t StreamByte(std::uint64_t n) { return static_cast<std::uint8_t>(n * 131 + (n >> 8)); }

void SoakReplugs(int replugs) {
  std::printf("replugs: %d unplug/replug cycles with bytes flowing both ways\n", replugs);
  const auto start = Clock::now();
  printersim::Reset();
  const int printer = Attach(printersim::kPrinterClassDriver);
  const int handlesAtStart = LiveHandleCount();
  JavaThread java;
  if (!java.OpenBoth(1)) {
    Check(false, "replugs: the port did not open");
    return;
  }

  std::atomic<bool> stop{false};
  std::atomic<std::uint64_t> sent{0};     // bytes the printer has sent
  std::atomic<std::uint64_t> taken{0};    // bytes Java has read
  std::atomic<std::uint64_t> written{0};  // bytes Java wrote with success
  std::atomic<bool> outOfOrder{false};

  // The printer sends while what is sent and not yet read stays within the ring buffer.
  std::thread sender([&] {
    Bytes piece(48);
    while (!stop.load()) {
      const std::uint64_t gone =
          printersim::BytesLostWithTheDevice(printer) + printersim::BytesPurged(printer);
      if (sent.load() - taken.load() - gone + piece.size() > 4096) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      for (std::size_t i = 0; i < piece.size(); ++i) piece[i] = StreamByte(sent.load() + i);
      printersim::Send(printer, piece);  // lost whole while the printer is away
      sent += piece.size();
      if (printersim::BytesLostWithTheDevice(printer) > gone - printersim::BytesPurged(printer)) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));  // away: no hurry
      }
    }
  });
  // Java reads the stream: each byte is the next one sent, or a later one when the bytes
  // between were lost with an unplugged device.
  std::thread reader([&] {
    JavaThread thread;
    FakeArray into{std::vector<jbyte>(256)};
    std::uint64_t expected = 0;
    while (!stop.load()) {
      const jint n = thread.Read(&into, java.readHandle());
      for (jint i = 0; i < n; ++i) {
        const auto byte = static_cast<std::uint8_t>(into.bytes[static_cast<std::size_t>(i)]);
        // Search forward only as far as bytes can have been lost.
        std::uint64_t at = expected;
        while (StreamByte(at) != byte && at < expected + 65536) ++at;
        if (StreamByte(at) != byte) outOfOrder = true;
        expected = at + 1;
      }
      if (n > 0) taken += static_cast<std::uint64_t>(n);
    }
  });
  std::thread writer([&] {
    JavaThread thread;
    FakeArray text;
    text.bytes = {'a', 'b', 'c', '\n'};
    while (!stop.load()) {
      if (thread.Write(&text, java.writeHandle()) == 0) written += text.bytes.size();
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
  });

  // Each cycle waits until bytes flow again, that is until the worker has found the printer
  // again, and then pulls the plug.
  const auto waitForBytes = [&](std::uint64_t since) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (taken.load() == since && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return taken.load() > since;
  };
  for (int i = 0; i < replugs; ++i) {
    if (!waitForBytes(taken.load())) {
      Check(false, "replugs: no byte arrived after replug " + std::to_string(i));
      break;
    }
    // Each way a driver reports a removal, in turn.
    static const DWORD kRemovals[] = {ERROR_ACCESS_DENIED, ERROR_DEVICE_NOT_CONNECTED,
                                      ERROR_FILE_NOT_FOUND, ERROR_INVALID_HANDLE};
    printersim::Detach(printer, kRemovals[i % 4]);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    printersim::Reattach(printer);
    if ((i + 1) % 100 == 0) Progress("replugs", i + 1, replugs, start);
  }
  Check(waitForBytes(taken.load()), "replugs: no byte arrived after the last replug");
  stop = true;
  sender.join();
  reader.join();
  writer.join();

  // What reads took and Java has not read yet waits in the ring buffer. The worker goes on
  // reading what the printer still holds, and a completed read reaches the ring a moment
  // after the printer counted it, so the two sides are compared once they have settled.
  std::uint64_t delivered = 0;
  std::uint64_t buffered = 0;
  const auto settleBy = Clock::now() + std::chrono::seconds(10);
  do {
    delivered = printersim::BytesDelivered(printer);
    buffered = static_cast<std::uint64_t>(java.BytesAvailable());
    if (delivered == taken.load() + buffered) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  } while (Clock::now() < settleBy);
  const std::uint64_t lost = printersim::BytesLostWithTheDevice(printer);
  const std::uint64_t purged = printersim::BytesPurged(printer);
  Check(!outOfOrder.load(), "replugs: a byte came out of order or was never sent");
  Check(delivered == taken.load() + buffered,
        "replugs: the library dropped bytes: " + std::to_string(delivered) + " delivered to reads, " +
            std::to_string(taken.load()) + " read by Java, " + std::to_string(buffered) + " buffered");
  const std::uint64_t received = printersim::Received(printer).size();
  Check(received == written.load(), "replugs: " + std::to_string(written.load()) +
                                        " bytes written with success, " + std::to_string(received) +
                                        " received by the printer");
  java.CloseBoth();
  Check(LiveHandleCount() == handlesAtStart, "replugs: handles left open: " + LiveHandleKinds());
  std::printf("  %d replugs; the printer sent %llu bytes: %llu read by Java, %llu lost with the "
              "device while it was away or at its removal, %llu discarded by the purge of a "
              "reopen, 0 dropped by the library; Java wrote %llu bytes, all received\n",
              replugs, static_cast<unsigned long long>(sent.load()),
              static_cast<unsigned long long>(taken.load()), static_cast<unsigned long long>(lost),
              static_cast<unsigned long long>(purged), static_cast<unsigned long long>(written.load()));
  printersim::Reset();
}

}  // namespace

int main(int argc, char** argv) {
  const int sessions = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int replugs = argc > 2 ? std::atoi(argv[2]) : 1000;
  TakeDebugOutput();
  SoakSessions(sessions);
  SoakReplugs(replugs);
  std::printf(g_failures == 0 ? "soak: everything adds up\n" : "soak: %d failures\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
