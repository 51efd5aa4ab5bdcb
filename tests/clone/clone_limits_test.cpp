// The tree clone at the edges of its path buffers: the deepest tree they
// allow on a 1 MiB thread stack, names that do not fit, junction cycles, and
// a destination inside its own source.
#include <stdio.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "clone/clone.h"
#include "links/links.h"
#include "platform/probe.h"
#include "support/fresh_process.h"
#include "tests/support.h"

namespace {

class CloneLimitsTest : public lbtest::CloneTestBase {};

std::u16string Repeat(const std::u16string& part, size_t times) {
  std::u16string s;
  for (size_t i = 0; i < times; ++i) s += part;
  return s;
}

struct DeepClone {
  DWORD* counter;
  FailureList* failures;
  DWORD result;
};

DWORD WINAPI RunDeepClone(LPVOID parameter) {
  auto* job = static_cast<DeepClone*>(parameter);
  job->result = CloneTree(u"C:\\s", u"C:\\d", *job->counter, 1, LinkKindSymbolic, 1, *job->failures, nullptr);
  return 0;
}

// One-character names nest until the source path and its "\*.*" fill the
// 8192-character buffer (4091 levels below "C:\s"); the level below is
// recorded with 206 and not made. All of it runs on a 1 MiB stack.
TEST_F(CloneLimitsTest, DeepestTreeOnOneMebibyteStack) {
#if defined(__SANITIZE_THREAD__)
  // The simulation resolves every path component by component, which makes
  // 4,000 levels slow under ThreadSanitizer; the stack budget is checked by
  // StackPerLevelFitsDeepestTreeInOneMebibyte there.
  GTEST_SKIP() << "too slow under ThreadSanitizer";
#endif
  const size_t deepest = 4091;
  sim::MakeDirs(u"C:\\s" + Repeat(u"\\a", deepest + 2));
  sim::MakeFile(u"C:\\s" + Repeat(u"\\a", 1000) + u"\\f");
  sim::MakeDirs(u"C:\\d");
  sim::SetCallLogEnabled(false);

  DeepClone job{&counter, &failures, 0xdeadbeef};
  HANDLE thread = CreateThread(nullptr, 1u << 20, RunDeepClone, &job, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  EXPECT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
  CloseHandle(thread);

  EXPECT_EQ(job.result, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(counter, 1u);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].path, u"C:\\d" + Repeat(u"\\a", deepest + 1));
  EXPECT_EQ(failures[0].errorCode, static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_TRUE(sim::Inspect(u"C:\\d" + Repeat(u"\\a", deepest)).isDirectory);
  EXPECT_FALSE(sim::Inspect(u"C:\\d" + Repeat(u"\\a", deepest + 1)).exists);
  EXPECT_EQ(sim::Inspect(u"C:\\d" + Repeat(u"\\a", 1000) + u"\\f").reparseTag, IO_REPARSE_TAG_SYMLINK);
}

// Stack addresses of the listing calls, by depth, taken on the calling
// thread as each FindFirstFileW returns (the simulation's trace runs there).
struct StackProbe {
  std::vector<uintptr_t> frameAtDepth;
};

ssize_t RecordListingDepth(void* cookie, const char* data, size_t size) {
  auto* probe = static_cast<StackProbe*>(cookie);
  std::string line(data, size);
  if (line.compare(0, 15, "FindFirstFileW(") == 0) {
    size_t depth = 0;
    for (size_t at = line.find("\\a"); at != std::string::npos && at < line.find("*.*"); at = line.find("\\a", at + 1))
      ++depth;
    if (depth < probe->frameAtDepth.size())
      probe->frameAtDepth[depth] = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  }
  return static_cast<ssize_t>(size);
}

#if defined(__SANITIZE_ADDRESS__)
const size_t kStackFactor = 4;  // the simulation gives sanitized threads 4x the stack
#else
const size_t kStackFactor = 1;
#endif

// The whole clone fits a 1 MiB stack at the deepest level the buffers allow:
// what it takes to reach the first listing (the clone's two path buffers,
// the platform call), 4096 levels of walk, and the reparse query's buffers,
// which the deepest level needs when its listing fails. Measured on a
// 300-level tree from the frames the listing calls run in.
TEST_F(CloneLimitsTest, StackPerLevelFitsDeepestTreeInOneMebibyte) {
  const size_t depth = 300;
  sim::MakeDirs(u"C:\\s" + Repeat(u"\\a", depth));
  sim::MakeDirs(u"C:\\d");
  StackProbe probe;
  probe.frameAtDepth.assign(depth + 1, 0);
  cookie_io_functions_t io = {nullptr, &RecordListingDepth, nullptr, nullptr};
  FILE* trace = fopencookie(&probe, "w", io);
  ASSERT_NE(trace, nullptr);
  setvbuf(trace, nullptr, _IONBF, 0);
  sim::SetTrace(trace);
  const uintptr_t top = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  DWORD result = CloneTree(u"C:\\s", u"C:\\d", counter, 1, LinkKindSymbolic, 1, failures, nullptr);
  sim::SetTrace(nullptr);
  fclose(trace);
  EXPECT_EQ(result, 0u);
  ASSERT_NE(probe.frameAtDepth[0], 0u);
  ASSERT_NE(probe.frameAtDepth[depth], 0u);
  const size_t toFirstListing = top - probe.frameAtDepth[0];
  const size_t perLevel = (probe.frameAtDepth[0] - probe.frameAtDepth[depth]) / depth;
  const size_t queryBuffers = 17000 + 8192 * 2 + 1024;
  const size_t needed = toFirstListing + 4096 * perLevel + queryBuffers;
  EXPECT_LE(needed, (size_t(1) << 20) * kStackFactor)
      << toFirstListing << " bytes to the first listing, " << perLevel << " per level";
  EXPECT_LE(perLevel, 256u * kStackFactor) << "bytes of stack per level";
}

// A name that does not fit behind the destination path is recorded with 206
// and skipped (a directory is not made); the entries after it still clone.
TEST_F(CloneLimitsTest, NameThatDoesNotFitIsRecordedAndSkipped) {
  // A destination root of 8034 characters: room for "\a.txt", not for a
  // 201-character name.
  std::u16string dest = u"C:" + Repeat(u"\\" + std::u16string(250, u'n'), 32);
  ASSERT_EQ(dest.size(), 8034u);
  sim::MakeDirs(dest);
  std::u16string longDir = u"b" + std::u16string(200, u'x');
  std::u16string longFile = u"d" + std::u16string(200, u'y');
  sim::MakeFile(u"C:\\src\\a.txt");
  sim::MakeFile(u"C:\\src\\" + longDir + u"\\inner.txt");
  sim::MakeFile(u"C:\\src\\c.txt");
  sim::MakeFile(u"C:\\src\\" + longFile);
  sim::TakeStdout();

  EXPECT_EQ(CloneTree(u"C:\\src", dest.c_str(), counter, 0, LinkKindSymbolic, 1, failures, nullptr),
            static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(counter, 2u);
  EXPECT_EQ(Records(), (std::vector<std::string>{sim::U8(dest + u"\\" + longDir) + "=206",
                                                 sim::U8(dest + u"\\" + longFile) + "=206"}));
  EXPECT_FALSE(sim::Inspect(dest + u"\\" + longDir).exists);
  EXPECT_EQ(sim::List(dest), (std::vector<std::u16string>{u"a.txt", u"c.txt"}));
  EXPECT_EQ(sim::TakeStdout(), "C:\\src\\a.txt\r\nERROR: Failed to create directory " +
                                   sim::U8(dest + u"\\" + longDir) + "\r\nC:\\src\\c.txt\r\n");
}

// A junction back to its own source root is made as an empty directory and
// recorded as a level that cannot be listed (1921, the code of a path that
// crosses too many reparse points); the walk does not go round the cycle.
TEST_F(CloneLimitsTest, JunctionBackToRootIsNotEntered) {
  sim::MakeFile(u"C:\\src\\f");
  ASSERT_EQ(MakeJunction(u"C:\\src\\j", u"C:\\src"), 0u);
  sim::TakeStdout();
  EXPECT_EQ(CloneTree(u"C:\\src", u"C:\\dst", counter, 0, LinkKindSymbolic, 1, failures, nullptr),
            static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
  EXPECT_EQ(Records(), std::vector<std::string>{"\\\\?\\C:\\src\\j=1921"});
  EXPECT_EQ(counter, 1u);
  EXPECT_TRUE(sim::Inspect(u"C:\\dst\\j").isDirectory);
  EXPECT_TRUE(sim::List(u"C:\\dst\\j").empty());
  EXPECT_EQ(sim::TakeStdout(), "C:\\src\\f\r\nERROR: Failed to enumerate files in C:\\src\\j\r\n");
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

// Links on one level that lead back up would double the walk at every turn
// if entered (2^63 paths before the reparse limit). Each is recorded once,
// wherever on the path it leads, and the rest of the tree is cloned.
TEST_F(CloneLimitsTest, BranchingCyclesEndAtOnce) {
  sim::MakeFile(u"C:\\src\\f");
  sim::MakeFile(u"C:\\src\\sub\\g");
  ASSERT_EQ(MakeJunction(u"C:\\src\\sub\\a", u"C:\\src"), 0u);
  ASSERT_TRUE(sim::CreateSymbolicLinkW(u"C:\\src\\sub\\b", u"C:\\src\\sub", SYMBOLIC_LINK_FLAG_DIRECTORY));
  ASSERT_EQ(MakeJunction(u"C:\\src\\sub\\c", u"C:\\src\\sub"), 0u);
  EXPECT_EQ(CloneTree(u"C:\\src", u"C:\\dst", counter, 1, LinkKindHard, 1, failures, nullptr),
            static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
  EXPECT_EQ(Records(), (std::vector<std::string>{"\\\\?\\C:\\src\\sub\\a=1921", "\\\\?\\C:\\src\\sub\\b=1921",
                                                 "\\\\?\\C:\\src\\sub\\c=1921"}));
  EXPECT_EQ(counter, 2u);
  for (const char16_t* d : {u"C:\\dst\\sub\\a", u"C:\\dst\\sub\\b", u"C:\\dst\\sub\\c"}) {
    EXPECT_TRUE(sim::Inspect(d).isDirectory);
    EXPECT_TRUE(sim::List(d).empty());
  }
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

// A link to a directory above the clone's root is entered (it is not on the
// walk's path yet), and the cycle is caught one turn later, where the same
// link is met again below the directory it leads to.
TEST_F(CloneLimitsTest, CycleThroughDirectoryAboveRoot) {
  sim::MakeFile(u"C:\\top\\src\\f");
  ASSERT_EQ(MakeJunction(u"C:\\top\\src\\up", u"C:\\top"), 0u);
  EXPECT_EQ(CloneTree(u"C:\\top\\src", u"C:\\dst", counter, 1, LinkKindSymbolic, 0, failures, nullptr),
            static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
  EXPECT_EQ(Records(), std::vector<std::string>{"C:\\top\\src\\up\\src\\up=1921"});
  EXPECT_EQ(counter, 2u);
  EXPECT_EQ(sim::Inspect(u"C:\\dst\\up\\src\\f").reparseTag, IO_REPARSE_TAG_SYMLINK);
  EXPECT_TRUE(sim::List(u"C:\\dst\\up\\src\\up").empty());
}

// A link to a sibling, or to a directory reached twice by different links,
// is no cycle: both copies are made in full.
TEST_F(CloneLimitsTest, SharedTargetIsNoCycle) {
  sim::MakeFile(u"C:\\src\\data\\x");
  ASSERT_EQ(MakeJunction(u"C:\\src\\one", u"C:\\src\\data"), 0u);
  ASSERT_EQ(MakeJunction(u"C:\\src\\two", u"C:\\src\\data"), 0u);
  EXPECT_EQ(CloneTree(u"C:\\src", u"C:\\dst", counter, 1, LinkKindSymbolic, 1, failures, nullptr), 0u);
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(counter, 3u);
  for (const char16_t* f : {u"C:\\dst\\data\\x", u"C:\\dst\\one\\x", u"C:\\dst\\two\\x"}) {
    EXPECT_EQ(sim::Inspect(f).reparseTag, IO_REPARSE_TAG_SYMLINK) << sim::U8(f);
  }
}

// The identities are read with CreateFileW (following the link), then
// GetFileInformationByHandle and CloseHandle, before the directory is made. A
// level's own identity, and the destination root's, are read once however
// many links there are, and only when there is one.
TEST_F(CloneLimitsTest, IdentityCallsInOrder) {
  sim::MakeFile(u"C:\\src\\data\\x");
  ASSERT_EQ(MakeJunction(u"C:\\src\\one", u"C:\\src\\data"), 0u);
  ASSERT_EQ(MakeJunction(u"C:\\src\\two", u"C:\\src\\data"), 0u);
  sim::ClearCalls();
  EXPECT_EQ(CloneTree(u"C:\\src", u"C:\\dst", counter, 1, LinkKindSymbolic, 0, failures, nullptr), 0u);
  std::vector<std::string> opens;
  for (const sim::Call& c : sim::Calls()) {
    if (c.name == "CreateFileW" || c.name == "GetFileInformationByHandle" || c.name == "CloseHandle") {
      opens.push_back(c.name == "CreateFileW" ? c.args.substr(0, c.args.find(',')) : c.name);
    }
  }
  EXPECT_EQ(opens, (std::vector<std::string>{
                       "\"C:\\src\\one\"", "GetFileInformationByHandle", "CloseHandle",  //
                       "\"C:\\dst\"", "GetFileInformationByHandle", "CloseHandle",       //
                       "\"C:\\src\"", "GetFileInformationByHandle", "CloseHandle",       //
                       "\"C:\\src\\two\"", "GetFileInformationByHandle", "CloseHandle"}));
}

// When identities cannot be read the walk cannot tell a cycle, and goes on
// until Windows stops following reparse points in one path (63), where the
// listing fails with 1921 and is recorded; nothing crashes or loops.
TEST_F(CloneLimitsTest, UnreadableIdentityFallsBackToReparseLimit) {
  sim::MakeFile(u"C:\\src\\f");
  ASSERT_EQ(MakeJunction(u"C:\\src\\j", u"C:\\src"), 0u);
  sim::SetCallLogEnabled(false);
  sim::FailCall("GetFileInformationByHandle", 1, ERROR_ACCESS_DENIED, true);
  EXPECT_EQ(CloneTree(u"C:\\src", u"C:\\dst", counter, 1, LinkKindSymbolic, 1, failures, nullptr),
            static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
  EXPECT_EQ(Records(), std::vector<std::string>{"\\\\?\\C:\\src" + sim::U8(Repeat(u"\\j", 64)) + "=1921"});
  EXPECT_EQ(counter, 64u) << "f is linked at every level that could be listed";
  EXPECT_TRUE(sim::Inspect(u"C:\\dst" + Repeat(u"\\j", 64)).isDirectory);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

// A destination inside its own source is passed over without a record and
// the rest mirrored once: by its path in any spelling ("\\?\", "\\.\", case,
// a trailing backslash, case outside ASCII), or through a junction or a
// mount point in the source. Before, it mirrored its own output to the limit.
TEST_F(CloneLimitsTest, DestinationInsideSourceIsNotEntered) {
  const struct {
    const char16_t* dest;
    const char16_t* source;
    unsigned char prefix;
    const char16_t* skipped;  // the source entry that is the destination
  } cases[] = {
      {u"C:\\src\\mirror", u"C:\\src", 1, u"mirror"},
      {u"\\\\.\\c:\\SRC\\Mirror\\", u"C:\\src", 1, u"mirror"},
      {u"C:\\src\\mirror", u"\\\\?\\C:\\src\\", 0, u"mirror"},
      {u"C:\\src\\MIRR\u00c9", u"C:\\src", 1, u"mirr\u00e9"},
      {u"C:\\out", u"C:\\src", 1, u"j"},
      {u"D:\\", u"C:\\src", 1, u"vol"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(sim::U8(c.dest));
    support::FreshProcess();
    ProbeCapabilities();
    sim::AddVolume(u'D');
    sim::MakeFile(u"C:\\src\\f");
    sim::MakeFile(u"C:\\src\\sub\\g");
    for (const char16_t* d : {u"C:\\src\\mirr\u00e9", u"C:\\src\\mirror", u"C:\\src\\vol", u"C:\\out"}) sim::MakeDirs(d);
    ASSERT_EQ(MakeJunction(u"C:\\src\\j", u"C:\\out"), 0u);
    ASSERT_TRUE(sim::SetVolumeMountPointW(u"C:\\src\\vol\\", sim::VolumeGuidPath(u'D').c_str()));
    failures.clear();
    counter = 0;
    EXPECT_EQ(CloneTree(c.source, c.dest, counter, 1, LinkKindSymbolic, c.prefix, failures, nullptr), 0u);
    EXPECT_TRUE(failures.empty());
    EXPECT_EQ(counter, 2u);
    std::vector<std::u16string> expected = {u"f", u"j", u"mirror", u"mirr\u00e9", u"sub", u"vol"};
    expected.erase(std::find(expected.begin(), expected.end(), c.skipped));
    EXPECT_EQ(sim::List(c.dest), expected);
  }
}

}  // namespace
