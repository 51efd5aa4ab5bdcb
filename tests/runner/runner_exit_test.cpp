// The command runner ended from outside: the lines in, exit code and volume
// state out. The rest of the runner's end-to-end behaviour is the table in
// tests/e2e/cases.
#include <gtest/gtest.h>

#include "tests/support.h"

namespace {

using lbtest::RunCommands;

class RunnerExit : public lbtest::SimTest {};

bool Exists(const char16_t* path) { return sim::Inspect(path).exists; }

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

}  // namespace
