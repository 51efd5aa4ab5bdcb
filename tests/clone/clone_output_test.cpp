// Verbose lines reach the user with every character: wide text when
// standard output is a console, UTF-8 when it is a file or pipe.
#include <string>

#include "clone/clone.h"
#include "tests/support.h"

namespace {

class CloneOutput : public lbtest::CloneTestBase {
 protected:
  DWORD CloneVerbose() {
    sim::TakeStdout();
    sim::ClearCalls();
    counter = 0;
    failures.clear();
    return CloneTree(u"C:\\src", u"C:\\dst", counter, 0, LinkKindSymbolic, 1, failures, nullptr);
  }
};

// Greek, CJK and a character outside the Basic Multilingual Plane (a
// surrogate pair): none of them survives the C runtime's wide printf in the
// C locale.
const char16_t* const Name = u"\u03a9\u03bc\u03ad\u03b3\u03b1-\u65e5\u672c-\U0001F600.txt";

TEST_F(CloneOutput, RedirectedOutputIsUtf8WithCrLf) {
  sim::MakeFile(std::u16string(u"C:\\src\\") + Name);
  ASSERT_EQ(CloneVerbose(), 0u);
  EXPECT_EQ(sim::TakeStdout(), "C:\\src\\\xce\xa9\xce\xbc\xce\xad\xce\xb3\xce\xb1-\xe6\x97\xa5\xe6\x9c\xac-"
                               "\xf0\x9f\x98\x80.txt\r\n");
  EXPECT_EQ(sim::CallCount("WriteConsoleW"), 0u);
  EXPECT_EQ(sim::CallCount("WriteFile"), 1u);
}

TEST_F(CloneOutput, ConsoleOutputIsWideText) {
  sim::SetStdoutIsConsole(true);
  sim::MakeFile(std::u16string(u"C:\\src\\") + Name);
  ASSERT_EQ(CloneVerbose(), 0u);
  EXPECT_EQ(sim::TakeStdout(), "C:\\src\\" + sim::U8(Name) + "\n");
  EXPECT_EQ(sim::CallCount("WriteConsoleW"), 1u);
  EXPECT_EQ(sim::CallCount("WriteFile"), 0u);
}

// A path longer than one write goes out in several, and no surrogate pair is
// split between two of them; a lone surrogate, which UTF-8 cannot carry,
// becomes U+FFFD.
TEST_F(CloneOutput, LongPathsAndLoneSurrogates) {
  std::u16string faces;
  for (int i = 0; i < 100; ++i) faces += u"\U0001F600";
  std::u16string path = u"C:\\src";
  for (int level = 0; level < 6; ++level) path += u"\\" + faces;
  const std::string shown = sim::U8(path) + "\\a";
  for (bool console : {false, true}) {
    SCOPED_TRACE(console ? "console" : "redirected");
    sim::Reset();
    SetUp();
    sim::SetStdoutIsConsole(console);
    sim::MakeFile(path + u"\\a");
    sim::MakeFile(std::u16string(u"C:\\src\\lone-") + char16_t(0xD800) + u".txt");
    ASSERT_EQ(CloneVerbose(), 0u);
    const char* end = console ? "\n" : "\r\n";
    std::string out = sim::TakeStdout();
    EXPECT_NE(out.find("C:\\src\\lone-\xef\xbf\xbd.txt" + std::string(end)), std::string::npos);
    EXPECT_NE(out.find(shown + end), std::string::npos) << "the long path arrives whole";
    EXPECT_EQ(out.find("\xef\xbf\xbd\xef\xbf\xbd"), std::string::npos) << "a surrogate pair was split";
    EXPECT_GT(sim::CallCount(console ? "WriteConsoleW" : "WriteFile"), 2u);
  }
}

// Without a standard output (a process started without one) nothing is
// written and the clone goes on.
TEST_F(CloneOutput, NoStandardOutput) {
  sim::MakeFile(u"C:\\src\\a.txt");
  sim::FailCall("GetStdHandle", 1, ERROR_INVALID_HANDLE, true);
  EXPECT_EQ(CloneVerbose(), 0u);
  EXPECT_EQ(sim::TakeStdout(), "");
  EXPECT_TRUE(sim::Inspect(u"C:\\dst\\a.txt").exists);
}

}  // namespace
