// The tree clone on the caller's thread: what it makes, prints, records and
// returns.
#include <map>
#include <string>
#include <vector>

#include "clone/clone.h"
#include "links/links.h"
#include "platform/probe.h"
#include "bench/clone_floor.h"
#include "tests/support.h"

namespace {

class CloneTest : public lbtest::CloneTestBase {
 protected:
  // One clone with a fresh counter and list, as the runner makes them.
  DWORD Run(const char16_t* source, const char16_t* dest, bool verbose, LinkKind kind = LinkKindSymbolic,
            bool prefix = true) {
    sim::TakeStdout();
    sim::ClearCalls();
    SetLastError(0xdeadbeef);
    return CloneTree(source, dest, counter, verbose ? 0 : 1, kind, prefix ? 1 : 0, failures, nullptr);
  }
};

using lbtest::LinkTarget;

void SmallTree() {
  sim::MakeFile(u"C:\\src\\a.txt");
  sim::MakeFile(u"C:\\src\\sub\\b.txt");
}

// A file and a subdirectory with a file: links to the absolute prefixed
// source paths, one real directory, two lines without the prefix.
TEST_F(CloneTest, SymbolicLinksWithPrefix) {
  SmallTree();
  EXPECT_EQ(Run(u"C:\\src", u"C:\\dst", true), 0u);
  EXPECT_EQ(counter, 2u);
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(LinkTarget(u"C:\\dst\\a.txt"), "\\\\?\\C:\\src\\a.txt");
  EXPECT_EQ(LinkTarget(u"C:\\dst\\sub\\b.txt"), "\\\\?\\C:\\src\\sub\\b.txt");
  sim::NodeInfo sub = sim::Inspect(u"C:\\dst\\sub");
  EXPECT_TRUE(sub.isDirectory);
  EXPECT_EQ(sub.reparseTag, 0u);
  EXPECT_EQ(sim::TakeStdout(), "C:\\src\\a.txt\r\nC:\\src\\sub\\b.txt\r\n");
}

// The destination is made absolute before the source, and each level costs
// one listing start, one step per entry and one close; each file one link.
TEST_F(CloneTest, PlatformCallsInOrder) {
  SmallTree();
  EXPECT_EQ(Run(u"C:\\src", u"C:\\dst", false), 0u);
  std::vector<std::string> got;
  for (const sim::Call& c : sim::Calls())
    if (c.name != "SetLastError") got.push_back(c.name + "(" + c.args + ")");  // the test's sentinel
  ASSERT_GE(got.size(), 2u);
  EXPECT_NE(got[0].find("GetFullPathNameW(\"C:\\dst\""), std::string::npos) << got[0];
  EXPECT_NE(got[1].find("GetFullPathNameW(\"C:\\src\""), std::string::npos) << got[1];
  std::vector<std::string> names;
  for (size_t i = 2; i < got.size(); ++i) names.push_back(got[i].substr(0, got[i].find('(')));
  std::vector<std::string> expected = {
      "FindFirstFileW",      // .
      "FindNextFileW",       // ..
      "FindNextFileW",       // a.txt
      "CreateSymbolicLinkW", //
      "FindNextFileW",       // sub
      "CreateDirectoryW",    //
      "FindFirstFileW",      // sub\.
      "FindNextFileW",       // ..
      "FindNextFileW",       // b.txt
      "CreateSymbolicLinkW", //
      "FindNextFileW",       // end
      "GetLastError",        // the end of the listing, not a failure
      "FindClose",           //
      "FindNextFileW",       // end
      "GetLastError",        //
      "FindClose"};
  EXPECT_EQ(names, expected);
  EXPECT_NE(got[2].find("\"\\\\?\\C:\\src\\*.*\""), std::string::npos) << got[2];
}

// A quiet clone makes exactly the floor of platform calls, counted by name
// (bench/clone_floor.h), on every shape of tree: nothing per entry beyond
// its listing step and its link or directory, nothing per level beyond its
// listing.
TEST_F(CloneTest, CallFloorByCount) {
  struct Shape {
    std::vector<const char16_t*> files;
    const char16_t *emptyDirectory, *source, *dest;
    long long directories;
  } shapes[] = {
      {{u"C:\\src\\a", u"C:\\src\\b"}, nullptr, u"C:\\src", u"C:\\dst", 0},
      {{u"C:\\src\\a", u"C:\\src\\s\\b", u"C:\\src\\s\\t\\c"}, u"C:\\src\\e", u"C:\\src", u"C:\\dst", 3},
      {{u"D:\\a", u"D:\\s\\b"}, nullptr, u"D:\\", u"E:\\", 1},
  };
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(sim::U8(shape.source) + ", directories: " + std::to_string(shape.directories));
    SetUp();
    sim::AddVolume(u'D');
    sim::AddVolume(u'E');
    for (const char16_t* f : shape.files) sim::MakeFile(f);
    if (shape.emptyDirectory) sim::MakeDirs(shape.emptyDirectory);
    sim::ClearCalls();
    ASSERT_EQ(CloneTree(shape.source, shape.dest, counter, 1, LinkKindSymbolic, 1, failures, nullptr), 0u);
    std::map<std::string, long long> made;
    for (const sim::Call& c : sim::Calls()) made[c.name]++;
    EXPECT_EQ(made, bench::CloneFloor(static_cast<long long>(shape.files.size()), shape.directories,
                                      shape.source[3] == 0));
  }
}

// Without the prefix the buffers hold plain absolute paths, printed and
// linked whole; a relative root resolves against the current directory.
TEST_F(CloneTest, PlainPathsWithoutPrefix) {
  SmallTree();
  EXPECT_EQ(Run(u"src", u"C:\\dst", true, LinkKindSymbolic, false), 0u);
  EXPECT_EQ(LinkTarget(u"C:\\dst\\a.txt"), "C:\\src\\a.txt");
  EXPECT_EQ(LinkTarget(u"C:\\dst\\sub\\b.txt"), "C:\\src\\sub\\b.txt");
  EXPECT_EQ(sim::TakeStdout(), "C:\\src\\a.txt\r\nC:\\src\\sub\\b.txt\r\n");
}

// Hard links give the destination the source file's identity.
TEST_F(CloneTest, HardLinks) {
  SmallTree();
  EXPECT_EQ(Run(u"C:\\src", u"C:\\dst", false, LinkKindHard), 0u);
  EXPECT_EQ(counter, 2u);
  sim::NodeInfo src = sim::Inspect(u"C:\\src\\sub\\b.txt");
  sim::NodeInfo dst = sim::Inspect(u"C:\\dst\\sub\\b.txt");
  EXPECT_EQ(dst.fileId, src.fileId);
  EXPECT_EQ(dst.linkCount, 2u);
  EXPECT_EQ(dst.reparseTag, 0u);
}

// A re-run fails on the existing file with 183 and skips the existing
// directory with its subtree. The record is kept either way; only a verbose
// clone makes 183 its result, so a quiet re-run (the c command) ends with 0.
TEST_F(CloneTest, RerunOverExistingDestination) {
  SmallTree();
  ASSERT_EQ(Run(u"C:\\src", u"C:\\dst", false), 0u);
  for (bool verbose : {true, false}) {
    failures.clear();
    counter = 0;
    EXPECT_EQ(Run(u"C:\\src", u"C:\\dst", verbose), verbose ? 183u : 0u) << "verbose " << verbose;
    EXPECT_EQ(Records(), std::vector<std::string>{"C:\\dst\\a.txt=183"});
    EXPECT_EQ(counter, 0u);
    EXPECT_EQ(sim::CallCount("FindFirstFileW"), 1u) << "the existing subdirectory is not entered";
    EXPECT_EQ(sim::TakeStdout(), verbose ? "ERROR: Couldn't create already existing C:\\dst\\a.txt\r\n" : "");
  }
}

// Each kind of failure stores its path and code, prints its own line in
// verbose mode only, sets the result in both modes (except a file that
// already exists, which a quiet clone leaves out of its result), and the
// walk goes on.
// "{d}" stands for the destination root of the run.
TEST_F(CloneTest, FailureTable) {
  struct Case {
    const char* what;
    const char* call;
    int nth;
    DWORD code;
    LinkKind kind;
    std::string record;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"file link denied", "CreateSymbolicLinkW", 1, ERROR_ACCESS_DENIED, LinkKindSymbolic,
       "{d}\\a.txt=5", "ERROR: Failed to create hardlink {d}\\a.txt\r\n"},
      {"hard link denied", "CreateHardLinkW", 1, ERROR_ACCESS_DENIED, LinkKindHard, "{d}\\a.txt=5",
       "ERROR: Failed to create hardlink {d}\\a.txt\r\n"},
      {"file link exists", "CreateSymbolicLinkW", 2, ERROR_ALREADY_EXISTS, LinkKindSymbolic,
       "{d}\\sub\\b.txt=183", "ERROR: Couldn't create already existing {d}\\sub\\b.txt\r\n"},
      {"file link other code", "CreateSymbolicLinkW", 1, ERROR_PRIVILEGE_NOT_HELD, LinkKindSymbolic,
       "{d}\\a.txt=1314", ""},
      {"directory not made", "CreateDirectoryW", 1, ERROR_ACCESS_DENIED, LinkKindSymbolic,
       "{d}\\sub=5", "ERROR: Failed to create directory {d}\\sub\r\n"},
      {"level not listed", "FindFirstFileW", 2, ERROR_ACCESS_DENIED, LinkKindSymbolic,
       "\\\\?\\C:\\src\\sub=5", "ERROR: Failed to enumerate files in C:\\src\\sub\r\n"},
  };
  auto fill = [](std::string text, const std::string& dest) {
    size_t at = text.find("{d}");
    if (at != std::string::npos) text.replace(at, 3, dest);
    return text;
  };
  SmallTree();
  int run = 0;
  for (const Case& c : cases) {
    for (bool verbose : {true, false}) {
      std::u16string dest = u"C:\\d" + sim::W(std::to_string(++run));
      sim::MakeDirs(dest);
      failures.clear();
      counter = 0;
      sim::FailCall(c.call, c.nth, c.code);
      DWORD result = !verbose && c.code == ERROR_ALREADY_EXISTS ? 0 : c.code;
      EXPECT_EQ(Run(u"C:\\src", dest.c_str(), verbose, c.kind), result) << c.what << ", verbose " << verbose;
      EXPECT_EQ(Records(), std::vector<std::string>{fill(c.record, sim::U8(dest))}) << c.what;
      EXPECT_EQ(counter, 1u) << c.what << ": the other file is still linked";
      std::string expectedOut;
      if (verbose) {
        expectedOut = fill(c.message, sim::U8(dest));
        // The file that did link is listed too, in walk order.
        std::string linked = c.nth == 1 && std::string(c.call) != "FindFirstFileW" &&
                                     std::string(c.call) != "CreateDirectoryW"
                                 ? "C:\\src\\sub\\b.txt\r\n"
                                 : "C:\\src\\a.txt\r\n";
        expectedOut = linked == "C:\\src\\a.txt\r\n" ? linked + expectedOut : expectedOut + linked;
      }
      EXPECT_EQ(sim::TakeStdout(), expectedOut) << c.what;
    }
  }
}

// A directory, junction or directory link holding a source directory's name
// is skipped silently with its subtree; a file, a file link or a dangling
// one cannot take the subtree: 183, recorded and the result, in both modes.
TEST_F(CloneTest, WhatHoldsADirectorysName) {
  for (const char16_t* name : {u"a", u"b", u"c", u"d", u"e", u"f"}) sim::MakeFile(u"C:\\src\\" + std::u16string(name) + u"\\x");
  sim::SetPrivilegeEnabled(u"SeCreateSymbolicLinkPrivilege", true);
  for (bool verbose : {true, false}) {
    const std::u16string d = verbose ? u"C:\\d1\\" : u"C:\\d2\\";
    sim::MakeDirs(d + u"a");
    ASSERT_EQ(MakeJunction((d + u"b").c_str(), u"C:\\else"), 0u);
    ASSERT_TRUE(sim::CreateSymbolicLinkW((d + u"c").c_str(), u"C:\\else", SYMBOLIC_LINK_FLAG_DIRECTORY));
    sim::MakeFile(d + u"d");
    ASSERT_TRUE(sim::CreateSymbolicLinkW((d + u"e").c_str(), u"C:\\src\\a\\x", 0));
    ASSERT_TRUE(sim::CreateSymbolicLinkW((d + u"f").c_str(), u"C:\\none", 0));
    EXPECT_EQ(Run(u"C:\\src", d.c_str(), verbose), 183u);
    std::vector<std::string> records;
    std::string out;
    for (const char* held : {"d", "e", "f"}) {
      records.push_back(sim::U8(d) + held + "=183");
      out += verbose ? "ERROR: Failed to create directory " + sim::U8(d) + held + "\r\n" : "";
    }
    EXPECT_EQ(Records(), records);
    EXPECT_EQ(sim::TakeStdout(), out);
    failures.clear();
  }
}

// A level's result is the last non-zero value set at it; a child's 0 does
// not clear an earlier failure, and a child's failure travels up.
TEST_F(CloneTest, ResultIsLastNonZeroValue) {
  sim::MakeFile(u"C:\\src\\a.txt");
  sim::MakeFile(u"C:\\src\\b.txt");
  sim::MakeFile(u"C:\\src\\c\\x.txt");
  sim::FailCall("CreateSymbolicLinkW", 1, ERROR_ACCESS_DENIED);
  sim::FailCall("CreateSymbolicLinkW", 2, ERROR_PRIVILEGE_NOT_HELD);
  EXPECT_EQ(Run(u"C:\\src", u"C:\\dst", false), 1314u) << "later failure wins; child c's 0 keeps it";
  EXPECT_EQ(counter, 1u);

  sim::MakeDirs(u"C:\\dst2");
  failures.clear();
  sim::FailCall("CreateSymbolicLinkW", 3, ERROR_INVALID_NAME);
  EXPECT_EQ(Run(u"C:\\src", u"C:\\dst2", false), 123u) << "a child's failure becomes the parent's";
  EXPECT_EQ(Records(), std::vector<std::string>{"C:\\dst2\\c\\x.txt=123"});
}

// A source that does not exist is one record holding the prefixed path.
TEST_F(CloneTest, MissingSource) {
  EXPECT_EQ(Run(u"C:\\nosrc", u"C:\\dst", true), 3u);
  EXPECT_EQ(Records(), std::vector<std::string>{"\\\\?\\C:\\nosrc=3"});
  EXPECT_EQ(sim::TakeStdout(), "ERROR: Failed to enumerate files in C:\\nosrc\r\n");
}

// The listing's own error is kept even when the junction test that follows
// fails with another code.
TEST_F(CloneTest, ListingErrorSurvivesJunctionTest) {
  sim::MakeDirs(u"C:\\src\\sub");
  sim::FailCall("FindFirstFileW", 2, ERROR_ACCESS_DENIED);
  sim::FailCall("GetFileAttributesW", 1, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Run(u"C:\\src", u"C:\\dst", false), 5u);
  EXPECT_EQ(Records(), std::vector<std::string>{"\\\\?\\C:\\src\\sub=5"});
  EXPECT_EQ(sim::FaultsFired(), 2) << "the junction test did look at the path";
}

// A source with only "." and ".." makes nothing.
TEST_F(CloneTest, EmptySource) {
  sim::MakeDirs(u"C:\\src");
  EXPECT_EQ(Run(u"C:\\src", u"C:\\dst", true), 0u);
  EXPECT_TRUE(sim::List(u"C:\\dst").empty());
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(sim::TakeStdout(), "");
}

// Junctions and directory symbolic links in the source are directories: a
// real directory is made and the clone goes through them.
TEST_F(CloneTest, JunctionAndDirectoryLinkAreEntered) {
  sim::MakeFile(u"C:\\other\\x.txt");
  sim::MakeFile(u"C:\\other2\\y.txt");
  sim::MakeDirs(u"C:\\src");
  ASSERT_EQ(MakeJunction(u"C:\\src\\j", u"C:\\other"), 0u);
  ASSERT_TRUE(sim::CreateSymbolicLinkW(u"C:\\src\\l", u"C:\\other2", SYMBOLIC_LINK_FLAG_DIRECTORY));
  EXPECT_EQ(Run(u"C:\\src", u"C:\\dst", false), 0u);
  EXPECT_EQ(counter, 2u);
  for (const char16_t* d : {u"C:\\dst\\j", u"C:\\dst\\l"}) {
    sim::NodeInfo n = sim::Inspect(d);
    EXPECT_TRUE(n.isDirectory);
    EXPECT_EQ(n.reparseTag, 0u);
  }
  EXPECT_EQ(LinkTarget(u"C:\\dst\\j\\x.txt"), "\\\\?\\C:\\src\\j\\x.txt");
  EXPECT_EQ(LinkTarget(u"C:\\dst\\l\\y.txt"), "\\\\?\\C:\\src\\l\\y.txt");
}

// A junction to a drive path that cannot be listed is passed over without a
// record or message; its destination directory stays empty.
TEST_F(CloneTest, UnlistableDriveJunctionPassedOver) {
  sim::MakeFile(u"C:\\src\\a.txt");
  ASSERT_EQ(MakeJunction(u"C:\\src\\gone", u"Q:\\data"), 0u);
  EXPECT_EQ(Run(u"C:\\src", u"C:\\dst", true), 0u);
  EXPECT_TRUE(failures.empty());
  EXPECT_TRUE(sim::Inspect(u"C:\\dst\\gone").isDirectory);
  EXPECT_TRUE(sim::List(u"C:\\dst\\gone").empty());
  EXPECT_EQ(sim::TakeStdout(), "C:\\src\\a.txt\r\n");
}

// Without CreateSymbolicLinkW every file fails with the code the link
// operation leaves.
TEST_F(CloneTest, NoSymbolicLinksOnTheSystem) {
  sim::SetExportPresent("CreateSymbolicLinkW", false);
  ResetCapabilities();
  ProbeCapabilities();
  SmallTree();
  EXPECT_EQ(Run(u"C:\\src", u"C:\\dst", false), 1u);
  EXPECT_EQ(Records(), (std::vector<std::string>{"C:\\dst\\a.txt=1", "C:\\dst\\sub\\b.txt=1"}));
  EXPECT_EQ(counter, 0u);
  EXPECT_TRUE(sim::Inspect(u"C:\\dst\\sub").isDirectory);
}

// A root that cannot be made absolute, or whose absolute form would not
// leave room for the listing, is the clone's result and nothing is done.
TEST_F(CloneTest, UnresolvableRootClonesNothing) {
  SmallTree();
  EXPECT_EQ(Run(u"", u"C:\\dst", true), 123u);
  EXPECT_EQ(sim::CallCount("FindFirstFileW"), 0u);

  sim::FailCall("GetFullPathNameW", 1, ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(Run(u"C:\\src", u"C:\\dst", true), 8u);
  EXPECT_EQ(sim::CallCount("GetFullPathNameW"), 1u) << "destination first; the source is not resolved";

  // 8187 characters leave room for "\*.*"; 8188 do not.
  std::u16string fits = u"C:\\" + std::u16string(8187 - 3, u'x');
  std::u16string over = u"C:\\" + std::u16string(8188 - 3, u'x');
  EXPECT_EQ(Run(over.c_str(), u"C:\\dst", true), 206u);
  EXPECT_EQ(sim::CallCount("FindFirstFileW"), 0u);
  EXPECT_NE(Run(fits.c_str(), u"C:\\dst", true), 206u);
  EXPECT_EQ(sim::CallCount("FindFirstFileW"), 1u);
  std::u16string huge(9000, u'x');
  EXPECT_EQ(Run(huge.c_str(), u"C:\\dst", true), 206u);
  EXPECT_EQ(Run(u"C:\\src", huge.c_str(), true), 206u);
  EXPECT_EQ(sim::TakeStdout(), "");
  EXPECT_TRUE(sim::List(u"C:\\dst").empty());
}

}  // namespace
