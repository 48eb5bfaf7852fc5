// Trace lines and byte dumps as they reach the debugger output.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/DebugCapture.h"
#include "trace/DebugTrace.h"

namespace {

using Lines = std::vector<std::string>;

TEST(DebugTraceTest, LineCarriesTagCallSiteLineAndText) {
  DebugCapture capture;
  const int line = __LINE__ + 1;
  DebugTrace("GetPCLSData", "Timeout");
  EXPECT_EQ(capture.Take(), Lines{"GetPCLSData(" + std::to_string(line) + ") Timeout\n"});
}

TEST(DebugTraceTest, ErrorFormAddsTheLastErrorAndKeepsIt) {
  DebugCapture capture;
  SetLastError(5);
  const int line = __LINE__ + 1;
  DebugTraceError("GetPCLSData", "Timeout");
  EXPECT_EQ(GetLastError(), 5u);
  EXPECT_EQ(capture.Take(),
            Lines{"GetPCLSData(" + std::to_string(line) + ") Timeout Error=5\n"});
}

TEST(DebugTraceTest, TracingLeavesTheLastErrorForTheCallerToReport) {
  DebugCapture capture;
  SetLastError(ERROR_ACCESS_DENIED);
  DebugTrace("usbReadInputPipe", "GetPCLSData: 0 return");
  DebugTraceFormat("usbReadInputPipe", "nData=%d", 4);
  DumpBytes("WRITE", "ab", 2, 12);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(DebugTraceTest, DetailTextIsFormattedBeforeTracing) {
  DebugCapture capture;
  const int line = __LINE__ + 1;
  DebugTraceFormat("GetPCLSData", "nBytes1 = %d", 0);
  EXPECT_EQ(capture.Take(), Lines{"GetPCLSData(" + std::to_string(line) + ") nBytes1 = 0\n"});
}

TEST(DebugTraceTest, OverlongLineIsCutAndStillEndsWithLineFeed) {
  DebugCapture capture;
  const std::string path(1000, 'p');
  DebugTrace("CUsbComm::OpenUsbDevice outNameBuf=", path.c_str());
  DebugTraceError("ReceiveData", path.c_str());
  const std::string longFormat(300, 'f');
  DebugTraceFormat("GetPCLSData", "%s", longFormat.c_str());
  const Lines lines = capture.Take();
  ASSERT_EQ(lines.size(), 3u);
  for (const std::string& text : lines) {
    EXPECT_EQ(text.size(), kTraceLineSize - 1);
    EXPECT_EQ(text.back(), '\n');
  }
  EXPECT_EQ(lines[0].rfind("CUsbComm::OpenUsbDevice outNameBuf=(", 0), 0u);
}

TEST(DebugTraceTest, LineThatJustFitsIsNotCut) {
  DebugCapture capture;
  // "T(1) " is 5 characters; with the text and the line feed the line is 199 characters.
  const std::string text(kTraceLineSize - 7, 'x');
  DebugTraceAt("T", 1, text.c_str());
  EXPECT_EQ(capture.Take(), Lines{"T(1) " + text + "\n"});
}

TEST(DumpBytesTest, WritesLowercaseTwoDigitHexWithTheNameOnTheFirstLineOnly) {
  DebugCapture capture;
  const unsigned char bytes[25] = {0x00, 0x0A, 0x80, 0xFF, 4, 5, 6, 7, 8, 9, 10, 11,
                                   12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 0xC3};
  DumpBytes("READ1", bytes, 4, 12);
  EXPECT_EQ(capture.Take(), Lines{"READ1 00 0a 80 ff\n"});

  DumpBytes("READ2", bytes, 25, 12);
  EXPECT_EQ(capture.Take(), (Lines{"READ2 00 0a 80 ff 04 05 06 07 08 09 0a 0b\n",
                                   " 0c 0d 0e 0f 10 11 12 13 14 15 16 17\n", " c3\n"}));
}

TEST(DumpBytesTest, FullLastLineIsNotFollowedByAnEmptyOne) {
  DebugCapture capture;
  const unsigned char bytes[12] = {};
  DumpBytes("WRITE", bytes, 12, 12);
  EXPECT_EQ(capture.Take(), Lines{"WRITE 00 00 00 00 00 00 00 00 00 00 00 00\n"});
}

TEST(DumpBytesTest, NoBytesGiveTheNameAloneOrNothing) {
  DebugCapture capture;
  DumpBytes("WRITE", nullptr, 0, 12);
  DumpBytes("", nullptr, 0, 12);
  DumpBytes("READ2", nullptr, -3, 12);
  EXPECT_EQ(capture.Take(), (Lines{"WRITE\n", "READ2\n"}));
}

TEST(DumpBytesTest, ThirtyOneBytesMakeThreeLines) {
  DebugCapture capture;
  const std::vector<unsigned char> bytes(31, 0x1B);
  DumpBytes("WRITE", bytes.data(), 31, 12);
  const Lines lines = capture.Take();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].size(), 5 + 12 * 3 + 1u);
  EXPECT_EQ(lines[2], " 1b 1b 1b 1b 1b 1b 1b\n");
}

TEST(DumpBytesTest, LinesTooLongForTheBufferWrapWithoutLosingBytes) {
  DebugCapture capture;
  const std::vector<unsigned char> bytes(200, 0xAB);
  const std::string longName(400, 'N');
  DumpBytes(longName.c_str(), bytes.data(), 200, 200);
  std::string all;
  for (const std::string& line : capture.Take()) {
    EXPECT_LT(line.size(), kDumpLineSize);
    EXPECT_EQ(line.back(), '\n');
    all += line.substr(0, line.size() - 1);
  }
  size_t groups = 0;
  for (size_t at = all.find(" ab"); at != std::string::npos; at = all.find(" ab", at + 3)) {
    ++groups;
  }
  EXPECT_EQ(groups, 200u);
}

TEST(DumpBytesTest, PerLineBelowOneCountsAsOne) {
  DebugCapture capture;
  const unsigned char bytes[2] = {1, 2};
  DumpBytes("X", bytes, 2, 0);
  EXPECT_EQ(capture.Take(), (Lines{"X 01\n", " 02\n"}));
}

}  // namespace
