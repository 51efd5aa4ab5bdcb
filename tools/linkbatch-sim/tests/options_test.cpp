#include <gtest/gtest.h>

#include "options.h"

namespace {

using lbsim::Options;
using lbsim::ParseOptions;

Options Parse(const std::vector<std::string>& args) {
  Options o;
  std::string error;
  EXPECT_TRUE(ParseOptions(args, &o, &error)) << error;
  return o;
}

// Without options the machine is the default one: empty C:, 10.0, every
// function, an elevated administrator's privileges.
TEST(LinkbatchSimOptions, DefaultsDescribeAnElevatedWindows10) {
  Options o = Parse({"cmds.cmd"});
  ASSERT_EQ(o.runs.size(), 1u);
  EXPECT_EQ(o.runs[0].args, std::vector<std::string>{"cmds.cmd"});
  EXPECT_TRUE(o.volumes.empty());
  EXPECT_EQ(o.major, 10u);
  EXPECT_EQ(o.minor, 0u);
  EXPECT_TRUE(o.without.empty());
  EXPECT_FALSE(o.noKernel32);
  EXPECT_EQ(o.privileges, lbsim::KnownPrivileges());
  EXPECT_FALSE(o.show || o.dumpReparse || o.trace);
}

// Each switch turns on its own setting and no other.
TEST(LinkbatchSimOptions, EachSwitchSetsItsOwnField) {
  const struct {
    const char* name;
    bool Options::*flag;
  } switches[] = {{"--no-kernel32", &Options::noKernel32}, {"--developer-mode", &Options::developerMode},
                  {"--standard-user", &Options::standardUser}, {"--trace", &Options::trace},
                  {"--show", &Options::show}};
  for (const auto& s : switches) {
    Options o = Parse({s.name, "x"});
    for (const auto& other : switches) EXPECT_EQ(o.*other.flag, other.flag == s.flag) << s.name << " " << other.name;
    EXPECT_FALSE(o.dumpReparse) << s.name;
  }
  EXPECT_TRUE(Parse({"--show", "--dump-reparse", "x"}).dumpReparse);
}

// Values come as the next argument or after '='; drive letters fold to upper
// case; "--" lets a command file start with a dash.
TEST(LinkbatchSimOptions, ValuesAndVolumes) {
  Options o = Parse({"--volume", "c:=some/dir", "--volume=D:", "--windows=5.1", "--without",
                     "CreateHardLinkW", "--privileges", "SeRestorePrivilege,SeBackupPrivilege",
                     "--cd", "C:\\src", "--show", "--dump-reparse", "--", "-odd.cmd"});
  ASSERT_EQ(o.volumes.size(), 2u);
  EXPECT_EQ(o.volumes[0].letter, u'C');
  EXPECT_EQ(o.volumes[0].hostDir, "some/dir");
  EXPECT_EQ(o.volumes[1].letter, u'D');
  EXPECT_EQ(o.volumes[1].hostDir, "");
  EXPECT_EQ(o.major, 5u);
  EXPECT_EQ(o.minor, 1u);
  EXPECT_EQ(o.without, std::vector<std::string>{"CreateHardLinkW"});
  EXPECT_EQ(o.privileges, (std::vector<std::string>{"SeRestorePrivilege", "SeBackupPrivilege"}));
  EXPECT_EQ(o.currentDirectory, "C:\\src");
  EXPECT_TRUE(o.show && o.dumpReparse);
  EXPECT_EQ(o.runs[0].args, std::vector<std::string>{"-odd.cmd"});
  EXPECT_TRUE(Parse({"--privileges", "none", "x"}).privileges.empty());
  EXPECT_EQ(Parse({"a.cmd", "--show", "r.txt"}).runs[0].args, (std::vector<std::string>{"a.cmd", "r.txt"}));
}

// Faults belong to the run they follow; --then starts a run of its own.
TEST(LinkbatchSimOptions, FaultsBelongToTheirRun) {
  Options o = Parse({"--fail", "CreateFileW:2:silent", "a.cmd", "--fail-nth=3", "--then", "b.cmd",
                     "r.txt", "--kill-at", "WriteFile", "--share", "\\\\srv\\s=C:\\d"});
  ASSERT_EQ(o.runs.size(), 2u);
  ASSERT_EQ(o.runs[0].faults.size(), 2u);
  EXPECT_EQ(o.runs[0].faults[0].name, "CreateFileW");
  EXPECT_EQ(o.runs[0].faults[0].nth, 2);
  EXPECT_TRUE(o.runs[0].faults[0].silent);
  EXPECT_EQ(o.runs[0].faults[1].kind, lbsim::FaultOption::Kind::FailNth);
  EXPECT_EQ(o.runs[0].faults[1].code, 5u);
  EXPECT_EQ(o.runs[1].args, (std::vector<std::string>{"b.cmd", "r.txt"}));
  ASSERT_EQ(o.runs[1].faults.size(), 1u);
  EXPECT_EQ(o.runs[1].faults[0].kind, lbsim::FaultOption::Kind::Kill);
  EXPECT_EQ(o.runs[1].faults[0].nth, 1);
  ASSERT_EQ(o.shares.size(), 1u);
  EXPECT_EQ(o.shares[0].server + "|" + o.shares[0].name + "|" + o.shares[0].directory, "srv|s|C:\\d");
  EXPECT_TRUE(Parse({"--"}).runs[0].args.empty());
}

// A build after the version; a standard user holds no privileges unless
// --privileges names some, before or after it.
TEST(LinkbatchSimOptions, BuildDeveloperModeAndStandardUser) {
  Options o = Parse({"--windows", "10.0.14393", "--developer-mode", "x"});
  EXPECT_EQ(o.major, 10u);
  EXPECT_EQ(o.minor, 0u);
  EXPECT_EQ(o.build, 14393u);
  EXPECT_TRUE(o.developerMode);
  EXPECT_FALSE(o.standardUser);
  o = Parse({"--windows=6.1", "--standard-user", "x"});
  EXPECT_EQ(o.minor, 1u);
  EXPECT_EQ(o.build, 0u);
  EXPECT_TRUE(o.standardUser);
  EXPECT_TRUE(o.privileges.empty());
  for (const auto& args : {std::vector<std::string>{"--standard-user", "--privileges",
                                                    "SeCreateSymbolicLinkPrivilege", "x"},
                           std::vector<std::string>{"--privileges", "SeCreateSymbolicLinkPrivilege",
                                                    "--standard-user", "x"}}) {
    EXPECT_EQ(Parse(args).privileges, std::vector<std::string>{"SeCreateSymbolicLinkPrivilege"});
  }
}

// Anything the tool cannot carry out exactly is refused before a run.
TEST(LinkbatchSimOptions, RefusesWhatItCannotSimulate) {
  const std::vector<std::vector<std::string>> bad = {
      {},                                         // no command file
      {"a.cmd", "b.txt", "c.txt"},                // three
      {"--bogus", "a.cmd"},
      {"--volume", "1:", "a.cmd"},
      {"--volume", "C", "a.cmd"},
      {"--volume", "C:dir", "a.cmd"},
      {"--volume", "C:=", "a.cmd"},
      {"--volume", "C:", "--volume", "c:=x", "a.cmd"},  // the same drive twice
      {"--windows", "6.4", "a.cmd"},
      {"--windows", "10", "a.cmd"},
      {"--windows", "10.0.", "a.cmd"},
      {"--windows", "10.0.0", "a.cmd"},
      {"--windows", "10.0.x1", "a.cmd"},
      {"--windows", "10.0.123456", "a.cmd"},
      {"--windows", "10.1.14393", "a.cmd"},
      {"--developer-mode=1", "a.cmd"},
      {"--without", "CreateFileW", "a.cmd"},
      {"--privileges", "SeDebugPrivilege", "a.cmd"},
      {"--privileges", "SeBackupPrivilege,", "a.cmd"},
      {"--dump-reparse", "a.cmd"},                // only with --show
      {"--show=yes", "a.cmd"},
      {"a.cmd", "--cd"},                          // value missing
      {"--cd", "", "a.cmd"},
      {"--fail", "CreateFileW:0", "a.cmd"},
      {"--fail", "CreateFileW:1:loud", "a.cmd"},
      {"--fail", "Create-FileW", "a.cmd"},
      {"--fail-nth", "x", "a.cmd"},
      {"--kill-at", "WriteFile:1:5", "a.cmd"},
      {"--then", "b.cmd"},                        // no first run
      {"a.cmd", "--then", "b.cmd", "r.txt", "s.txt"},
      {"--share", "\\\\srv=C:\\d", "a.cmd"},
      {"--dump-data", "a.cmd"},                   // only with --show
      {"--route", "cmds.txt=/tmp/cmds.txt", "a.cmd"},  // not a Windows path
  };
  for (const auto& args : bad) {
    Options o;
    std::string error;
    std::string joined;
    for (const auto& a : args) joined += "[" + a + "]";
    EXPECT_FALSE(ParseOptions(args, &o, &error)) << joined;
    EXPECT_FALSE(error.empty()) << joined;
  }
}

}  // namespace
