// Calls that fail without setting a last error: GetFullPathNameW on an empty
// path on current Windows, and functions a system only pretends to have (Wine
// stubs). Whatever the line, such a failure never ends it with 0, and the
// operation goes on exactly as after any other failure of that call.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "clone/clone.h"
#include "links/links.h"
#include "platform/probe.h"
#include "tests/support.h"

namespace {

using lbtest::RunCommands;

class SilentFailure : public lbtest::SimTest {
 protected:
  void SetUp() override {
    lbtest::SimTest::SetUp();
    sim::MakeFile(u"C:\\target\\t.txt");
    sim::MakeDirs(u"C:\\work\\empty");
    sim::MakeFile(u"C:\\src\\a.txt");
    sim::MakeDirs(u"C:\\dst");
    sim::AddVolume(u'D');
  }
};

bool Exists(const char16_t* path) { return sim::Inspect(path).exists; }

// An empty junction target is refused before anything is made: the old
// code read the stale 0 GetFullPathNameW left as success and wrote a junction
// whose substitute name was "\??" and whose print name was empty. A command
// file cannot give an empty path (a zero unit in a path makes its line
// malformed), so the junction writer is called directly.
TEST_F(SilentFailure, EmptyJunctionTargetIsInvalidName) {
  SetLastError(ERROR_SUCCESS);
  EXPECT_EQ(MakeJunction(u"C:\\work\\j", u""), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_FALSE(Exists(u"C:\\work\\j"));

  // A stale error from before does not stand in for the reason either.
  SetLastError(ERROR_ACCESS_DENIED);
  EXPECT_EQ(MakeJunction(u"C:\\work\\j", u""), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(MakeJunction(u"", u"C:\\target"), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_FALSE(Exists(u"C:\\work\\j"));
}

// Each letter with its one platform call failing silently: the result is
// ERROR_INVALID_FUNCTION, never 0, and the volume shows what a failure of that
// call leaves (n still removes its directory).
TEST_F(SilentFailure, EveryLetterReportsTheFailure) {
  struct Case {
    const char* what;
    const char* call;
    std::u16string line;
    std::function<void()> setUp;
    std::function<bool()> after;
  };
  auto mountD = [] {
    ASSERT_TRUE(sim::SetVolumeMountPointW(u"C:\\work\\empty\\", sim::VolumeGuidPath(u'D').c_str()));
  };
  auto nothing = [] {};
  const Case cases[] = {
      {"d", "CreateSymbolicLinkW", u" d \"C:\\work\\dl\" \"C:\\target\"\r\n", nothing,
       [] { return !Exists(u"C:\\work\\dl"); }},
      {"f", "CreateSymbolicLinkW", u" f \"C:\\work\\fl\" \"C:\\target\\t.txt\"\r\n", nothing,
       [] { return !Exists(u"C:\\work\\fl"); }},
      {"j", "DeviceIoControl", u" j \"C:\\work\\j\" \"C:\\target\"\r\n", nothing,
       [] { return !Exists(u"C:\\work\\j"); }},
      {"k", "RemoveDirectoryW", u" k \"C:\\work\\empty\" \"x\"\r\n", nothing,
       [] { return Exists(u"C:\\work\\empty"); }},
      {"m", "SetVolumeMountPointW", u" m \"D:\\\" \"C:\\work\\empty\"\r\n", nothing,
       [] { return sim::Inspect(u"C:\\work\\empty").reparseTag == 0; }},
      {"n", "DeleteVolumeMountPointW", u" n \"C:\\work\\empty\" \"x\"\r\n", mountD,
       [] { return Exists(u"C:\\work\\empty") == false || sim::Inspect(u"C:\\work\\empty").reparseTag != 0; }},
      {"c", "CreateSymbolicLinkW", u" c \"C:\\dst\" \"C:\\src\"\r\n", nothing,
       [] { return !Exists(u"C:\\dst\\a.txt"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    c.setUp();
    sim::FailCallSilently(c.call, 1);
    SetLastError(0);
    EXPECT_EQ(RunCommands(c.line), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(sim::FaultsFired(), 1);
    EXPECT_TRUE(c.after());
    TearDown();
  }
}

// n on a mounted folder whose unmount fails without an error (Wine's
// DeleteVolumeMountPointW): the line reports 1 and the directory, which the
// unmount left a mount point, cannot be removed either.
TEST_F(SilentFailure, UnmountFailureStillTriesTheRemoval) {
  ASSERT_TRUE(sim::SetVolumeMountPointW(u"C:\\work\\empty\\", sim::VolumeGuidPath(u'D').c_str()));
  sim::FailCallSilently("DeleteVolumeMountPointW", 1);
  SetLastError(0);
  EXPECT_EQ(RunCommands(u" n \"C:\\work\\empty\" \"x\"\r\n"), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
  EXPECT_EQ(sim::CallCount("RemoveDirectoryW"), 1u) << "the removal is still attempted";
}

// The success-flag operations leave a real code as the last error.
TEST_F(SilentFailure, SuccessFlagOperationsLeaveARealCode) {
  ProbeCapabilities();
  sim::FailCallSilently("CreateSymbolicLinkW", 1);
  SetLastError(0);
  EXPECT_EQ(MakeSymbolicLink(u"C:\\work\\l", u"C:\\target", 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));

  sim::FailCallSilently("CreateHardLinkW", 1);
  SetLastError(0);
  EXPECT_EQ(MakeHardLink(u"C:\\target\\t.txt", u"C:\\work\\h"), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));

  // The backup method makes both paths absolute: an empty one is refused.
  SetLastError(0);
  EXPECT_EQ(MakeHardLinkByBackup(u"C:\\target\\t.txt", u""), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
  SetLastError(0);
  EXPECT_EQ(MakeHardLinkByBackup(u"", u"C:\\work\\h"), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(sim::Inspect(u"C:\\target\\t.txt").linkCount, 1u);
}

// In a clone, a silently failing link is recorded with 1 and sets the result;
// a root that cannot be made absolute is ERROR_INVALID_NAME.
TEST_F(SilentFailure, CloneRecordsARealCode) {
  ProbeCapabilities();
  DWORD counter = 0;
  FailureList failures;
  sim::FailCallSilently("CreateSymbolicLinkW", 1);
  SetLastError(0);
  EXPECT_EQ(CloneTree(u"C:\\src", u"C:\\dst", counter, 1, LinkKindSymbolic, 1, failures, nullptr), 1u);
  EXPECT_EQ(lbtest::Records(failures), std::vector<std::string>{"C:\\dst\\a.txt=1"});

  sim::FailCallSilently("GetFullPathNameW", 1);
  SetLastError(0);
  EXPECT_EQ(CloneTree(u"C:\\src", u"C:\\dst", counter, 1, LinkKindSymbolic, 1, failures, nullptr),
            static_cast<DWORD>(ERROR_INVALID_NAME));
}

}  // namespace
