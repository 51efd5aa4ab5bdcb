// Symbolic links: the system function is used as the probe found it, the
// target text goes through unchanged, and a missing function reads as
// ERROR_INVALID_FUNCTION rather than a stale error.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "links/links.h"
#include "platform/probe.h"
#include "tests/support.h"

namespace {

using lbtest::RunCommands;

class LinksSymlink : public lbtest::SimTest {};

uint16_t Get16(const std::vector<uint8_t>& d, size_t at) {
  return static_cast<uint16_t>(d.at(at) | (d.at(at + 1) << 8));
}

// The print name of symbolic-link reparse data (names count from offset 20).
std::u16string PrintName(const std::vector<uint8_t>& d) {
  std::u16string out;
  const size_t offset = 20 + Get16(d, 12);
  for (size_t i = 0; i < Get16(d, 14) / 2u; ++i) out.push_back(Get16(d, offset + 2 * i));
  return out;
}

// Flags 1 make a directory link, 0 a file link; the target text is stored as
// given, a relative one too.
TEST_F(LinksSymlink, KindAndTargetThroughTheRunner) {
  sim::MakeDirs(u"C:\\target");
  EXPECT_EQ(RunCommands(u"xd \"C:\\dirlink\" \"C:\\target\"\r\n"
                        u"xf \"C:\\filelink\" \"..\\some\\file.txt\"\r\n"),
            0u);
  sim::NodeInfo dir = sim::Inspect(u"C:\\dirlink");
  ASSERT_TRUE(dir.exists);
  EXPECT_TRUE(dir.isDirectory);
  EXPECT_EQ(dir.reparseTag, IO_REPARSE_TAG_SYMLINK);
  EXPECT_EQ(sim::U8(PrintName(dir.reparseData)), "C:\\target");
  sim::NodeInfo file = sim::Inspect(u"C:\\filelink");
  ASSERT_TRUE(file.exists);
  EXPECT_FALSE(file.isDirectory);
  EXPECT_EQ(file.reparseTag, IO_REPARSE_TAG_SYMLINK);
  EXPECT_EQ(sim::U8(PrintName(file.reparseData)), "..\\some\\file.txt");
  EXPECT_EQ(sim::CallCount("CreateSymbolicLinkW"), 2u);
}

// A refusal by the system reaches the exit code as its own error: a token
// without the right gives ERROR_PRIVILEGE_NOT_HELD, a taken name
// ERROR_ALREADY_EXISTS.
TEST_F(LinksSymlink, SystemRefusalReachesTheExitCode) {
  sim::MakeDirs(u"C:\\taken");
  EXPECT_EQ(RunCommands(u"xd \"C:\\taken\" \"C:\\t\"\r\n"), 183u);
  sim::SetTokenPrivileges({u"SeBackupPrivilege", u"SeRestorePrivilege"});
  EXPECT_EQ(RunCommands(u"xf \"C:\\link\" \"C:\\t\"\r\n"), 1314u);
  EXPECT_FALSE(sim::Inspect(u"C:\\link").exists);
}

// Without CreateSymbolicLinkW nothing but the last error is touched, and it is
// ERROR_INVALID_FUNCTION, so a d or f line records 1 whatever came before.
TEST_F(LinksSymlink, MissingFunctionSetsInvalidFunction) {
  sim::ClearCalls();
  SetLastError(0xdeadbeef);
  sim::ClearCalls();
  EXPECT_EQ(MakeSymbolicLink(u"C:\\link", u"C:\\target", 1), 0);
  std::vector<std::string> names = sim::CallNames();
  EXPECT_EQ(GetLastError(), 1u);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0], "SetLastError");

  sim::SetExportPresent("CreateSymbolicLinkW", false);
  EXPECT_EQ(RunCommands(u"xk \"C:\\missing\" \"x\"\r\nxd \"C:\\link\" \"C:\\target\"\r\n"), 1u);
  EXPECT_EQ(RunCommands(u"xf \"C:\\link\" \"C:\\target\"\r\n"), 1u);
  EXPECT_FALSE(sim::Inspect(u"C:\\link").exists);
}

// A made link returns exactly 1 and keeps the caller's argument order.
TEST_F(LinksSymlink, DirectCallOrder) {
  ProbeCapabilities();
  sim::ClearCalls();
  EXPECT_EQ(MakeSymbolicLink(u"C:\\new", u"C:\\old", 0), 1);
  std::vector<sim::Call> calls = sim::Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].name, "CreateSymbolicLinkW");
  EXPECT_EQ(calls[0].args, "\"C:\\new\", \"C:\\old\", 0");
}

}  // namespace
