// Finding the printer among the interfaces a driver publishes, and telling the two drivers
// apart, against simulated printers.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "comm/PipePath.h"
#include "comm/UsbComm.h"
#include "support/SimulatorTest.h"
#include "support/TraceLines.h"

namespace {

using printersim::kMakerDriver;
using printersim::kPrinterClassDriver;
using Lines = std::vector<std::string>;

class DeviceSearchTest : public SimulatorTest {
 protected:
  std::int32_t Find(int driverKind) {
    return m_port.FindDevice(driverKind, m_buffer, static_cast<std::int32_t>(sizeof m_buffer));
  }
  void FillBuffer(const char* text) { std::snprintf(m_buffer, sizeof m_buffer, "%s", text); }

  CUsbComm m_port;
  char m_buffer[kDeviceNameSize] = {};
};

std::string PathTrace(const std::string& path) {
  return "CUsbComm::OpenUsbDevice outNameBuf=(#) " + path + "\n";
}

TEST_F(DeviceSearchTest, NoInterfacePresentLeavesTheBufferAlone) {
  FillBuffer("untouched");
  EXPECT_EQ(Find(kMakerDriver), 0);
  EXPECT_STREQ(m_buffer, "untouched");
  EXPECT_EQ(Traces(), Lines{"OpenUsbDevice(#) ERROR_NO_MORE_ITEMS\n"});
}

TEST_F(DeviceSearchTest, UnsupportedInterfaceIsOpenedRejectedAndForgotten) {
  const int id = printersim::Attach(kMakerDriver, 0x1234, 0x5678);
  FillBuffer("untouched");
  EXPECT_EQ(Find(kMakerDriver), 0);
  EXPECT_STREQ(m_buffer, "");
  EXPECT_EQ(Traces(), (Lines{PathTrace(printersim::InterfacePath(id)),
                             "OpenUsbDevice(#) ERROR_NO_MORE_ITEMS\n"}));
  EXPECT_EQ(printersim::OpenFiles(id), 0);
}

TEST_F(DeviceSearchTest, SupportedPrinterIsFoundAndNothingStaysOpen) {
  const int id = AttachSupported(kMakerDriver);
  EXPECT_EQ(Find(kMakerDriver), 1);
  EXPECT_EQ(std::string(m_buffer), printersim::InterfacePath(id));
  // The search stops at the hit: no end-of-list trace follows.
  EXPECT_EQ(Traces(), (Lines{PathTrace(m_buffer), "OpenUsbDevice(#) Printer found.\n"}));
  EXPECT_EQ(printersim::OpenFiles(id), 0);
  EXPECT_EQ(hostwin::OpenHandleCount(), m_handlesAtStart);
}

TEST_F(DeviceSearchTest, EverySupportedPairIsRecognisedInEitherCase) {
  for (std::size_t i = 0; i < kSupportedPrinterCount; ++i) {
    for (printersim::IdCase idCase : {printersim::IdCase::kLower, printersim::IdCase::kUpper}) {
      printersim::Reset();
      printersim::PrinterOptions options;
      options.driverKind = kPrinterClassDriver;
      options.vendorId = kSupportedPrinters[i].vendorId;
      options.productId = kSupportedPrinters[i].productId;
      options.idCase = idCase;
      printersim::Attach(options);
      EXPECT_EQ(Find(kPrinterClassDriver), 1) << kSupportedPrinters[i].model;
    }
  }
}

TEST_F(DeviceSearchTest, MixedCaseIdsMatchNoPattern) {
  for (printersim::IdCase idCase : {printersim::IdCase::kUpperLettersLowerDigits,
                                    printersim::IdCase::kLowerLettersUpperDigits}) {
    printersim::Reset();
    printersim::PrinterOptions options;
    options.vendorId = Vendor();
    options.productId = Product();
    options.idCase = idCase;
    printersim::Attach(options);
    EXPECT_EQ(Find(kMakerDriver), 0);
    EXPECT_STREQ(m_buffer, "");
  }
}

TEST_F(DeviceSearchTest, LowerIndexWinsAndTheOtherPrinterIsNeverOpened) {
  const int first = AttachSupported(kMakerDriver, 0, "FIRST");
  const int second = AttachSupported(kMakerDriver, 1, "SECOND");
  printersim::FailNextOpens(second, ERROR_ACCESS_DENIED, 1);
  EXPECT_EQ(Find(kMakerDriver), 1);
  EXPECT_EQ(std::string(m_buffer), printersim::InterfacePath(first));
  // Had the search opened the second printer, its armed refusal would be used up by now.
  printersim::Detach(first);
  EXPECT_EQ(Find(kMakerDriver), 0);
  EXPECT_EQ(std::string(m_buffer), printersim::InterfacePath(second));
  EXPECT_EQ(Find(kMakerDriver), 1);
}

TEST_F(DeviceSearchTest, PrinterThatRefusesTheOpenIsNotFoundButItsPathStays) {
  const int id = AttachSupported(kMakerDriver);
  printersim::FailNextOpens(id, ERROR_SHARING_VIOLATION, 1);
  EXPECT_EQ(Find(kMakerDriver), 0);
  EXPECT_EQ(std::string(m_buffer), printersim::InterfacePath(id));
  EXPECT_EQ(Traces(), Lines{"OpenUsbDevice(#) ERROR_NO_MORE_ITEMS\n"});
}

TEST_F(DeviceSearchTest, EachDriverKindSearchesItsOwnInterfaceClass) {
  AttachSupported(kPrinterClassDriver);
  EXPECT_EQ(Find(kMakerDriver), 0);
  EXPECT_EQ(Find(2), 0);   // any kind but the printer class one means the maker's driver
  EXPECT_EQ(Find(-1), 0);
  EXPECT_EQ(Find(kPrinterClassDriver), 1);
  printersim::Reset();
  AttachSupported(kMakerDriver);
  EXPECT_EQ(Find(kPrinterClassDriver), 0);
  EXPECT_EQ(Find(7), 1);
}

TEST_F(DeviceSearchTest, EnumerationErrorsAreSkippedAndEndTheSearchWhenEndless) {
  AttachSupported(kMakerDriver);
  printersim::InjectEnumerationErrors(kMakerDriver, 0, ERROR_GEN_FAILURE, 3);
  EXPECT_EQ(Find(kMakerDriver), 1);
  const Lines traces = Traces();
  EXPECT_EQ(traces[0], "OpenUsbDevice(#) Error = 31\n");
  EXPECT_EQ(traces[2], "OpenUsbDevice(#) Error = 31\n");
  EXPECT_EQ(traces.back(), "OpenUsbDevice(#) Printer found.\n");

  // A set that fails at every index: the search gives up instead of walking it for ever.
  printersim::ClearEnumerationErrors();
  printersim::InjectEnumerationErrors(kMakerDriver, 0, ERROR_GEN_FAILURE, 1000);
  EXPECT_EQ(Find(kMakerDriver), 0);
  const Lines endless = Traces();
  EXPECT_EQ(LinesOf(endless, "OpenUsbDevice").size(), 65u);  // 64 errors and the giving up
  EXPECT_EQ(hostwin::OpenHandleCount(), m_handlesAtStart);
}

TEST_F(DeviceSearchTest, SetupFailuresEndTheSearchWithoutLeaks) {
  AttachSupported(kMakerDriver);
  FillBuffer("untouched");
  hostwin::FailNextCalls("SetupDiGetClassDevsA", ERROR_NOT_ENOUGH_MEMORY, 1);
  EXPECT_EQ(Find(kMakerDriver), 0);
  EXPECT_STREQ(m_buffer, "untouched");
  EXPECT_EQ(Traces(), Lines{});

  for (const char* function : {"GlobalAlloc", "GlobalLock", "SetupDiGetDeviceInterfaceDetailA"}) {
    hostwin::FailNextCalls(function, ERROR_NOT_ENOUGH_MEMORY, 1);
    EXPECT_EQ(Find(kMakerDriver), 0) << function;
    EXPECT_EQ(hostwin::OpenHandleCount(), m_handlesAtStart) << function;
  }
}

// Interface paths of a chosen length: the serial fills what the rest of the path leaves.
class LongPathTest : public DeviceSearchTest, public ::testing::WithParamInterface<int> {};

TEST_P(LongPathTest, PathsThatLeaveNoRoomForThePipeNameAreRefused) {
  const int length = GetParam();
  const int probe = AttachSupported(kMakerDriver, 0, "S");
  const int fixed = static_cast<int>(printersim::InterfacePath(probe).size()) - 1;
  printersim::Reset();
  const int id = AttachSupported(kMakerDriver, 0, std::string(static_cast<size_t>(length - fixed), 'L'));
  const std::string path = printersim::InterfacePath(id);
  ASSERT_EQ(static_cast<int>(path.size()), length);

  // The name buffer with guard bytes right behind it, where a copy past its end would land.
  struct {
    char name[kDeviceNameSize];
    char guard[64];
  } guarded;
  std::memset(&guarded, 0x5A, sizeof guarded);
  guarded.name[0] = '\0';
  const bool fits = path.size() + kPipeSuffixLength + 1 <= kDeviceNameSize;
  EXPECT_EQ(m_port.FindDevice(kMakerDriver, guarded.name, static_cast<std::int32_t>(kDeviceNameSize)),
            fits ? 1 : 0);
  EXPECT_EQ(std::string(guarded.guard, sizeof guarded.guard), std::string(sizeof guarded.guard, 0x5A));
  if (fits) {
    EXPECT_EQ(std::string(guarded.name), path);
    HANDLE pipe = m_port.OpenPipe(kMakerDriver, kInputPipe);
    EXPECT_NE(pipe, INVALID_HANDLE_VALUE);
    EXPECT_EQ(std::string(m_port.m_szDeviceName), path + "\\PIPE00");
    CloseHandle(pipe);
  } else {
    EXPECT_EQ(m_port.OpenPipe(kMakerDriver, kInputPipe), INVALID_HANDLE_VALUE);
  }
  for (const std::string& line : Traces()) {
    EXPECT_LT(line.size(), 200u);
    EXPECT_EQ(line.back(), '\n');
  }
  // The members behind the port object's own name buffer are as a new object has them.
  EXPECT_EQ(m_port.m_QuitEvent.load(), nullptr);
  EXPECT_EQ(m_port.m_ReadThreadTerminated.load(), nullptr);
}

INSTANTIATE_TEST_SUITE_P(Lengths, LongPathTest, ::testing::Values(200, 248, 249, 255, 300, 1000));

// ---- The driver kind probe and pipe paths ----

using DriverProbeTest = DeviceSearchTest;

std::int32_t Probe(std::string* text) {
  char buffer[kDeviceNameSize] = {};
  const std::int32_t kind = DetectUsbType(buffer, static_cast<std::int32_t>(sizeof buffer));
  *text = buffer;
  return kind;
}

TEST_F(DriverProbeTest, MakersDriverIsTriedFirst) {
  const int id = AttachSupported(kMakerDriver);
  std::string text;
  EXPECT_EQ(Probe(&text), kNativeUsb);
  EXPECT_EQ(text, "Native USB");
  EXPECT_EQ(LinesOf(Traces(), "OpenUsbDevice"), Lines{"OpenUsbDevice(#) Printer found.\n"});
  EXPECT_EQ(printersim::OpenFiles(id), 0);
}

TEST_F(DriverProbeTest, PrinterClassDriverIsTriedWhenTheMakersFinds) {
  AttachSupported(kPrinterClassDriver);
  std::string text;
  EXPECT_EQ(Probe(&text), kPrinterClassUsb);
  EXPECT_EQ(text, "Printer Class USB");
  EXPECT_EQ(LinesOf(Traces(), "OpenUsbDevice"),
            (Lines{"OpenUsbDevice(#) ERROR_NO_MORE_ITEMS\n", "OpenUsbDevice(#) Printer found.\n"}));
}

TEST_F(DriverProbeTest, NoPrinterReadsAsTheMakersDriverWithAnErrorText) {
  std::string text;
  EXPECT_EQ(Probe(&text), kNativeUsb);
  EXPECT_EQ(text, "Error opening USB");
  EXPECT_EQ(LinesOf(Traces(), "OpenUsbDevice"),
            (Lines{"OpenUsbDevice(#) ERROR_NO_MORE_ITEMS\n", "OpenUsbDevice(#) ERROR_NO_MORE_ITEMS\n"}));
}

// Buffers that hold no room at all are never written: a search into none, a probe whose
// text has no room, a pipe name appended to a path that fills its buffer without an end.
TEST_F(DriverProbeTest, NoRoomMeansNothingIsWritten) {
  AttachSupported(kMakerDriver);
  char name[8];
  std::memset(name, 'x', sizeof name);
  EXPECT_EQ(m_port.FindDevice(kMakerDriver, name, 0), 0);
  EXPECT_EQ(DetectUsbType(name, 0), kNativeUsb);
  EXPECT_FALSE(AppendPipeName(name, sizeof name, kInputPipe));
  EXPECT_EQ(std::string(name, sizeof name), std::string(sizeof name, 'x'));
}

TEST_F(DriverProbeTest, RepeatedOpenPipeDoesNotPileUpSuffixes) {
  const int id = AttachSupported(kPrinterClassDriver);
  HANDLE in = m_port.OpenPipe(kPrinterClassDriver, kInputPipe);
  HANDLE out = m_port.OpenPipe(kPrinterClassDriver, kOutputPipe);
  EXPECT_EQ(std::string(m_port.m_szDeviceName), printersim::InterfacePath(id) + "\\PIPE01");
  EXPECT_NE(in, INVALID_HANDLE_VALUE);
  EXPECT_NE(out, INVALID_HANDLE_VALUE);
  CloseHandle(in);
  CloseHandle(out);
}

}  // namespace
