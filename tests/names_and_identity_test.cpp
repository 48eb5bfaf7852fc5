// The two tables that decide what an int from Java and a device path stand for: the names
// Java holds for pipes, and the identity of a printer in its device path.
#include <gtest/gtest.h>

#include <set>

#include "comm/DeviceIdentity.h"
#include "jni/PipeNames.h"

namespace {

// A printer is its vendor, product and instance (its serial): the interface class, a pipe
// name, the "\\?\" or "\\.\" prefix and the case of the letters do not change it.
TEST(DeviceIdentityTest, APrinterIsItsIdsAndSerialWhateverTheClassPipeOrCase) {
  const char* serial = "\\\\?\\usb#vid_f7a1&pid_0a01#TILL#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
  DeviceIdentity identity;
  IdentityOfPath(serial, identity);
  EXPECT_STREQ(identity, "usb#vid_f7a1&pid_0a01#till");
  EXPECT_TRUE(PathHasIdentity(
      "\\\\.\\USB#VID_F7A1&PID_0A01#TILL#{bbd2577c-94ad-4de9-abd9-bbb25c3aadec}\\PIPE01", identity));
  EXPECT_FALSE(PathHasIdentity(
      "\\\\?\\usb#vid_f7a1&pid_0a01#KITCHEN#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}", identity));
  EXPECT_FALSE(PathHasIdentity(
      "\\\\?\\usb#vid_f7a1&pid_0a02#TILL#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}", identity));
  // Without a serial the instance names the USB port: another port is another path.
  IdentityOfPath("\\\\?\\usb#vid_f7a1&pid_0a01#5&1a2b3c&0&1#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}",
                 identity);
  EXPECT_FALSE(PathHasIdentity(
      "\\\\?\\usb#vid_f7a1&pid_0a01#5&1a2b3c&0&2#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}", identity));
}

// A path without an instance part, or too long to keep, names no printer, and nothing
// matches an empty identity.
TEST(DeviceIdentityTest, PathsWithoutAnInstanceNameNoPrinter) {
  DeviceIdentity identity;
  for (const char* path : {"", "#", "no-hash-at-all", "#{guid}"}) {
    IdentityOfPath(path, identity);
    EXPECT_STREQ(identity, "") << path;
    EXPECT_FALSE(PathHasIdentity(path, identity)) << path;
  }
  const std::string tooLong = "\\\\?\\usb#" + std::string(300, 'x') + "#{guid}";
  IdentityOfPath(tooLong.c_str(), identity);
  EXPECT_STREQ(identity, "");
}

// The port's pipes keep one name each until they are retired; each native read gets a new
// one; no name is 0 or -1 or given twice; retiring the port's pipes leaves the native reads.
TEST(PipeNamesTest, PortPipesKeepTheirNamesAndNoNameIsGivenTwice) {
  PipeNames names;
  const HANDLE device = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(0x40));
  const std::int32_t write = names.NameOfPortPipe(PipeNames::Pipe::kPortWrite, device);
  EXPECT_EQ(names.NameOfPortPipe(PipeNames::Pipe::kPortWrite, nullptr), write);
  const std::int32_t read = names.NameOfPortPipe(PipeNames::Pipe::kPortRead, device);
  const std::int32_t native = names.NameNativeRead(device);
  std::set<std::int32_t> given = {write, read, native};
  EXPECT_EQ(given.size(), 3u);
  for (std::int32_t name : given) {
    EXPECT_GT(name, 0);
  }
  names.RetirePortPipes();
  PipeNames::Entry entry{};
  EXPECT_FALSE(names.Find(write, &entry));
  EXPECT_FALSE(names.Find(read, &entry));
  ASSERT_TRUE(names.Find(native, &entry));
  EXPECT_EQ(entry.pipe, PipeNames::Pipe::kNativeRead);
  EXPECT_EQ(entry.device, device);
  EXPECT_FALSE(names.WithEntry(write, [](const PipeNames::Entry&) { FAIL(); }));
  EXPECT_TRUE(names.Retire(native));
  EXPECT_FALSE(names.Retire(native));
  for (int i = 0; i < 5000; ++i) {
    const std::int32_t name = names.NameNativeRead(device);
    EXPECT_TRUE(given.insert(name).second) << "name " << name << " given twice";
    names.Retire(name);
  }
}

}  // namespace
