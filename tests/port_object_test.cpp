// The process-wide port object before any pipe is opened, and the supported-ID patterns.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <set>
#include <string>

#include "comm/SupportedPrinters.h"
#include "comm/UsbComm.h"

namespace {

TEST(PortObjectTest, StartsWithNothingOpen) {
  EXPECT_EQ(g_UsbComm.m_nUsbType.load(), kNativeUsb);
  EXPECT_EQ(g_UsbComm.m_QuitEvent.load(), nullptr);
  EXPECT_EQ(g_UsbComm.m_ReadThreadTerminated.load(), nullptr);
  EXPECT_EQ(g_UsbComm.m_hPCLSDataEvent.load(), nullptr);
  EXPECT_EQ(g_UsbComm.m_pCCBuffer.load(), nullptr);
  EXPECT_EQ(g_UsbComm.m_hReadPort.Get(), nullptr);
  EXPECT_EQ(g_UsbComm.m_hWritePort.Get(), nullptr);
  EXPECT_EQ(g_UsbComm.m_hWorkerThread.load(), nullptr);
  EXPECT_EQ(g_UsbComm.BytesAvailable(), 0u);
  EXPECT_STREQ(g_UsbComm.m_szDeviceName, "");
}

TEST(PortObjectTest, BytesAvailableReportsTheRingBuffer) {
  CUsbComm port;
  CCBuffer buffer(12);
  const char bytes[5] = {1, 2, 3, 4, 5};
  buffer.Write(bytes, 5);
  port.m_pCCBuffer = &buffer;
  EXPECT_EQ(port.BytesAvailable(), 5u);
  port.m_pCCBuffer = nullptr;
  EXPECT_EQ(port.BytesAvailable(), 0u);
}

TEST(SupportedPrintersTest, EveryPairStandsTwiceInTheCaseOfEachForm) {
  const char* const* patterns = SupportedIdPatterns();
  std::set<std::string> seen;
  for (std::size_t i = 0; i < kSupportedIdPatternCount; ++i) {
    ASSERT_NE(patterns[i], nullptr);
    ASSERT_EQ(std::strlen(patterns[i]), 17u);
    seen.insert(patterns[i]);
  }
  EXPECT_EQ(patterns[kSupportedIdPatternCount], nullptr);
  EXPECT_EQ(seen.size(), kSupportedIdPatternCount);  // no pair listed twice
  for (const SupportedPrinter& printer : kSupportedPrinters) {
    char lower[18];
    char upper[18];
    std::snprintf(lower, sizeof lower, "vid_%04x&pid_%04x", printer.vendorId, printer.productId);
    std::snprintf(upper, sizeof upper, "VID_%04X&PID_%04X", printer.vendorId, printer.productId);
    EXPECT_EQ(seen.count(lower), 1u) << lower;
    EXPECT_EQ(seen.count(upper), 1u) << upper;
  }
}

TEST(SupportedPrintersTest, InterfaceClassesDiffer) {
  EXPECT_NE(kMakerDriverInterfaceGuid, kUsbPrintInterfaceGuid);
  EXPECT_EQ(kUsbPrintInterfaceGuid.Data1, 0x28D78FADu);
}

}  // namespace
