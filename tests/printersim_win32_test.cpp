// The simulated printers as the library meets them: through the Win32 calls of the
// stand-in, CreateFileA, ReadFile, WriteFile, DeviceIoControl, PurgeComm and SetupAPI.
#include <gtest/gtest.h>
#include <hostwin/hostwin.h>
#include <printersim/printersim.h>
#include <setupapi.h>
#include <windows.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "comm/SupportedPrinters.h"

namespace {

using namespace std::chrono_literals;
constexpr int kVid = 0xF7A1;
constexpr int kPid = 0x0A01;

class PrinterSimWin32 : public ::testing::Test {
 protected:
  void SetUp() override {
    printersim::Reset();
    baseHandles_ = hostwin::OpenHandleCount();
  }
  void TearDown() override {
    printersim::Reset();
    EXPECT_EQ(hostwin::OpenHandleCount(), baseHandles_) << "a handle was left open";
  }
  static HANDLE Open(const std::string& path, DWORD flags = 0) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, flags, nullptr);
  }
  int baseHandles_ = 0;
};

// What the device search sees: the enumeration, a failing slot, the detail path.
TEST_F(PrinterSimWin32, SetupApiEnumeratesTheSimulatorsInterfacesAndErrorSlots) {
  const int id = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid, "ENUM");
  printersim::InjectEnumerationErrors(printersim::kPrinterClassDriver, 0, ERROR_GEN_FAILURE, 1);
  HDEVINFO set = SetupDiGetClassDevsA(&kUsbPrintInterfaceGuid, nullptr, nullptr,
                                      DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  ASSERT_NE(set, INVALID_HANDLE_VALUE);
  SP_DEVICE_INTERFACE_DATA data{};
  data.cbSize = sizeof data;
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbPrintInterfaceGuid, 0, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
  ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbPrintInterfaceGuid, 1, &data));
  DWORD required = 0;
  EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr));
  std::vector<char> storage(required);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(storage.data());
  detail->cbSize = sizeof *detail;
  ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr));
  EXPECT_EQ(std::string(detail->DevicePath), printersim::InterfacePath(id));
  EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kUsbPrintInterfaceGuid, 2, &data));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
  EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

// The receive worker's read: pending, completed by a send, ended by removal or close.
TEST_F(PrinterSimWin32, OverlappedReadPendsCompletesOnSendAndEndsOnRemovalOrClose) {
  const int id = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid);
  HANDLE file = Open(printersim::InterfacePath(id) + "\\PIPE00", FILE_FLAG_OVERLAPPED);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  BYTE buffer[64];
  DWORD bytes = 0;

  EXPECT_FALSE(ReadFile(file, buffer, sizeof buffer, &bytes, &overlapped));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
  std::thread sender([id] { printersim::Send(id, std::vector<std::uint8_t>{0x41, 0x42}); });
  EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
  sender.join();
  ASSERT_TRUE(GetOverlappedResult(file, &overlapped, &bytes, FALSE));
  EXPECT_EQ(bytes, 2u);
  EXPECT_EQ(buffer[1], 0x42);

  EXPECT_FALSE(ReadFile(file, buffer, sizeof buffer, &bytes, &overlapped));
  ASSERT_TRUE(printersim::WaitForPendingRead(id, 10s));
  printersim::Detach(id);
  EXPECT_FALSE(GetOverlappedResult(file, &overlapped, &bytes, TRUE));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

  printersim::Reattach(id);
  HANDLE again = Open(printersim::InterfacePath(id), FILE_FLAG_OVERLAPPED);
  ASSERT_NE(again, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(ReadFile(again, buffer, sizeof buffer, &bytes, &overlapped));
  ASSERT_TRUE(printersim::WaitForPendingRead(id, 10s));
  EXPECT_TRUE(CloseHandle(again));
  EXPECT_EQ(printersim::PendingReads(id), 0) << "closing the handle cancelled its read";
  EXPECT_EQ(printersim::OpenFiles(id), 1) << "the dead handle is still open";
  EXPECT_TRUE(CloseHandle(file));
  EXPECT_EQ(printersim::OpenFiles(id), 0);
  EXPECT_TRUE(CloseHandle(event));
}

// The Native USB path: a status request and its reply, then a removal.
TEST_F(PrinterSimWin32, MakerDriverAnswersSynchronousCallsOfTheNativePath) {
  const int id = printersim::Attach(printersim::kMakerDriver, kVid, kPid);
  HANDLE out = Open(printersim::InterfacePath(id) + "\\PIPE01");
  HANDLE in = Open(printersim::InterfacePath(id) + "\\PIPE00");
  ASSERT_NE(out, INVALID_HANDLE_VALUE);
  ASSERT_NE(in, INVALID_HANDLE_VALUE);

  const BYTE request[] = {0x10, 0x04, 0x01};
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(out, request, sizeof request, &done, nullptr));
  EXPECT_EQ(done, sizeof request);
  BYTE reply[8] = {};
  ASSERT_TRUE(ReadFile(in, reply, sizeof reply, &done, nullptr));
  EXPECT_EQ(done, 1u);
  EXPECT_EQ(reply[0], 0x12);
  ASSERT_TRUE(ReadFile(in, reply, sizeof reply, &done, nullptr));
  EXPECT_EQ(done, 0u) << "a synchronous read with nothing to deliver returns at once";

  printersim::Detach(id);
  EXPECT_FALSE(WriteFile(out, request, sizeof request, &done, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(Open(printersim::InterfacePath(id)), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_TRUE(CloseHandle(out));
  EXPECT_TRUE(CloseHandle(in));
}

}  // namespace

namespace {

struct ReadOnItsOwnThread {
  HANDLE device = nullptr;
  char buffer[16] = {};
  OVERLAPPED overlapped{};
};

DWORD WINAPI IssueAReadAndEnd(LPVOID parameter) {
  auto* read = static_cast<ReadOnItsOwnThread*>(parameter);
  ReadFile(read->device, read->buffer, sizeof read->buffer, nullptr, &read->overlapped);
  return 0;
}

// As on Windows, a thread is signalled at its end only once the reads it issued have
// completed: a driver that never completes a cancelled read keeps it from ending, until the
// read completes after all.
TEST_F(PrinterSimWin32, AThreadEndsOnlyOnceItsReadsHaveCompleted) {
  const int id = printersim::Attach(printersim::kPrinterClassDriver, kVid, kPid, "RUNDOWN");
  printersim::IgnoreCancels(id, true);
  ReadOnItsOwnThread read;
  read.device = Open(printersim::InterfacePath(id), FILE_FLAG_OVERLAPPED);
  read.overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, IssueAReadAndEnd, &read, 0, nullptr);
  ASSERT_TRUE(printersim::WaitForPendingRead(id, 10s));
  EXPECT_EQ(WaitForSingleObject(thread, 300), static_cast<DWORD>(WAIT_TIMEOUT));
  printersim::Send(id, std::vector<std::uint8_t>{1});
  EXPECT_EQ(WaitForSingleObject(thread, 10000), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(read.overlapped.hEvent, 0), WAIT_OBJECT_0);
  CloseHandle(thread);
  CloseHandle(read.overlapped.hEvent);
  CloseHandle(read.device);
}

}  // namespace
