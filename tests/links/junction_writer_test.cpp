// Junctions: the mount-point reparse data written on the directory, byte for
// byte, and what is left on the volume when a step fails.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "links/links.h"
#include "support/record_bytes.h"
#include "tests/support.h"

namespace {

using lbtest::RunCommands;

class JunctionWriter : public lbtest::SimTest {};

// The mount-point record as the platform documents it: tag, data length,
// reserved, the four name fields, then both names each with a terminator.
std::vector<uint8_t> MountPointRecord(const std::u16string& substitute, const std::u16string& print) {
  std::vector<uint8_t> v = {0x03, 0x00, 0x00, 0xA0};
  const size_t snl = 2 * substitute.size();
  const size_t pnl = 2 * print.size();
  support::Append16(v, snl + pnl + 12);
  support::Append16(v, 0);
  support::Append16(v, 0);
  support::Append16(v, snl);
  support::Append16(v, snl + 2);
  support::Append16(v, pnl);
  for (char16_t c : substitute) support::Append16(v, c);
  support::Append16(v, 0);
  for (char16_t c : print) support::Append16(v, c);
  support::Append16(v, 0);
  return v;
}

std::vector<uint8_t> StoredRecord(const char16_t* path) { return sim::Inspect(path).reparseData; }

std::vector<std::string> CallNames() {
  std::vector<std::string> names;
  for (const sim::Call& c : sim::Calls()) {
    if (c.faultable) names.push_back(c.name);
  }
  return names;
}

// The substitute name is the NT form of the full target path: "\??\" before
// a drive path, "\??\UNC\" before a server share, and a "\\?\" or "\\.\"
// prefix swapped for "\??\"; one trailing backslash is dropped except on a
// volume's root (a drive root or a volume GUID path). The print name is the
// full path as resolved.
TEST_F(JunctionWriter, SubstituteAndPrintNames) {
  struct Case {
    const char16_t* target;
    const char16_t* substitute;
    const char16_t* print;
  };
  const Case cases[] = {
      {u"C:\\data", u"\\??\\C:\\data", u"C:\\data"},
      {u"C:\\data\\", u"\\??\\C:\\data", u"C:\\data\\"},
      {u"C:\\", u"\\??\\C:\\", u"C:\\"},
      {u"\\\\srv\\share\\dir\\", u"\\??\\UNC\\srv\\share\\dir", u"\\\\srv\\share\\dir\\"},
      {u"\\\\srv\\share\\dir", u"\\??\\UNC\\srv\\share\\dir", u"\\\\srv\\share\\dir"},
      {u"\\\\?\\C:\\data", u"\\??\\C:\\data", u"\\\\?\\C:\\data"},
      {u"\\\\?\\C:\\data\\", u"\\??\\C:\\data", u"\\\\?\\C:\\data\\"},
      {u"\\\\?\\C:\\", u"\\??\\C:\\", u"\\\\?\\C:\\"},
      {u"\\\\?\\UNC\\srv\\share", u"\\??\\UNC\\srv\\share", u"\\\\?\\UNC\\srv\\share"},
      {u"\\\\.\\C:\\data", u"\\??\\C:\\data", u"\\\\.\\C:\\data"},
      // A volume GUID path keeps the backslash of its root folder, as a drive
      // root does; without it the name is the volume device.
      {u"\\\\?\\Volume{1b0c0044-5eed-4a11-9c0d-0000d15c0044}\\",
       u"\\??\\Volume{1b0c0044-5eed-4a11-9c0d-0000d15c0044}\\",
       u"\\\\?\\Volume{1b0c0044-5eed-4a11-9c0d-0000d15c0044}\\"},
      {u"\\\\?\\volume{1b0c0044-5eed-4a11-9c0d-0000d15c0044}\\dir\\",
       u"\\??\\volume{1b0c0044-5eed-4a11-9c0d-0000d15c0044}\\dir",
       u"\\\\?\\volume{1b0c0044-5eed-4a11-9c0d-0000d15c0044}\\dir\\"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(sim::U8(c.target));
    sim::Reset();
    EXPECT_EQ(MakeJunction(u"C:\\j", c.target), 0u);
    EXPECT_EQ(sim::Inspect(u"C:\\j").reparseTag, IO_REPARSE_TAG_MOUNT_POINT);
    EXPECT_EQ(StoredRecord(u"C:\\j"), MountPointRecord(c.substitute, c.print));
  }
}

// A relative target is stored resolved against the current directory; the
// platform calls come in the documented order with the documented open.
TEST_F(JunctionWriter, RelativeTargetAndCallOrder) {
  sim::MakeDirs(u"C:\\work");
  ASSERT_TRUE(SetCurrentDirectoryW(u"C:\\work"));
  sim::ClearCalls();
  EXPECT_EQ(MakeJunction(u"j", u"rel\\target"), 0u);
  EXPECT_EQ(StoredRecord(u"C:\\work\\j"),
            MountPointRecord(u"\\??\\C:\\work\\rel\\target", u"C:\\work\\rel\\target"));
  EXPECT_EQ(CallNames(), (std::vector<std::string>{"GetFullPathNameW", "GetFullPathNameW",
                                                   "CreateDirectoryW", "CreateFileW",
                                                   "DeviceIoControl", "CloseHandle"}));
  for (const sim::Call& c : sim::Calls()) {
    if (c.name == "CreateFileW") {
      EXPECT_NE(c.args.find("\"j\""), std::string::npos) << c.args;
      EXPECT_NE(c.args.find("0x40000000"), std::string::npos) << c.args;
      EXPECT_NE(c.args.find("0x2200000"), std::string::npos) << c.args;
    }
  }
}

// An empty directory is reused; a junction is opened itself and re-pointed in
// place; a directory with contents is refused and stays as it was.
TEST_F(JunctionWriter, ExistingDirectories) {
  sim::MakeDirs(u"C:\\empty");
  EXPECT_EQ(MakeJunction(u"C:\\empty", u"C:\\one"), 0u);
  EXPECT_EQ(StoredRecord(u"C:\\empty"), MountPointRecord(u"\\??\\C:\\one", u"C:\\one"));
  EXPECT_EQ(MakeJunction(u"C:\\empty", u"C:\\two"), 0u);
  EXPECT_EQ(StoredRecord(u"C:\\empty"), MountPointRecord(u"\\??\\C:\\two", u"C:\\two"));

  sim::MakeFile(u"C:\\full\\child.txt");
  EXPECT_EQ(MakeJunction(u"C:\\full", u"C:\\one"), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  EXPECT_TRUE(sim::Inspect(u"C:\\full\\child.txt").exists);
  EXPECT_EQ(sim::Inspect(u"C:\\full").reparseTag, 0u);
}

// When the reparse data cannot be written, only a directory this call made is
// removed; an empty directory or a junction that was there before stays as it
// was. When the open fails, the open's error is the result and the new
// directory stays as an ordinary empty one, which a retry can reuse.
TEST_F(JunctionWriter, FailedWriteRemovesOnlyWhatItMade) {
  sim::FailCall("DeviceIoControl", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(MakeJunction(u"C:\\new", u"C:\\t"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(sim::Inspect(u"C:\\new").exists);

  sim::MakeDirs(u"C:\\before");
  sim::ClearCalls();
  sim::FailCall("DeviceIoControl", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(MakeJunction(u"C:\\before", u"C:\\t"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(sim::Inspect(u"C:\\before").isDirectory);
  EXPECT_EQ(sim::CallCount("RemoveDirectoryW"), 0u);

  ASSERT_EQ(MakeJunction(u"C:\\junction", u"C:\\old"), 0u);
  sim::FailCall("DeviceIoControl", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(MakeJunction(u"C:\\junction", u"C:\\t"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(StoredRecord(u"C:\\junction"), MountPointRecord(u"\\??\\C:\\old", u"C:\\old"));

  sim::FailCall("CreateFileW", 1, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(MakeJunction(u"C:\\opened", u"C:\\t"), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  sim::NodeInfo left = sim::Inspect(u"C:\\opened");
  EXPECT_TRUE(left.isDirectory);
  EXPECT_EQ(left.reparseTag, 0u);
}

// A path whose full form does not fit 8192 characters gives
// ERROR_FILENAME_EXCED_RANGE; a record over the 16 KiB a reparse point holds
// gives ERROR_INVALID_REPARSE_DATA, including one past the encoding buffers.
// Either comes before anything is created. Resolver errors come back as well.
TEST_F(JunctionWriter, LengthLimitsAndResolverErrors) {
  auto path = [](const std::u16string& head, size_t total) {
    return head + std::u16string(total - head.size(), u'a');
  };
  struct Case {
    std::u16string junction;
    std::u16string target;
    DWORD result;
  };
  const Case limits[] = {
      {u"C:\\j", path(u"C:\\", 8192), ERROR_FILENAME_EXCED_RANGE},
      {path(u"C:\\", 8192), u"C:\\t", ERROR_FILENAME_EXCED_RANGE},
      // 8186 characters fit the full-path buffer; "\??\UNC\" makes 8192.
      {u"C:\\j", path(u"\\\\srv\\share\\", 8186), ERROR_INVALID_REPARSE_DATA},
      // 20 + 2 * (n + 4 + n) bytes: 6138 characters pass the 24576 of the
      // encoding buffer, 6137 fit it, 4090 pass 16 KiB and 4089 fit it.
      {u"C:\\j", path(u"C:\\", 6138), ERROR_INVALID_REPARSE_DATA},
      {u"C:\\j", path(u"C:\\", 6137), ERROR_INVALID_REPARSE_DATA},
      {u"C:\\j", path(u"C:\\", 4090), ERROR_INVALID_REPARSE_DATA},
  };
  for (const Case& c : limits) {
    sim::ClearCalls();
    EXPECT_EQ(MakeJunction(c.junction.c_str(), c.target.c_str()), c.result);
    EXPECT_EQ(sim::CallCount("CreateDirectoryW"), 0u);
    EXPECT_EQ(sim::CallCount("CreateFileW"), 0u);
  }
  EXPECT_EQ(MakeJunction(u"C:\\j", path(u"C:\\", 4089).c_str()), 0u);
  EXPECT_EQ(sim::Inspect(u"C:\\j").reparseTag, static_cast<DWORD>(IO_REPARSE_TAG_MOUNT_POINT));

  sim::ClearCalls();
  EXPECT_NE(MakeJunction(u"", u"C:\\t"), 0u);
  EXPECT_EQ(sim::CallCount("CreateDirectoryW"), 0u);
  sim::FailCall("GetFullPathNameW", 1, ERROR_INVALID_NAME);
  EXPECT_EQ(MakeJunction(u"C:\\j", u"C:\\t"), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(MakeJunction(u"C:\\missing\\j", u"C:\\t"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

// l builds the new junction first: a target that cannot be one leaves the old.
// A junction is re-pointed in place; a mounted folder is refused by l and j
// and stays mounted; a directory link is removed, then made a junction.
TEST_F(JunctionWriter, RepointKeepsWhatItCannotReplace) {
  // 4,090 characters: the record passes 16 KiB, which no reparse point holds.
  const std::u16string overRecord = u" l \"C:\\e\" \"C:\\" + std::u16string(4087, u'a') + u"\"\r\n";
  const struct {
    std::u16string line;
    DWORD result;
    size_t removals;  // 0 with a result of 0: re-pointed in place
  } cases[] = {
      {u" l \"C:\\p\" \"C:\\new\"\r\n", 0, 0},
      {overRecord, ERROR_INVALID_REPARSE_DATA, 0},
      {u" l \"C:\\m\" \"C:\\new\"\r\n", ERROR_DIR_NOT_EMPTY, 0},
      {u" j \"C:\\m\" \"C:\\new\"\r\n", ERROR_DIR_NOT_EMPTY, 0},
      {u" l \"C:\\s\" \"C:\\new\"\r\n", 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(sim::U8(c.line.substr(0, 20)));
    SetUp();
    sim::AddVolume(u'D');
    sim::MakeDirs(u"C:\\m");
    sim::MakeDirs(u"C:\\e");
    ASSERT_EQ(MakeJunction(u"C:\\p", u"C:\\old"), 0u);
    ASSERT_TRUE(sim::SetVolumeMountPointW(u"C:\\m\\", sim::VolumeGuidPath(u'D').c_str()));
    sim::SetPrivilegeEnabled(u"SeCreateSymbolicLinkPrivilege", true);
    ASSERT_TRUE(sim::CreateSymbolicLinkW(u"C:\\s", u"C:\\old", SYMBOLIC_LINK_FLAG_DIRECTORY));
    const std::u16string path = c.line.substr(4, 4);
    const std::vector<uint8_t> before = sim::Inspect(path).reparseData;
    sim::ClearCalls();
    EXPECT_EQ(RunCommands(c.line), c.result);
    EXPECT_EQ(sim::CallCount("RemoveDirectoryW"), c.removals);
    EXPECT_TRUE(sim::Inspect(path).exists);
    EXPECT_EQ(sim::Inspect(path).reparseData,
              c.result == 0 ? MountPointRecord(u"\\??\\C:\\new", u"C:\\new") : before);
  }
}

}  // namespace
