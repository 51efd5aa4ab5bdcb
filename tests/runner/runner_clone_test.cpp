// The clone line: the second path is the source, the first the destination,
// files become symbolic links and the clone's result is the line's result.
#include <gtest/gtest.h>

#include "tests/support.h"

namespace {

using lbtest::RunCommands;

class RunnerClone : public lbtest::SimTest {};

// Source second, destination first: real directories, file symbolic links,
// exit code 0; a source that cannot be listed fails the line with a code.
TEST_F(RunnerClone, MirrorsSecondPathIntoFirst) {
  sim::MakeFile(u"C:\\src\\a.txt");
  sim::MakeFile(u"C:\\src\\sub\\b.txt");
  sim::MakeDirs(u"C:\\dest");
  EXPECT_EQ(RunCommands(u"xc \"C:\\dest\" \"C:\\src\"\r\n"), 0u);
  sim::NodeInfo file = sim::Inspect(u"C:\\dest\\sub\\b.txt");
  EXPECT_TRUE(file.exists);
  EXPECT_FALSE(file.isDirectory);
  EXPECT_EQ(file.reparseTag, IO_REPARSE_TAG_SYMLINK);
  sim::NodeInfo dir = sim::Inspect(u"C:\\dest\\sub");
  EXPECT_TRUE(dir.isDirectory);
  EXPECT_EQ(dir.reparseTag, 0u);
  EXPECT_EQ(sim::Inspect(u"C:\\src\\a.txt").reparseTag, 0u) << "the source was written to";

  sim::MakeDirs(u"C:\\dest2");
  EXPECT_NE(RunCommands(u"xc \"C:\\dest2\" \"C:\\nosuch\"\r\n"), 0u);
  EXPECT_TRUE(sim::List(u"C:\\dest2").empty());
  EXPECT_EQ(RunCommands(u"xc \"C:\\dest2\" \"C:\\src\r\n"), 13u);
  EXPECT_TRUE(sim::List(u"C:\\dest2").empty());
}

}  // namespace
