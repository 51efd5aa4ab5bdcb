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

// A made link returns exactly 1 and keeps the caller's argument order; on a
// system that takes the unprivileged-create flag it costs one call.
TEST_F(LinksSymlink, DirectCallOrder) {
  ProbeCapabilities();
  sim::ClearCalls();
  EXPECT_EQ(MakeSymbolicLink(u"C:\\new", u"C:\\old", 0), 1);
  std::vector<sim::Call> calls = sim::Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].name, "CreateSymbolicLinkW");
  EXPECT_EQ(calls[0].args, "\"C:\\new\", \"C:\\old\", 2");
}

// The flags of every CreateSymbolicLinkW call, in order.
std::vector<std::string> LinkFlags() {
  std::vector<std::string> out;
  for (const sim::Call& c : sim::Calls()) {
    if (c.name == "CreateSymbolicLinkW") out.push_back(c.args.substr(c.args.rfind(' ') + 1));
  }
  return out;
}

// What a d line gives on each kind of system for a standard user (no
// privilege) and an administrator, and which flags reached the system: the
// flag first, and after an ERROR_INVALID_PARAMETER once more without it.
TEST_F(LinksSymlink, UnprivilegedFlagAndItsRetry) {
  const struct {
    const char* what;
    DWORD major, build;
    bool developerMode, privilege;
    DWORD exitCode;
    std::vector<std::string> flags;
  } cases[] = {
      {"Developer Mode, no privilege", 10, 0, true, false, 0, {"3"}},
      {"no Developer Mode, no privilege", 10, 0, false, false, 1314, {"3"}},
      {"no Developer Mode, privilege", 10, 0, false, true, 0, {"3"}},
      {"build before the flag, Developer Mode", 10, 14393, true, false, 1314, {"3", "1"}},
      {"build before the flag, privilege", 10, 14393, false, true, 0, {"3", "1"}},
      {"Windows 7, privilege", 6, 0, false, true, 0, {"3", "1"}},
  };
  for (const auto& c : cases) {
    SetUp();
    sim::SetWindowsVersion(c.major, c.major == 6 ? 1 : 0, c.build);
    sim::SetDeveloperMode(c.developerMode);
    if (!c.privilege) sim::SetTokenPrivileges({});
    sim::MakeDirs(u"C:\\t");
    EXPECT_EQ(RunCommands(u"xd \"C:\\link\" \"C:\\t\"\r\n"), c.exitCode) << c.what;
    EXPECT_EQ(sim::Inspect(u"C:\\link").exists, c.exitCode == 0) << c.what;
    EXPECT_EQ(LinkFlags(), c.flags) << c.what;
  }
}

// A system that refused the flag is asked without it for the rest of the
// process: the clone's links, d and f lines after the first pay no extra
// call. A fresh process (a new probe) tries the flag again.
TEST_F(LinksSymlink, RefusedFlagIsRememberedForTheProcess) {
  sim::SetWindowsVersion(6, 1);
  sim::MakeFile(u"C:\\src\\a.txt");
  sim::MakeFile(u"C:\\src\\b.txt");
  sim::MakeFile(u"C:\\src\\sub\\c.txt");
  sim::MakeDirs(u"C:\\dst");
  EXPECT_EQ(RunCommands(u"xc \"C:\\dst\" \"C:\\src\"\r\n"
                        u"xf \"C:\\f\" \"C:\\src\\a.txt\"\r\n"
                        u"xd \"C:\\d\" \"C:\\src\"\r\n"),
            0u);
  EXPECT_EQ(LinkFlags(), (std::vector<std::string>{"2", "0", "0", "0", "0", "1"}));
  EXPECT_EQ(sim::Inspect(u"C:\\dst\\sub\\c.txt").reparseTag, IO_REPARSE_TAG_SYMLINK);

  sim::ClearCalls();
  ProbeCapabilities();
  EXPECT_EQ(MakeSymbolicLink(u"C:\\g", u"C:\\src\\b.txt", 0), 1);
  EXPECT_EQ(LinkFlags(), (std::vector<std::string>{"2", "0"}));
}

// An ERROR_INVALID_PARAMETER that comes back without the flag too, or an
// ERROR_PRIVILEGE_NOT_HELD, tells nothing about the flag: it is the result,
// and the flag stays on for later links.
// Any other first answer is the result at once, with no second call.
TEST_F(LinksSymlink, InvalidParameterWithAnotherCauseKeepsTheFlag) {
  ProbeCapabilities();
  sim::MakeDirs(u"C:\\t");
  sim::ClearCalls();
  sim::FailCall("CreateSymbolicLinkW", 1, ERROR_INVALID_PARAMETER, true);
  EXPECT_FAILS_WITH(MakeSymbolicLink(u"C:\\l1", u"C:\\t", 1), 0, ERROR_INVALID_PARAMETER);
  sim::ClearFaults();
  sim::FailCall("CreateSymbolicLinkW", 1, ERROR_ACCESS_DENIED);
  EXPECT_FAILS_WITH(MakeSymbolicLink(u"C:\\l2", u"C:\\t", 1), 0, ERROR_ACCESS_DENIED);
  // A failure that leaves the last error at 0 is no reason to retry, and
  // reads as ERROR_INVALID_FUNCTION, not as success.
  SetLastError(0);
  sim::FailCallSilently("CreateSymbolicLinkW", 1);
  EXPECT_EQ(MakeSymbolicLink(u"C:\\l4", u"C:\\t", 1), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
  EXPECT_EQ(MakeSymbolicLink(u"C:\\l3", u"C:\\t", 1), 1);
  EXPECT_EQ(LinkFlags(), (std::vector<std::string>{"3", "1", "3", "3", "3"}));
  EXPECT_EQ(KernelEntryPoints.unprivilegedFlagRefused, 0);

  // Developer Mode, no privilege: 87 for another reason, then 1314 without it.
  sim::SetDeveloperMode(true);
  sim::SetTokenPrivileges({});
  sim::ClearCalls();
  sim::FailCall("CreateSymbolicLinkW", 1, ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(MakeSymbolicLink(u"C:\\l5", u"C:\\t", 1), 0, ERROR_PRIVILEGE_NOT_HELD);
  EXPECT_EQ(MakeSymbolicLink(u"C:\\l6", u"C:\\t", 1), 1);
  EXPECT_EQ(LinkFlags(), (std::vector<std::string>{"3", "1", "3"}));
  EXPECT_EQ(KernelEntryPoints.unprivilegedFlagRefused, 0);
}

}  // namespace
