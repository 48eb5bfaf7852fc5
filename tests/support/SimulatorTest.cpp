#include "support/SimulatorTest.h"

#include "support/TraceLines.h"

void SimulatorTest::SetUp() {
  printersim::Reset();
  hostwin::ClearFaults();
  hostwin::ClearDebugOutput();
  m_handlesAtStart = hostwin::OpenHandleCount();
}

void SimulatorTest::TearDown() {
  printersim::Reset();
  hostwin::ClearFaults();
  EXPECT_EQ(hostwin::OpenHandleCount(), m_handlesAtStart) << "handles left open by the test";
}

std::vector<std::string> SimulatorTest::Traces() {
  return WithoutLineNumbers(hostwin::TakeDebugOutput());
}

int SimulatorTest::AttachSupported(int driverKind, int index, const std::string& serial) {
  return printersim::Attach(driverKind, Vendor(index), Product(index), serial);
}
