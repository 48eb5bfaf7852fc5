// A port object set up the way opening a Printer Class read pipe sets it up (overlapped
// read handle, three events, ring buffer, worker thread created suspended and resumed), on
// a simulated printer, and torn down the way closing does.
#ifndef VANTORY_TESTS_PIPELINEHARNESS_H
#define VANTORY_TESTS_PIPELINEHARNESS_H

#include <windows.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "comm/UsbComm.h"

class PipelineHarness {
 public:
  // Finds the printer into the port's device name and opens its input pipe overlapped.
  // The worker is not started yet, so a test can arm faults first.
  explicit PipelineHarness(int driverKind = kPrinterClassUsb);
  ~PipelineHarness();  // tears down if the test did not

  CUsbComm& port() { return *m_port; }
  void StartWorker();
  // Opens the printer's output pipe into the write handle, as a write pipe open does.
  void OpenWritePipe();
  // The close's teardown; its result.
  std::int32_t TearDown();
  bool tornDown() const { return m_tornDown; }

  // The debugger output since the last Take, line numbers as "(#)"; Wait... polls it (the
  // worker's steps have no event of their own) until `line` is among what was collected.
  std::vector<std::string> Take();
  bool WaitForTrace(const std::string& line, std::chrono::milliseconds timeout);
  const std::vector<std::string>& collected() const { return m_collected; }

  // Takes exactly `count` bytes through the waiting read, within `timeout`.
  std::vector<unsigned char> ReadBytes(std::size_t count, std::chrono::milliseconds timeout);

  // A write as the write call makes it: on the port's current write handle, kept in use for
  // the length of the write.
  BOOL Write(const void* data, DWORD size, DWORD* error);

 private:
  void Collect();

  std::unique_ptr<CUsbComm> m_port;
  std::vector<std::string> m_collected;
  std::size_t m_taken = 0;
  bool m_tornDown = false;
};

#endif  // VANTORY_TESTS_PIPELINEHARNESS_H
