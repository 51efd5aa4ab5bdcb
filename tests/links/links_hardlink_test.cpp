// Hard links: CreateHardLinkW when it exists and is allowed, otherwise a link
// record written into the existing file's backup stream.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "links/links.h"
#include "platform/probe.h"
#include "tests/support.h"

namespace {

class LinksHardlink : public lbtest::SimTest {
 protected:
  void SetUp() override {
    lbtest::SimTest::SetUp();
    sim::MakeFile(u"C:\\data\\file.txt");
    KernelEntryPoints.createHardLink = &sim::CreateHardLinkW;
  }
  static bool SameFile(const char16_t* a, const char16_t* b) {
    sim::NodeInfo x = sim::Inspect(a);
    sim::NodeInfo y = sim::Inspect(b);
    return x.exists && y.exists && x.fileId == y.fileId;
  }
  // The byte counts of the logged BackupWrite calls, "abort" marking the
  // release of the context.
  static std::vector<std::string> BackupWrites() {
    std::vector<std::string> out;
    for (const sim::Call& c : sim::Calls()) {
      if (c.name != "BackupWrite") continue;
      size_t comma = c.args.find(", ");
      std::string rest = c.args.substr(comma + 2);
      out.push_back(rest.substr(0, rest.find(", ctx")));
    }
    return out;
  }
};

// With CreateHardLinkW and no Windows 2000 flag the system function is used,
// new name first.
TEST_F(LinksHardlink, SystemFunctionWhenAllowed) {
  sim::ClearCalls();
  EXPECT_NE(MakeHardLink(u"C:\\data\\file.txt", u"C:\\data\\link.txt"), 0);
  EXPECT_TRUE(SameFile(u"C:\\data\\file.txt", u"C:\\data\\link.txt"));
  EXPECT_EQ(sim::Inspect(u"C:\\data\\file.txt").linkCount, 2u);
  EXPECT_EQ(sim::CallCount("BackupWrite"), 0u);
  ASSERT_EQ(sim::CallCount("CreateHardLinkW"), 1u);
  EXPECT_EQ(sim::Calls().at(0).args, "\"C:\\data\\link.txt\", \"C:\\data\\file.txt\"");

  SetLastError(0xdeadbeef);
  EXPECT_EQ(MakeHardLink(u"C:\\data\\file.txt", u"C:\\data\\link.txt"), 0);
  EXPECT_EQ(GetLastError(), 183u);
}

// The flag, or a missing CreateHardLinkW, takes the backup method: three
// BackupWrite calls, the 20-byte head, the full path with its terminator (a
// 10-character path gives 22 bytes), then the release.
TEST_F(LinksHardlink, BackupMethodWritesHeadDataAndRelease) {
  ForceBackupHardLink = 1;
  sim::ClearCalls();
  EXPECT_EQ(MakeHardLink(u"C:\\data\\file.txt", u"C:\\abcdefg"), 1);
  EXPECT_TRUE(SameFile(u"C:\\data\\file.txt", u"C:\\abcdefg"));
  EXPECT_EQ(sim::CallCount("CreateHardLinkW"), 0u);
  EXPECT_EQ(BackupWrites(), (std::vector<std::string>{"20", "22", "0, abort"}));
  EXPECT_EQ(sim::LiveBackupContexts(), 0);

  ForceBackupHardLink = 0;
  KernelEntryPoints.createHardLink = nullptr;
  sim::ClearCalls();
  EXPECT_EQ(MakeHardLink(u"C:\\data\\file.txt", u"C:\\data\\second.txt"), 1);
  EXPECT_EQ(sim::Inspect(u"C:\\data\\file.txt").linkCount, 3u);
  EXPECT_EQ(BackupWrites(), (std::vector<std::string>{"20", "38", "0, abort"}));
}

// The order of the backup method's calls: resolve and probe the new name,
// resolve and open the existing file for writing, resolve the new name again
// for the record, write, release, close.
TEST_F(LinksHardlink, BackupMethodCallOrder) {
  sim::ClearCalls();
  ASSERT_EQ(MakeHardLinkByBackup(u"C:\\data\\file.txt", u"C:\\data\\link.txt"), 1);
  std::vector<std::string> names;
  for (const sim::Call& c : sim::Calls()) names.push_back(c.name);
  EXPECT_EQ(names, (std::vector<std::string>{"GetFullPathNameW", "CreateFileW",
                                             "GetFullPathNameW", "CreateFileW",
                                             "GetFullPathNameW", "BackupWrite", "BackupWrite",
                                             "BackupWrite", "CloseHandle"}));
}

// A relative new name is resolved against the current directory, and the
// record holds the resolved path.
TEST_F(LinksHardlink, RelativeNewNameIsStoredResolved) {
  sim::MakeDirs(u"C:\\work");
  ASSERT_TRUE(SetCurrentDirectoryW(u"C:\\work"));
  sim::ClearCalls();
  EXPECT_EQ(MakeHardLinkByBackup(u"C:\\data\\file.txt", u"rel.txt"), 1);
  EXPECT_TRUE(SameFile(u"C:\\data\\file.txt", u"C:\\work\\rel.txt"));
  // "C:\work\rel.txt" has 15 characters.
  EXPECT_EQ(BackupWrites(), (std::vector<std::string>{"20", "32", "0, abort"}));
}

// A taken new name fails with ERROR_ALREADY_EXISTS before the existing file
// is opened for writing; an existing file that does not open for writing
// (missing, or held without sharing) fails with ERROR_FILE_NOT_FOUND.
TEST_F(LinksHardlink, BackupMethodRefusals) {
  sim::MakeFile(u"C:\\data\\taken.txt");
  sim::ClearCalls();
  SetLastError(0xdeadbeef);
  EXPECT_EQ(MakeHardLinkByBackup(u"C:\\data\\file.txt", u"C:\\data\\taken.txt"), 0);
  EXPECT_EQ(GetLastError(), 183u);
  EXPECT_EQ(sim::CallCount("CreateFileW"), 1u) << "the existing file was opened";
  EXPECT_EQ(sim::Inspect(u"C:\\data\\file.txt").linkCount, 1u);

  SetLastError(0xdeadbeef);
  EXPECT_EQ(MakeHardLinkByBackup(u"C:\\data\\missing.txt", u"C:\\data\\new.txt"), 0);
  EXPECT_EQ(GetLastError(), 2u);

  HANDLE held = CreateFileW(u"C:\\data\\file.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(MakeHardLinkByBackup(u"C:\\data\\file.txt", u"C:\\data\\new.txt"), 0);
  EXPECT_EQ(GetLastError(), 2u) << "a sharing violation reads as a missing file";
  CloseHandle(held);
  EXPECT_FALSE(sim::Inspect(u"C:\\data\\new.txt").exists);
  EXPECT_EQ(sim::CallCount("BackupWrite"), 0u);
}

// A failed or short write releases the context, closes the file and leaves
// the failure's code: BackupWrite's own, or ERROR_WRITE_FAULT for a short
// count, never 0.
TEST_F(LinksHardlink, FailedAndShortWritesCleanUp) {
  struct Case {
    int failWrite;   // 0: none
    int shortWrite;  // 0: none
    DWORD expected;
    size_t writes;   // BackupWrite calls including the release
  };
  const Case cases[] = {{1, 0, ERROR_ACCESS_DENIED, 1},
                        {2, 0, ERROR_ACCESS_DENIED, 3},
                        {0, 1, ERROR_WRITE_FAULT, 2},
                        {0, 2, ERROR_WRITE_FAULT, 3}};
  for (const Case& c : cases) {
    SCOPED_TRACE("fail " + std::to_string(c.failWrite) + " short " + std::to_string(c.shortWrite));
    sim::ClearFaults();
    sim::ClearCalls();
    if (c.failWrite) sim::FailCall("BackupWrite", c.failWrite, ERROR_ACCESS_DENIED);
    if (c.shortWrite) sim::ShortBackupWrite(c.shortWrite, 5);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(MakeHardLinkByBackup(u"C:\\data\\file.txt", u"C:\\data\\new.txt"), 0);
    EXPECT_EQ(GetLastError(), c.expected);
    EXPECT_EQ(sim::CallCount("BackupWrite"), c.writes);
    EXPECT_EQ(sim::LiveBackupContexts(), 0);
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
    EXPECT_FALSE(sim::Inspect(u"C:\\data\\new.txt").exists);
  }
}

// A full-path conversion that fails, or whose result would not fit in 8192
// characters, stops the call with that error (or ERROR_FILENAME_EXCED_RANGE)
// and nothing is written from an unfilled buffer.
TEST_F(LinksHardlink, FullPathConversionFailures) {
  for (int nth = 1; nth <= 3; ++nth) {
    SCOPED_TRACE("conversion " + std::to_string(nth));
    sim::ClearFaults();
    sim::ClearCalls();
    sim::FailCall("GetFullPathNameW", nth, ERROR_INVALID_NAME);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(MakeHardLinkByBackup(u"C:\\data\\file.txt", u"C:\\data\\new.txt"), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    EXPECT_EQ(sim::CallCount("BackupWrite"), 0u);
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
  }
  sim::ClearFaults();
  const std::u16string tooLong = u"C:\\data\\" + std::u16string(8190, u'n');
  SetLastError(0xdeadbeef);
  EXPECT_EQ(MakeHardLinkByBackup(u"C:\\data\\file.txt", tooLong.c_str()), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(MakeHardLinkByBackup(tooLong.c_str(), u"C:\\data\\new.txt"), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(sim::CallCount("BackupWrite"), 0u);
}

}  // namespace
