// Shared test fixtures: a fresh simulated machine per test, running the
// product's wmain, and writing command files.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "clone/clone.h"
#include "sim/sim.h"

// Expects the call to fail with `bad` and leave `code` as the last error;
// the sentinel set first proves the call set it.
#define EXPECT_FAILS_WITH(call, bad, code)                        \
  do {                                                            \
    SetLastError(0xdeadbeef);                                     \
    EXPECT_EQ((call), (bad));                                     \
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(code)) << #call; \
  } while (0)

namespace lbtest {

// A fresh simulated process and machine for every test; after the test no
// handle may be left open.
class SimTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// A fresh process with the optional functions probed and an empty C:\dst to
// clone into; a counter and failure list as the runner hands a clone.
class CloneTestBase : public SimTest {
 protected:
  void SetUp() override;
  std::vector<std::string> Records() const;
  DWORD counter = 0;
  FailureList failures;
};

// Runs the product's wmain with argv[0] = "linkbatch.exe" followed by args.
// Returns what ExitProcess was given, or wmain's return value as unsigned.
DWORD RunWmain(const std::vector<std::u16string>& args);

// Writes a host temporary file (in $TMPDIR, else /tmp) holding the UTF-16LE
// code units of text (with a byte-order mark first when bom is set) and
// returns its path. The file is removed when the test ends.
std::u16string WriteCommandFile(const std::u16string& text, bool bom = false);
// Same, raw bytes.
std::u16string WriteRawFile(const std::string& bytes);

// Runs wmain on a command file holding text.
DWORD RunCommands(const std::u16string& text);

// A clone's failure list as "path=code", one string per record, in order.
std::vector<std::string> Records(const FailureList& failures);

// The print name of the file symbolic link at an absolute drive path (the
// target as it was given), read from its reparse data; "<not a link>" for
// anything else.
std::string LinkTarget(const std::u16string& path);

// Every name FindFirstFileW and FindNextFileW give for a pattern, "." and ".."
// included, in their order; empty when the listing cannot start. endError, if
// given, receives the last error after the listing ended.
std::vector<std::u16string> ListPattern(const char16_t* pattern, DWORD* endError = nullptr);

}  // namespace lbtest
