// The command runner end to end: lines in, exit code and volume state out.
// The end-to-end table (tests/e2e/cases/command-file.case) holds the line
// rules, the read limit and the argument counts; what stays here is the
// zero unit, which the table does not hold yet.
#include <gtest/gtest.h>

#include <string>

#include "tests/support.h"

namespace {

using lbtest::RunCommands;

class RunnerExit : public lbtest::SimTest {};

bool Exists(const char16_t* path) { return sim::Inspect(path).exists; }

// A zero unit is text like any other: inside a path it ends the path, not
// the line, and at the end of a read it does not end an over-long line.
TEST_F(RunnerExit, ZeroUnitIsText) {
  sim::MakeDirs(u"C:\\z");
  EXPECT_EQ(RunCommands(std::u16string(u"xk \"C:\\z\0junk\" \"x\"\r\n", 20)), 0u);
  EXPECT_FALSE(Exists(u"C:\\z"));

  sim::MakeDirs(u"C:\\victim");
  std::u16string comment = u"xx" + std::u16string(2 * 8191 - 3, u'#') + std::u16string(1, u'\0');
  EXPECT_EQ(RunCommands(comment + u"xk \"C:\\victim\" \"x\"\r\n"), 1u);
  EXPECT_TRUE(Exists(u"C:\\victim")) << "a zero unit at the end of a read ended the line";
}

}  // namespace
