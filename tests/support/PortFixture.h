// The fixture of the suites that drive the port through its twelve natives alone, on the
// host and on the shipped DLL under Wine: a clean set of printers for each test, a Java
// thread of the test's own, the library's traces, and the checks every test ends with (no
// call left waiting, no handle left open).
#ifndef VANTORY_TESTS_PORTFIXTURE_H
#define VANTORY_TESTS_PORTFIXTURE_H

#include <gtest/gtest.h>
#include <printersim/printersim.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/Deadline.h"
#include "support/NativePort.h"
#include "support/TraceLines.h"

namespace port_fixture {

using namespace std::chrono_literals;
using printersim::kMakerDriver;
using printersim::kPrinterClassDriver;
using Bytes = std::vector<std::uint8_t>;

constexpr jint kMakerKind = 0;
constexpr jint kClassKind = 1;
constexpr auto kGenerous = std::chrono::milliseconds(10000);
constexpr jint kInvalidHandle = 6;      // ERROR_INVALID_HANDLE
constexpr jint kInvalidParameter = 87;  // ERROR_INVALID_PARAMETER

inline FakeArray ArrayOf(const Bytes& bytes) {
  FakeArray array;
  array.bytes.assign(bytes.begin(), bytes.end());
  return array;
}

class PortFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    printersim::Reset();
    ClearSystemFaults();
    TakeDebugOutput();
    m_handlesAtStart = LiveHandleCount();
  }

  void TearDown() override {
    ClearSystemFaults();
    FinishesWithin(5000ms, "closing the pipes", [this] { m_java.CloseBoth(); });
    printersim::Reset();
    EXPECT_EQ(LiveHandleCount(), m_handlesAtStart) << "handles left open: " << LiveHandleKinds();
  }

  // A supported printer; `index` picks the model from the supported list.
  static int Attach(int driverKind, int index = 0, const std::string& serial = "") {
    const std::uint32_t pair = printersim::SupportedIds()[static_cast<std::size_t>(index)];
    return printersim::Attach(driverKind, static_cast<int>(pair >> 16),
                              static_cast<int>(pair & 0xFFFF), serial);
  }

  const std::vector<std::string>& Traces() {
    for (const std::string& entry : TakeDebugOutput()) m_traces.push_back(WithoutLineNumber(entry));
    return m_traces;
  }

  // Waits until the debugger output has carried `line` (line numbers as "(#)").
  bool WaitForTrace(const std::string& line, std::chrono::milliseconds timeout = kGenerous) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (IndexOf(Traces(), line) == -1) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(2ms);
    }
    return true;
  }

  // Reads until `count` bytes have come, through usbReadInputPipe with `handle`.
  static Bytes ReadBytes(JavaThread& java, std::size_t count, jint handle) {
    Bytes got;
    const auto deadline = std::chrono::steady_clock::now() + kGenerous;
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      FakeArray array{std::vector<jbyte>(count - got.size())};
      const jint n = java.Read(&array, handle);
      for (jint i = 0; i < n; ++i) got.push_back(static_cast<std::uint8_t>(array.bytes[static_cast<std::size_t>(i)]));
    }
    return got;
  }

  // Waits until the receive buffer holds `count` bytes.
  bool WaitForBytesAvailable(jint count) {
    const auto deadline = std::chrono::steady_clock::now() + kGenerous;
    while (m_java.BytesAvailable() < count) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }

  // Writes `bytes` with the write name Java holds until a write succeeds, for at most
  // `limit`; true once one did. A port that has recovered takes the next write.
  bool WriteSucceedsWithin(const Bytes& bytes, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      FakeArray array = ArrayOf(bytes);
      if (m_java.Write(&array, m_java.writeHandle()) == 0) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(10ms);
    }
  }

  // Reads the printer issues over half a second: a worker on a failing or idle device must
  // pause between them, where a spinning one issues thousands.
  static std::uint64_t ReadsIssuedInHalfASecond(int printer) {
    const std::uint64_t before = printersim::ReadsIssued(printer);
    std::this_thread::sleep_for(500ms);
    return printersim::ReadsIssued(printer) - before;
  }

  jint CloseWithinOneSecond(jint handle) {
    const auto start = std::chrono::steady_clock::now();
    const jint result = FinishesWithin(5000ms, "usbClosePipe", [&] {
      JavaThread closer;
      return closer.Close(handle);
    });
    EXPECT_LT(ElapsedMs(start), 1000);
    return result;
  }

  // Forgets what the holder holds, once the test has closed it itself.
  void Forget() { m_java.jni().hReadPort = m_java.jni().hWritePort = 0; }

  JavaThread m_java;
  std::vector<std::string> m_traces;
  int m_handlesAtStart = 0;
};

}  // namespace port_fixture

#endif  // VANTORY_TESTS_PORTFIXTURE_H
