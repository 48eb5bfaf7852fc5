// The library as an application meets it, through the twelve natives: on the host straight
// into the library on the stand-in, under Windows (Wine) through the exports of the shipped
// DLL with the simulated printers behind its imports. Every figure is printed beside the
// platform's floor, measured in the same run, and as a ratio to it: the time one event
// hand-off between two threads takes (SetEvent, then the other thread's wait returning),
// and one uncontended mutex wait-and-release pair. Absolute times on different platforms
// say little; the ratios compare.
//
//   natives_bench [rounds]      (default 2000 status round trips)
#include <printersim/printersim.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <time.h>
#endif

#include "support/NativePort.h"

namespace {

using Clock = std::chrono::steady_clock;

double Microseconds(Clock::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double Percentile(std::vector<double> values, double fraction) {
  std::sort(values.begin(), values.end());
  return values[static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1))];
}

// CPU time of the whole process so far, in milliseconds.
double ProcessCpuMs() {
#ifdef _WIN32
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  const auto ms = [](const FILETIME& t) {
    return static_cast<double>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e4;
  };
  return ms(kernel) + ms(user);
#else
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
#endif
}

// ---- Floors ----------------------------------------------------------------------------

// One hand-off: the median of half a ping-pong between two threads on two auto-reset events.
double EventHandOffUs(int rounds) {
  HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  std::thread partner([&] {
    for (int i = 0; i < rounds; ++i) {
      WaitForSingleObject(ping, INFINITE);
      SetEvent(pong);
    }
  });
  std::vector<double> halves;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    SetEvent(ping);
    WaitForSingleObject(pong, INFINITE);
    halves.push_back(Microseconds(Clock::now() - start) / 2);
  }
  partner.join();
  CloseHandle(ping);
  CloseHandle(pong);
  return Median(halves);
}

// One wait-and-release of a free mutex: the median over batches of 100.
double MutexPairUs(int batches) {
  HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
  std::vector<double> pairs;
  for (int b = 0; b < batches; ++b) {
    const auto start = Clock::now();
    for (int i = 0; i < 100; ++i) {
      WaitForSingleObject(mutex, INFINITE);
      ReleaseMutex(mutex);
    }
    pairs.push_back(Microseconds(Clock::now() - start) / 100);
  }
  CloseHandle(mutex);
  return Median(pairs);
}

// ---- Figures through the natives --------------------------------------------------------

int AttachPrinterClass() {
  printersim::Reset();
  const std::uint32_t pair = printersim::SupportedIds()[0];
  return printersim::Attach(printersim::kPrinterClassDriver, static_cast<int>(pair >> 16),
                            static_cast<int>(pair & 0xFFFF));
}

// A status request written and its one-byte reply read back, each round.
std::vector<double> StatusRoundTripsUs(int rounds) {
  AttachPrinterClass();
  JavaThread java;
  java.OpenBoth(1);
  std::vector<double> trips;
  FakeArray request;
  request.bytes = {0x10, 0x04, 1};
  FakeArray reply{std::vector<jbyte>(1)};
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    java.Write(&request, java.writeHandle());
    while (java.Read(&reply, java.readHandle()) != 1) {
    }
    trips.push_back(Microseconds(Clock::now() - start));
  }
  java.CloseBoth();
  return trips;
}

// Bytes per second from the printer to Java: the printer sends 64-byte pieces (the worker's
// read size) while what is sent and not yet taken stays within the 4096-byte buffer.
double ThroughputBytesPerS(std::size_t total) {
  const int printer = AttachPrinterClass();
  JavaThread java;
  java.OpenBoth(1);
  std::atomic<std::size_t> taken{0};
  std::thread sender([&] {
    std::vector<std::uint8_t> piece(64, 0x55);
    std::size_t sent = 0;
    while (sent < total) {
      if (sent - taken.load() + piece.size() > 4096) {
        std::this_thread::yield();
        continue;
      }
      printersim::Send(printer, piece);
      sent += piece.size();
    }
  });
  const auto start = Clock::now();
  FakeArray into{std::vector<jbyte>(4096)};
  while (taken.load() < total) {
    const jint n = java.Read(&into, java.readHandle());
    if (n > 0) taken += static_cast<std::size_t>(n);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sender.join();
  java.CloseBoth();
  return static_cast<double>(total) / seconds;
}

// The process's CPU time per second of wall time over `seconds`, with a read pipe open on an
// idle printer (or with nothing open, for the floor).
double IdleCpuMsPerS(bool withPort, int seconds) {
  AttachPrinterClass();
  JavaThread java;
  if (withPort) java.Init(JavaThread::kRead);
  const double before = ProcessCpuMs();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const double used = ProcessCpuMs() - before;
  if (withPort) java.Close(java.readHandle());
  return used / seconds;
}

// From the close call to the return of a read that was waiting in another thread.
std::vector<double> CloseWithAReadWaitingUs(int rounds) {
  std::vector<double> closes;
  for (int i = 0; i < rounds; ++i) {
    AttachPrinterClass();
    JavaThread java;
    java.OpenBoth(1);
    std::atomic<long long> returnedAt{0};
    const jint handle = java.readHandle();
    std::thread reader([&] {
      JavaThread thread;
      FakeArray into{std::vector<jbyte>(8)};
      thread.Read(&into, handle);
      returnedAt = Clock::now().time_since_epoch().count();
    });
    // Until the reader waits inside the library.
    for (bool waiting = false; !waiting;) {
      for (const std::string& line : TakeDebugOutput()) {
        waiting = waiting || line.find("Before WaitForMultipleObjects") != std::string::npos;
      }
    }
    const auto start = Clock::now();
    java.Close(handle);
    reader.join();
    closes.push_back(Microseconds(Clock::duration(returnedAt.load()) - start.time_since_epoch()));
  }
  return closes;
}

void Row(const char* figure, double value, const char* unit, double floor, const char* floorName) {
  std::printf("%-34s %12.1f %-6s  floor %-22s %10.2f us  ratio %8.1f\n", figure, value, unit,
              floorName, floor, value / floor);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
#ifdef _WIN32
  std::printf("VantoryUSB through the natives: the shipped DLL under Windows (Wine)\n");
#else
  std::printf("VantoryUSB through the natives: the host library on the Win32 stand-in\n");
#endif
  TakeDebugOutput();
  const double handOff = EventHandOffUs(rounds);
  const double mutexPair = MutexPairUs(rounds);
  std::printf("floors: event hand-off %.2f us, mutex wait-and-release %.2f us\n\n", handOff,
              mutexPair);

  const std::vector<double> trips = StatusRoundTripsUs(rounds);
  Row("status round trip, median", Median(trips), "us", 2 * handOff, "two hand-offs");
  Row("status round trip, p99", Percentile(trips, 0.99), "us", 2 * handOff, "two hand-offs");

  const double bytesPerS = ThroughputBytesPerS(4u << 20);
  // At the floor every 64-byte read costs one hand-off and nothing else.
  const double floorBytesPerS = 64.0 / (handOff / 1e6);
  std::printf("%-34s %12.0f %-6s  floor %-22s %10.0f B/s ratio %8.3f\n", "receive throughput",
              bytesPerS, "B/s", "64 B per hand-off", floorBytesPerS, bytesPerS / floorBytesPerS);
  TakeDebugOutput();

  const double idleFloor = IdleCpuMsPerS(false, 2);
  const double idle = IdleCpuMsPerS(true, 2);
  std::printf("%-34s %12.3f %-6s  floor %-22s %10.3f ms/s\n", "idle worker, process CPU", idle,
              "ms/s", "nothing open", idleFloor);
  TakeDebugOutput();

  const std::vector<double> closes = CloseWithAReadWaitingUs(std::max(10, rounds / 40));
  Row("close with a read waiting, median", Median(closes), "us", handOff, "one hand-off");
  Row("close with a read waiting, max", *std::max_element(closes.begin(), closes.end()), "us",
      handOff, "one hand-off");
  Row("mutex floor, for scale", mutexPair, "us", handOff, "one hand-off");
  printersim::Reset();
  return 0;
}
