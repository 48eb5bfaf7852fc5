// Base fixture of the tests that drive simulated printers: a clean simulator, no armed
// faults, empty debugger output, and a check that every handle opened during the test was
// closed by its end.
#ifndef VANTORY_TESTS_SIMULATORTEST_H
#define VANTORY_TESTS_SIMULATORTEST_H

#include <gtest/gtest.h>
#include <hostwin/hostwin.h>
#include <printersim/printersim.h>

#include <string>
#include <vector>

#include "comm/SupportedPrinters.h"

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Debugger output since the last call, line numbers as "(#)".
  std::vector<std::string> Traces();

  // A supported pair from the library's table, by position.
  static int Vendor(int index = 0) { return kSupportedPrinters[index].vendorId; }
  static int Product(int index = 0) { return kSupportedPrinters[index].productId; }

  int AttachSupported(int driverKind, int index = 0, const std::string& serial = "");

  int m_handlesAtStart = 0;
};

#endif  // VANTORY_TESTS_SIMULATORTEST_H
