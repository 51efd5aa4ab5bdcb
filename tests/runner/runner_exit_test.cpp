// The command runner end to end: lines in, exit code and volume state out.
#include <gtest/gtest.h>

#include <string>

#include "tests/support.h"

namespace {

using lbtest::RunCommands;
using lbtest::RunWmain;
using lbtest::WriteCommandFile;

class RunnerExit : public lbtest::SimTest {};

bool Exists(const char16_t* path) { return sim::Inspect(path).exists; }

// A k line for path, padded with a comment after the second mark so that the
// whole line, line feed included, has exactly `total` characters.
std::u16string PaddedLine(const std::u16string& path, size_t total) {
  std::u16string line = u"xk \"" + path + u"\" \"x\" ";
  line += std::u16string(total - line.size() - 2, u'#');
  return line + u"\r\n";
}

// Without a line with a known letter the exit code is 1; the letters are lower
// case only. No argument or more than two returns -1 from wmain.
TEST_F(RunnerExit, NoKnownLineArgumentsAndMissingFile) {
  sim::MakeDirs(u"C:\\d");
  EXPECT_EQ(RunCommands(u""), 1u);
  EXPECT_EQ(RunCommands(u"xK \"C:\\d\" \"x\"\r\nxq \"C:\\d\" \"x\"\r\n\r\n"), 1u);
  EXPECT_TRUE(Exists(u"C:\\d")) << "an upper-case K removed the directory";
  EXPECT_EQ(RunWmain({u"/tmp/linkbatch-no-such-command-file"}), 1u);
  EXPECT_EQ(RunWmain({}), 4294967295u);
  std::u16string file = WriteCommandFile(u"xk \"C:\\d\" \"x\"\r\n");
  EXPECT_EQ(RunWmain({file, u"C:\\results.txt", file}), 4294967295u);
  EXPECT_TRUE(Exists(u"C:\\d")) << "a run with three arguments executed lines";
}

// k removes an empty directory and reports the removal's error otherwise; the
// exit code is the last known line's result, so a later success clears an
// earlier failure and an unknown letter changes nothing.
TEST_F(RunnerExit, LastKnownLineDecides) {
  sim::MakeDirs(u"C:\\full\\child");
  sim::MakeDirs(u"C:\\empty");
  sim::MakeDirs(u"C:\\second");
  EXPECT_EQ(RunCommands(u"xk \"C:\\full\" \"x\"\r\n"), 145u);
  EXPECT_TRUE(Exists(u"C:\\full\\child"));
  EXPECT_EQ(RunCommands(u"xk \"C:\\missing\" \"x\"\r\n"), 2u);
  EXPECT_EQ(RunCommands(u"xk \"C:\\missing\" \"x\"\r\nxk \"C:\\empty\" \"x\"\r\n"), 0u);
  EXPECT_FALSE(Exists(u"C:\\empty"));
  EXPECT_EQ(RunCommands(u"xk \"C:\\second\" \"x\"\r\nxk \"C:\\second\" \"x\"\r\nxZ \"a\" \"b\"\r\n"),
            2u);
}

// Line layout: a last line without a line feed runs, the carriage return and
// any text after the second mark do not matter, single-character paths parse
// (a relative one resolves against the current directory, C:\), a zero unit
// after the paths is text like any other, and a byte-order mark is the first
// line's position 0.
TEST_F(RunnerExit, LineLayout) {
  sim::MakeDirs(u"C:\\a");
  sim::MakeDirs(u"C:\\b");
  sim::MakeDirs(u"C:\\c");
  EXPECT_EQ(RunCommands(u"xk \"a\" \"x\" trailing \"quoted\" comment\r\nxk \"C:\\b\" \"x\""), 0u);
  EXPECT_FALSE(Exists(u"C:\\a"));
  EXPECT_FALSE(Exists(u"C:\\b"));
  // A zero unit inside either path would cut it short where the system reads
  // it: the line is malformed and nothing runs. After the paths it is text.
  sim::MakeDirs(u"C:\\z");
  EXPECT_EQ(RunCommands(std::u16string(u"xk \"C:\\z\0junk\" \"x\"\r\n", 20)), 13u);
  EXPECT_EQ(RunCommands(std::u16string(u"xk \"\0C:\\z\" \"x\"\r\n", 16)), 13u);
  EXPECT_EQ(RunCommands(std::u16string(u"xk \"C:\\z\" \"x\0\"\r\n", 16)), 13u);
  EXPECT_EQ(RunCommands(std::u16string(u"xk \"C:\\z\" \"\0\"\r\n", 15)), 13u);
  EXPECT_TRUE(Exists(u"C:\\z"));
  EXPECT_EQ(RunCommands(std::u16string(u"xk \"C:\\z\" \"x\"\0\r\n", 16)), 0u);
  EXPECT_FALSE(Exists(u"C:\\z"));

  EXPECT_EQ(RunWmain({WriteCommandFile(u"k \"C:\\c\" \"x\"\r\n", true)}), 0u);
  EXPECT_FALSE(Exists(u"C:\\c")) << "with the mark at position 0 the letter is k";
  sim::MakeDirs(u"C:\\c");
  EXPECT_EQ(RunCommands(u"k \"C:\\c\" \"x\"\r\n"), 1u) << "without it the letter is a space";
  EXPECT_TRUE(Exists(u"C:\\c"));
}

// A known letter with a missing closing mark runs nothing and yields
// ERROR_INVALID_DATA; with an unknown letter the result stays as it was.
TEST_F(RunnerExit, MalformedLines) {
  sim::MakeDirs(u"C:\\d");
  sim::MakeDirs(u"C:\\e");
  EXPECT_EQ(RunCommands(u"xk \"C:\\d\"\r\n"), 13u);
  EXPECT_EQ(RunCommands(u"xk \"C:\\d\" \"x\r\n"), 13u);
  EXPECT_EQ(RunCommands(u"xk"), 13u);
  EXPECT_EQ(RunCommands(u"xd \"\"\r\n"), 13u);
  EXPECT_TRUE(Exists(u"C:\\d")) << "a malformed k line removed its directory";
  EXPECT_EQ(RunCommands(u"xk \"C:\\e\" \"x\"\r\nxq \"C:\\d\r\nx\r\n"), 0u);
  EXPECT_FALSE(Exists(u"C:\\e"));
  EXPECT_EQ(RunCommands(u"xk \"C:\\e\" \"x\"\r\nxk \"C:\\d\r\n"), 13u)
      << "a malformed known line replaces an earlier result";
}

// One read takes 8191 characters: a line of that length, line feed included,
// is one piece; one unit longer leaves its line feed for a second piece. In
// both cases the following line is read as a line of its own.
TEST_F(RunnerExit, ReadBoundary) {
  for (size_t total : {8190u, 8191u, 8192u, 8193u}) {
    sim::MakeDirs(u"C:\\long");
    sim::MakeDirs(u"C:\\next");
    std::u16string text = PaddedLine(u"C:\\long", total) + u"xk \"C:\\next\" \"x\"\r\n";
    ASSERT_EQ(text.find(u"C:\\next"), total + 4);
    EXPECT_EQ(RunCommands(text), 0u) << total;
    EXPECT_FALSE(Exists(u"C:\\long")) << total;
    EXPECT_FALSE(Exists(u"C:\\next")) << "the line after a " << total << "-unit line was lost";
  }
  // A last line of exactly 8191 units without a line feed.
  sim::MakeDirs(u"C:\\long");
  std::u16string last = PaddedLine(u"C:\\long", 8193);
  last.resize(8191);
  EXPECT_EQ(RunCommands(last), 0u);
  EXPECT_FALSE(Exists(u"C:\\long"));
}

// The rest of an over-long line is never parsed: a command-looking text inside
// a comment or a long path, however many pieces in, runs nothing.
TEST_F(RunnerExit, LongLineTailNeverRuns) {
  sim::MakeDirs(u"C:\\victim");
  sim::MakeDirs(u"C:\\after");
  const std::u16string hidden = u"xk \"C:\\victim\" \"x\"\r\n";
  for (size_t pieces : {1u, 2u, 3u}) {
    // A comment that reaches exactly to a piece boundary.
    std::u16string comment = PaddedLine(u"C:\\missing", 8191 * pieces + 2);
    comment.resize(8191 * pieces);
    // A zero unit that happens to end a piece does not end the line.
    if (pieces == 2) comment.back() = u'\0';
    EXPECT_EQ(RunCommands(comment + hidden), 2u) << pieces;
    EXPECT_TRUE(Exists(u"C:\\victim")) << "a comment " << pieces << " pieces long ran as a line";
  }
  // A first path longer than a piece: its line has no closing mark in reach.
  std::u16string longPath = u"xj \"C:\\" + std::u16string(8300, u'p') + u"\" \"C:\\t\"";
  longPath.replace(8191, hidden.size() - 2, hidden.substr(0, hidden.size() - 2));
  EXPECT_EQ(RunCommands(longPath + u"\r\nxk \"C:\\after\" \"x\"\r\n"), 0u);
  EXPECT_TRUE(Exists(u"C:\\victim")) << "text inside a long path ran as a line";
  EXPECT_FALSE(Exists(u"C:\\after")) << "the line after the long one was lost";
}

}  // namespace

// A kill that falls on a release the handle owners make from a destructor
// (CloseHandle, FindClose) ends the process with the kill's code: no later
// line runs, and what it held is released as the system releases it.
TEST_F(RunnerExit, KillAtReleaseInDestructor) {
  for (const char* call : {"CloseHandle", "FindClose"}) {
    SCOPED_TRACE(call);
    SetUp();
    sim::MakeFile(u"C:\\src\\a.txt");
    sim::MakeDirs(u"C:\\dst");
    sim::MakeDirs(u"C:\\d");
    sim::TerminateAtCall(call, 1, 77);
    EXPECT_EQ(RunCommands(u" c \"C:\\dst\" \"C:\\src\"\r\n j \"C:\\j\" \"C:\\dst\"\r\n k \"C:\\d\" \"x\"\r\n"), 77u);
    EXPECT_EQ(sim::FaultsFired(), 1);
    EXPECT_TRUE(Exists(u"C:\\d")) << "a line ran after the kill";
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
  }
}
