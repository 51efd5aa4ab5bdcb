// Hostile sizes: a command file of 100,000 lines, lines around and far past
// the 8191 characters one read takes, paths at the 8192-character limit
// through every operation, and a directory of 100,000 files.
#include <gtest/gtest.h>

#include <string>

#include "clone/clone.h"
#include "links/links.h"
#include "platform/probe.h"
#include "support/fresh_process.h"
#include "tests/support.h"

namespace {

using lbtest::RunCommands;

class StressLimits : public lbtest::SimTest {};

// A prefixed absolute path of exactly `total` characters under C:\long,
// in components short enough for NTFS (255).
std::u16string PathOfLength(size_t total) {
  std::u16string p = u"\\\\?\\C:\\long";
  while (p.size() + 1 + 200 < total) p += u"\\" + std::u16string(199, u'p') + u"q";
  p += u"\\" + std::u16string(total - p.size() - 1, u'z');
  EXPECT_EQ(p.size(), total);
  return p;
}

// Every line runs, in order, and the exit code is the last one's result.
TEST_F(StressLimits, HundredThousandLines) {
  sim::SetCallLogEnabled(false);
  sim::MakeDirs(u"C:\\t");
  std::u16string text;
  for (int i = 0; i < 99999; ++i) {
    text += u" k \"C:\\none" + sim::W(std::to_string(i)) + u"\" \"x\"\r\n";
  }
  text += u" j \"C:\\j\" \"C:\\t\"";
  EXPECT_EQ(RunCommands(text), 0u);
  EXPECT_EQ(sim::CallCount("RemoveDirectoryW"), 99999u);
  EXPECT_EQ(sim::Inspect(u"C:\\j").reparseTag, IO_REPARSE_TAG_MOUNT_POINT);

  // The same file ending in a failing line exits with its code.
  support::FreshProcess();
  sim::SetCallLogEnabled(false);
  text.resize(text.size() - std::u16string(u" j \"C:\\j\" \"C:\\t\"").size());
  text += u" k \"C:\\none\" \"x\"\n";
  EXPECT_EQ(RunCommands(text), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

// A line of up to 8191 characters (line feed included) is read whole; a
// longer one is still one line: its first 8191 characters are parsed and the
// rest is read and thrown away, whatever it holds, and the next line runs.
TEST_F(StressLimits, LinesAroundTheReadLimit) {
  for (size_t length : {8190u, 8191u, 8192u, 8193u, 20000u}) {
    SCOPED_TRACE(length);
    support::FreshProcess();
    sim::MakeDirs(u"C:\\t");
    sim::MakeDirs(u"C:\\keep");
    std::u16string line = u" j \"C:\\j\" \"C:\\t\" ";
    // A command hidden where the tail of an over-long line would start.
    std::u16string hidden = u" k \"C:\\keep\" \"x\"";
    while (line.size() < 8191) line += u"#";
    line += hidden;
    line.resize(length - 1, u'#');
    line += u"\n";
    ASSERT_EQ(line.size(), length);
    // The next line removes the junction the long line made.
    std::u16string text = line + u" k \"C:\\j\" \"x\"\n";
    EXPECT_EQ(RunCommands(text), 0u);
    EXPECT_FALSE(sim::Inspect(u"C:\\j").exists) << "the line after the long one did not run";
    EXPECT_TRUE(sim::Inspect(u"C:\\keep").isDirectory) << "text in a line's tail ran as a command";
    EXPECT_EQ(sim::CallCount("RemoveDirectoryW"), 1u);
  }
}

// An over-long line with no line feed at all, then the end of the file.
TEST_F(StressLimits, OverLongLastLineWithoutLineFeed) {
  sim::MakeDirs(u"C:\\t");
  std::u16string line = u" j \"C:\\j\" \"C:\\t\" " + std::u16string(30000, u'"');
  EXPECT_EQ(RunCommands(line), 0u);
  EXPECT_EQ(sim::Inspect(u"C:\\j").reparseTag, IO_REPARSE_TAG_MOUNT_POINT);
}

// A line whose first path does not fit one read: only its first 8191
// characters are a line, which has no closing mark for the path: 13.
TEST_F(StressLimits, PathCutByTheReadLimitIsMalformed) {
  sim::MakeDirs(u"C:\\t");
  std::u16string line = u" j \"C:\\" + std::u16string(9000, u'a') + u"\" \"C:\\t\"\n";
  EXPECT_EQ(RunCommands(line), static_cast<DWORD>(ERROR_INVALID_DATA));
  EXPECT_EQ(sim::CallCount("CreateDirectoryW"), 0u);
}

// Paths at the limit through every operation: 8192 characters do not fit
// the 8192-character buffers and give 206 before anything is made (the mount
// functions' 260-character buffers refuse far earlier); 8191 fit and reach
// the system. The symbolic link hands its paths to the system as they are.
TEST_F(StressLimits, PathsAtTheLimitThroughEveryOperation) {
  const std::u16string fits = PathOfLength(8191);
  const std::u16string over = PathOfLength(8192);
  ProbeCapabilities();
  sim::MakeFile(u"C:\\src\\a.txt");
  sim::MakeDirs(u"C:\\dst");
  const DWORD TooLong = ERROR_FILENAME_EXCED_RANGE;

  SetLastError(0xdeadbeef);
  EXPECT_EQ(MakeJunction(u"C:\\j", over.c_str()), TooLong);
  EXPECT_EQ(MakeJunction(over.c_str(), u"C:\\dst"), TooLong);
  // A target that fits the path buffers still carries its name twice in the
  // reparse data, more than a reparse point holds.
  EXPECT_EQ(MakeJunction(u"C:\\j", fits.c_str()), static_cast<DWORD>(ERROR_INVALID_REPARSE_DATA));
  EXPECT_FALSE(sim::Inspect(u"C:\\j").exists);

  for (const std::u16string* p : {&fits, &over}) {
    DWORD counter = 0;
    FailureList failures;
    // The prefixed forms need four more characters than the buffers keep
    // beside the prefix only when the path is not prefixed already.
    DWORD asSource = CloneTree(p->c_str(), u"C:\\dst", counter, 1, LinkKindSymbolic, 0, failures, nullptr);
    DWORD asDest = CloneTree(u"C:\\src", p->c_str(), counter, 1, LinkKindSymbolic, 0, failures, nullptr);
    if (p == &over) {
      EXPECT_EQ(asSource, TooLong);
      EXPECT_EQ(asDest, TooLong);
      EXPECT_EQ(counter, 0u);
      EXPECT_TRUE(failures.empty());
    } else {
      EXPECT_NE(asSource, 0u);  // the source does not exist
    }
    EXPECT_EQ(MountVolume(u"C:\\", p->c_str()), TooLong);
    EXPECT_EQ(UnmountVolume(p->c_str()), TooLong);

    SetLastError(0xdeadbeef);
    EXPECT_EQ(MakeHardLinkByBackup(p->c_str(), u"C:\\dst\\h"), 0);
    EXPECT_NE(GetLastError(), 0xdeadbeefu);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(MakeHardLinkByBackup(u"C:\\src\\a.txt", p->c_str()), 0);
    EXPECT_EQ(GetLastError(), p == &over ? TooLong : static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(MakeSymbolicLink(p->c_str(), u"C:\\src", SYMBOLIC_LINK_FLAG_DIRECTORY), 0);
    EXPECT_NE(GetLastError(), 0xdeadbeefu);
    ReparseKind kind = QueryReparseTarget(p->c_str(), nullptr);
    EXPECT_EQ(kind, ReparseKindNone);
  }
  EXPECT_TRUE(sim::List(u"C:\\dst").empty());
  EXPECT_FALSE(sim::Inspect(u"C:\\long").exists);

  // Through the runner the longest first path a line can carry makes its
  // junction.
  const std::u16string head = u" j \"";
  const std::u16string tail = u"\" \"C:\\dst\"\n";
  std::u16string longest = PathOfLength(8191 - head.size() - tail.size());
  sim::MakeDirs(longest.substr(4, longest.rfind(u'\\') - 4));
  EXPECT_EQ(RunCommands(head + longest + tail), 0u);
  EXPECT_EQ(sim::Inspect(longest.substr(4)).reparseTag, IO_REPARSE_TAG_MOUNT_POINT);
}

// A directory of 100,000 files clones completely: every file linked, the
// counter says so, nothing recorded.
TEST_F(StressLimits, DirectoryOfHundredThousandFiles) {
  sim::SetCallLogEnabled(false);
  ProbeCapabilities();
  for (int i = 0; i < 100000; ++i) sim::MakeFile(u"C:\\big\\file" + sim::W(std::to_string(i)));
  sim::MakeDirs(u"C:\\dst");
  DWORD counter = 0;
  FailureList failures;
  EXPECT_EQ(CloneTree(u"C:\\big", u"C:\\dst", counter, 1, LinkKindSymbolic, 1, failures, nullptr), 0u);
  EXPECT_EQ(counter, 100000u);
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(sim::List(u"C:\\dst").size(), 100000u);
  EXPECT_EQ(sim::Inspect(u"C:\\dst\\file99999").reparseTag, IO_REPARSE_TAG_SYMLINK);
  EXPECT_EQ(sim::CallCount("FindFirstFileW"), 1u);
}

}  // namespace

namespace {

class CloneArguments : public lbtest::SimTest {};

// CloneDirectory called directly with hostile buffers: null paths, a display
// offset past the prefix, or a buffer with no terminator inside the limit
// are refused with ERROR_INVALID_PARAMETER before any platform call; a
// source so long that its search pattern would not fit is recorded with 206.
TEST_F(CloneArguments, HostileBuffersAreRefused) {
  static WCHAR source[CloneBufferChars];
  static WCHAR destination[CloneBufferChars];
  DWORD counter = 0;
  FailureList failures;
  auto fill = [](WCHAR* buffer, const std::u16string& text) {
    for (size_t i = 0; i < CloneBufferChars; ++i) buffer[i] = i < text.size() ? text[i] : 0;
  };
  sim::MakeDirs(u"C:\\dst");
  fill(source, u"C:\\src");
  fill(destination, u"C:\\dst");
  const DWORD Invalid = ERROR_INVALID_PARAMETER;
  EXPECT_EQ(CloneDirectory(nullptr, destination, counter, 1, LinkKindSymbolic, 0, failures, nullptr), Invalid);
  EXPECT_EQ(CloneDirectory(source, nullptr, counter, 1, LinkKindSymbolic, 0, failures, nullptr), Invalid);
  EXPECT_EQ(CloneDirectory(source, destination, counter, 1, LinkKindSymbolic, 5, failures, nullptr), Invalid);
  // Shorter than the display offset claims.
  fill(source, u"C:");
  EXPECT_EQ(CloneDirectory(source, destination, counter, 1, LinkKindSymbolic, 4, failures, nullptr), Invalid);
  fill(source, u"C:\\src");
  for (size_t i = 0; i < CloneBufferChars; ++i) destination[i] = u'd';
  EXPECT_EQ(CloneDirectory(source, destination, counter, 1, LinkKindSymbolic, 0, failures, nullptr), Invalid);
  EXPECT_EQ(sim::TotalCalls(), 0u);
  EXPECT_TRUE(failures.empty());

  // A source of 8189 characters leaves no room for "\*.*" before the limit.
  fill(destination, u"C:\\dst");
  std::u16string longSource = u"C:\\" + std::u16string(8186, u's');
  fill(source, longSource);
  EXPECT_EQ(CloneDirectory(source, destination, counter, 1, LinkKindSymbolic, 0, failures, nullptr),
            static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].path, longSource);
  EXPECT_EQ(sim::CallCount("FindFirstFileW"), 0u);
  // The buffers are handed back as they came.
  EXPECT_EQ(std::u16string(source), longSource);
  EXPECT_EQ(std::u16string(destination), u"C:\\dst");
}

}  // namespace
