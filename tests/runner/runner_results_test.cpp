// The results file named by a second argument: one record per line of the
// command file, a clone's failures before its line's record, each written
// through before the run goes on, and an end record; the exit code is what
// it is without the file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/probe.h"
#include "runner/results.h"
#include "support/fresh_process.h"
#include "support/record_bytes.h"
#include "tests/support.h"

namespace {

using lbtest::RunWmain;
using lbtest::WriteCommandFile;

class RunnerResults : public lbtest::SimTest {};

const char16_t* const kResults = u"C:\\out\\results.txt";
const std::u16string kHead = u"\uFEFFlinkbatch-results\t2\r\n";

// The file's UTF-16 units, byte-order mark included; a file of an odd byte
// count fails the test.
std::u16string Units(const std::u16string& path) {
  sim::NodeInfo info = sim::Inspect(path);
  EXPECT_TRUE(info.exists) << sim::U8(path);
  EXPECT_EQ(info.content.size() % 2, 0u) << "a record was cut inside a unit";
  return support::UnitsOf(info.content);
}

DWORD RunWithResults(const std::u16string& commands) {
  sim::MakeDirs(u"C:\\out");
  return RunWmain({WriteCommandFile(commands), kResults});
}

bool Exists(const char16_t* path) { return sim::Inspect(path).exists; }

support::Bytes HostBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return support::Bytes(std::istreambuf_iterator<char>(f), {});
}

// A fresh machine and process inside a test that runs several.
void Fresh() {
  support::FreshProcess();
}

// Each line gets one record, whatever became of it: ran with its code,
// ignored (an unknown or upper-case letter, a line too short for a letter),
// malformed with 13. The exit code and the volume are what the same file
// gives without a results file.
TEST_F(RunnerResults, OneRecordPerLine) {
  const std::u16string commands =
      u" k \"C:\\a\" \"x\"\r\n"       // 1 ran 0
      u" k \"C:\\gone\" \"x\"\r\n"    // 2 ran 2
      u" K \"C:\\b\" \"x\"\r\n"       // 3 ignored
      u"\n"                           // 4 too short for a letter
      u"\r\n"                         // 5 the letter is the line feed
      u" k \"C:\\b\r\n"               // 6 malformed
      u" q\r\n"                       // 7 ignored
      u" k \"C:\\b\" \"x\"";          // 8 ran 0, no line feed
  sim::MakeDirs(u"C:\\a");
  sim::MakeDirs(u"C:\\b");
  const DWORD plain = lbtest::RunCommands(commands);
  EXPECT_EQ(plain, 0u);
  EXPECT_FALSE(Exists(u"C:\\a"));
  EXPECT_FALSE(Exists(u"C:\\b"));

  sim::MakeDirs(u"C:\\a");
  sim::MakeDirs(u"C:\\b");
  EXPECT_EQ(RunWithResults(commands), plain);
  EXPECT_FALSE(Exists(u"C:\\a"));
  EXPECT_FALSE(Exists(u"C:\\b"));
  EXPECT_EQ(sim::U8(Units(kResults)), sim::U8(kHead +
                                              u"1\tk\tran\t0\r\n"
                                              u"2\tk\tran\t2\r\n"
                                              u"3\tK\tignored\r\n"
                                              u"4\t\tignored\r\n"
                                              u"5\t%000A\tignored\r\n"
                                              u"6\tk\tmalformed\t13\r\n"
                                              u"7\tq\tignored\r\n"
                                              u"8\tk\tran\t0\r\n"
                                              u"end\t0\r\n"));
  // One write for the head, one per line and one for the end, no more.
  EXPECT_EQ(sim::CallCount("WriteFile"), 10u);

  // An empty command file: the head and the end, exit code 1.
  EXPECT_EQ(RunWithResults(u""), 1u);
  EXPECT_EQ(Units(kResults), kHead + u"end\t1\r\n") << "the file was not replaced";
}

// A line is what ends with a line feed: an over-long line read in several
// pieces is one record, and the numbers after it count lines, also when the
// line is made of U+FFFF, which the C runtime reads as WEOF.
TEST_F(RunnerResults, NumbersCountLinesNotPieces) {
  sim::MakeDirs(u"C:\\d");
  for (size_t length : {8191u, 8192u, 3 * 8191u + 5})
  for (char16_t filler : {u'a', u'\xFFFF'}) {
    std::u16string longLine = u" x" + std::u16string(length - 4, filler) + u"\r\n";
    ASSERT_EQ(longLine.size(), length);
    EXPECT_EQ(RunWithResults(longLine + u" k \"C:\\none\" \"x\"\r\n" + longLine + u" q"), 2u);
    EXPECT_EQ(sim::U8(Units(kResults)), sim::U8(kHead +
                                                u"1\tx\tignored\r\n"
                                                u"2\tk\tran\t2\r\n"
                                                u"3\tx\tignored\r\n"
                                                u"4\tq\tignored\r\n"
                                                u"end\t2\r\n"))
        << length;
  }
}

// U+FFFF is an ordinary unit wherever it stands: at position 0, in a
// comment after the paths (where a command written behind it must not run),
// inside a path, at the end of the file. A read error ends the run with its
// code (ERROR_READ_FAULT when the system gives none): the line it cut short
// and every later one do not run, and the end record gives the code.
TEST_F(RunnerResults, HostileReads) {
  const std::u16string dir = u"C:\\d\xFFFF" u"e";
  const std::u16string commands = u"\xFFFFk \"C:\\a\" \"x\"\r\n"
                                  u" k \"C:\\b\" \"x\" #\xFFFF k \"C:\\c\" \"x\"\r\n"
                                  u" k \"" + dir + u"\" \"x\"\r\n"
                                  u" q\xFFFF";
  // Each line but the second is read in two calls, split at its U+FFFF;
  // the second is split at its U+FFFF too.
  struct Case {
    int failedRead;  // the fgetws call that fails; 0: none
    bool silent;
    DWORD code;
    int ran;  // lines that ran
    const char16_t* records;
  } cases[] = {
      {0, false, 0, 3, u"1\tk\tran\t0\r\n2\tk\tran\t0\r\n3\tk\tran\t0\r\n4\tq\tignored\r\nend\t0\r\n"},
      {1, false, 23, 0, u"end\t23\r\n"},
      {4, false, 23, 1, u"1\tk\tran\t0\r\nend\t23\r\n"},
      {4, true, ERROR_READ_FAULT, 1, u"1\tk\tran\t0\r\nend\t30\r\n"},
      {6, false, 23, 2, u"1\tk\tran\t0\r\n2\tk\tran\t0\r\nend\t23\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.failedRead);
    Fresh();
    for (const std::u16string& d : {std::u16string(u"C:\\a"), std::u16string(u"C:\\b"),
                                    std::u16string(u"C:\\c"), dir}) {
      sim::MakeDirs(d);
    }
    if (c.silent) {
      sim::FailCallSilently("fgetws", c.failedRead);
    } else if (c.failedRead != 0) {
      sim::FailCall("fgetws", c.failedRead, 23);  // ERROR_CRC
    }
    EXPECT_EQ(RunWithResults(commands), c.code);
    EXPECT_EQ(sim::U8(Units(kResults)), sim::U8(kHead + c.records));
    EXPECT_EQ(Exists(u"C:\\a"), c.ran < 1);
    EXPECT_EQ(Exists(u"C:\\b"), c.ran < 2);
    EXPECT_TRUE(Exists(u"C:\\c")) << "a command behind U+FFFF in a comment ran";
    EXPECT_EQ(Exists(dir.c_str()), c.ran < 3);
  }
}

// A results file that names the command file, under any spelling that
// reaches it, is refused with the sharing violation before it could empty
// the command file: nothing runs and no report is written.
TEST_F(RunnerResults, ResultsFileThatIsTheCommandFile) {
  sim::MakeDirs(u"C:\\d");
  const std::string host = sim::U8(WriteCommandFile(u" k \"C:\\d\" \"x\"\r\n"));
  const std::string link = host + "-link";
  ASSERT_EQ(::link(host.c_str(), link.c_str()), 0);
  sim::RouteToHost(u"C:\\work\\cmds.txt", host);
  sim::RouteToHost(u"C:\\work\\link.txt", link);
  for (const char16_t* results : {u"C:\\work\\cmds.txt", u"c:\\WORK\\Cmds.TXT", u"\\\\?\\C:\\work\\cmds.txt",
                                  u"C:\\work\\link.txt"}) {
    EXPECT_EQ(RunWmain({u"C:\\work\\cmds.txt", results}), static_cast<DWORD>(ERROR_SHARING_VIOLATION))
        << sim::U8(results);
  }
  EXPECT_TRUE(Exists(u"C:\\d"));
  EXPECT_EQ(support::UnitsOf(HostBytes(host)), u" k \"C:\\d\" \"x\"\r\n");
  unlink(link.c_str());
}

// A clone line's failures come first, one record each, in the clone's order
// with the code and path the clone recorded; the line's record follows them.
TEST_F(RunnerResults, CloneFailuresPrecedeTheirLine) {
  sim::MakeFile(u"C:\\src\\a.txt");
  sim::MakeFile(u"C:\\src\\b.txt");
  sim::MakeFile(u"C:\\src\\c.txt");
  sim::MakeFile(u"C:\\dst\\a.txt");
  sim::MakeFile(u"C:\\dst\\c.txt");
  // Existing destination files (183) are reported though the quiet clone
  // ends with 0 for them; a missing destination fails every file with 3.
  EXPECT_EQ(RunWithResults(u" c \"C:\\dst\" \"C:\\src\"\r\n k \"C:\\none\" \"x\"\r\n"
                           u" c \"C:\\dst2\" \"C:\\src\"\r\n"),
            3u);
  EXPECT_EQ(sim::U8(Units(kResults)), sim::U8(kHead +
                                              u"1\tc\tfailed\t183\tC:\\dst\\a.txt\r\n"
                                              u"1\tc\tfailed\t183\tC:\\dst\\c.txt\r\n"
                                              u"1\tc\tran\t0\r\n"
                                              u"2\tk\tran\t2\r\n"
                                              u"3\tc\tfailed\t3\tC:\\dst2\\a.txt\r\n"
                                              u"3\tc\tfailed\t3\tC:\\dst2\\b.txt\r\n"
                                              u"3\tc\tfailed\t3\tC:\\dst2\\c.txt\r\n"
                                              u"3\tc\tran\t3\r\n"
                                              u"end\t3\r\n"));
  EXPECT_EQ(sim::Inspect(u"C:\\dst\\b.txt").reparseTag, IO_REPARSE_TAG_SYMLINK);
  EXPECT_EQ(sim::CallCount("WriteFile"), 1u + 3u + 5u + 1u) << "one write per line, per failure and for the end";
}

// Letters and paths keep every record on one line and can be restored
// exactly: control characters, the escape mark, the separators .NET and
// Python also break lines at, U+FFFF and lone surrogates become %XXXX; a
// surrogate pair and other text stay as they are.
TEST_F(RunnerResults, TextIsEscapedReversibly) {
  sim::MakeDirs(u"C:\\out");
  ResultsFile results;
  ASSERT_EQ(CreateResults(kResults, &results), 0u);
  FailureList failures;
  failures.emplace_back(u"C:\\a\tb\rc\nd%e", 5u);
  failures.emplace_back(u"C:\\\U0001F600\u00E9\u2028\u0085\uFFFF", 2u);
  failures.push_back(FailureRecord(u"x", 3u));
  failures.back().path = std::u16string(u"\xD800z\xDC00", 3) + std::u16string(1, u'\0') + u"\x1F";
  for (const FailureRecord& failure : failures) EXPECT_EQ(RecordFailed(&results, 7, u'c', failure), 0u);
  EXPECT_EQ(RecordRan(&results, 7, u'c', 0), 0u);
  EXPECT_EQ(RecordIgnored(&results, 8, true, u'\t'), 0u);
  EXPECT_EQ(RecordIgnored(&results, 9, true, u'%'), 0u);
  EXPECT_EQ(RecordIgnored(&results, 10, true, u'\xDBFF'), 0u);
  EXPECT_EQ(RecordIgnored(&results, 11, true, u'\0'), 0u);
  EXPECT_EQ(RecordIgnored(&results, 12, false, u'\0'), 0u);
  EXPECT_EQ(RecordMalformed(&results, 4294967296ull, u'j'), 0u);
  EXPECT_EQ(RecordIgnored(&results, 13, true, u'\xFFFF'), 0u);
  EXPECT_EQ(RecordEnd(&results, 4294967295u), 0u);
  CloseResults(&results);
  EXPECT_EQ(Units(kResults), kHead +
                                 u"7\tc\tfailed\t5\tC:\\a%0009b%000Dc%000Ad%0025e\r\n"
                                 u"7\tc\tfailed\t2\tC:\\\U0001F600\u00E9%2028%0085%FFFF\r\n"
                                 u"7\tc\tfailed\t3\t%D800z%DC00%0000%001F\r\n"
                                 u"7\tc\tran\t0\r\n"
                                 u"8\t%0009\tignored\r\n"
                                 u"9\t%0025\tignored\r\n"
                                 u"10\t%DBFF\tignored\r\n"
                                 u"11\t%0000\tignored\r\n"
                                 u"12\t\tignored\r\n"
                                 u"4294967296\tj\tmalformed\t13\r\n"
                                 u"13\t%FFFF\tignored\r\n"
                                 u"end\t4294967295\r\n");
}

// Without a results file the record functions write nothing.
TEST_F(RunnerResults, NoFileNoWrites) {
  ResultsFile none;
  EXPECT_EQ(RecordFailed(&none, 1, u'c', FailureRecord(u"p", 2)), 0u);
  EXPECT_EQ(RecordRan(&none, 1, u'c', 0), 0u);
  EXPECT_EQ(RecordEnd(&none, 0), 0u);
  EXPECT_EQ(RecordIgnored(&none, 1, false, 0), 0u);
  EXPECT_EQ(RecordMalformed(&none, 1, u'k'), 0u);
  CloseResults(&none);
  EXPECT_EQ(sim::CallCount("WriteFile") + sim::CallCount("CloseHandle"), 0u);
}

// A results file that cannot be created runs nothing and exits with the
// creation's error, also when the failure leaves no error code behind. (The
// table, tests/e2e/cases/results-file.case, holds the missing folder, the
// directory, the missing command file and the argument count.)
TEST_F(RunnerResults, CannotCreateRunsNothing) {
  sim::MakeDirs(u"C:\\d");
  sim::MakeDirs(u"C:\\out");
  CloseHandle(CreateFileW(u"C:\\out\\hidden.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN,
                          nullptr));
  const std::u16string commands = WriteCommandFile(u" k \"C:\\d\" \"x\"\r\n");
  struct Case {
    const char16_t* results;
    DWORD fault;  // injected into CreateFileW; 0: none
    DWORD expected;
  } cases[] = {
      // CREATE_ALWAYS with FILE_ATTRIBUTE_NORMAL does not replace a hidden file.
      {u"C:\\out\\hidden.txt", 0, ERROR_ACCESS_DENIED},
      {u"C:\\out\\r.txt", ERROR_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
  };
  for (const Case& c : cases) {
    sim::ClearFaults();
    if (c.fault) sim::FailCall("CreateFileW", 1, c.fault);
    EXPECT_EQ(RunWmain({commands, c.results}), c.expected) << sim::U8(c.results);
    EXPECT_TRUE(Exists(u"C:\\d")) << "a line ran without its report: " << sim::U8(c.results);
  }
  EXPECT_FALSE(Exists(u"C:\\out\\r.txt"));
  // The head cannot be written: nothing runs either, and the handle is closed.
  sim::FailCall("WriteFile", 1, ERROR_DISK_FULL);
  EXPECT_EQ(RunWmain({commands, kResults}), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_TRUE(Exists(u"C:\\d"));

  // Failures that leave no error code behind are failures all the same.
  for (const char* call : {"CreateFileW", "WriteFile"}) {
    sim::FailCallSilently(call, 1);
    SetLastError(ERROR_SUCCESS);
    EXPECT_NE(RunWmain({commands, kResults}), 0u) << call;
    EXPECT_TRUE(Exists(u"C:\\d")) << call;
  }
}

// A write that fails stops the run there with the write's error: the line
// whose record failed has run, no later line runs, and the file holds every
// record written before. A clone whose failure cannot be written stops at
// once: it links nothing more. Swept over every write of a run with a clone.
TEST_F(RunnerResults, FailedWriteStopsTheRun) {
  const std::u16string commands = WriteCommandFile(
      u" k \"C:\\d1\" \"x\"\r\n c \"C:\\dst\" \"C:\\src\"\r\n k \"C:\\d2\" \"x\"\r\n");
  // Writes: 1 head, 2 line 1, 3 and 4 line 2's failures, 5 line 2, 6 line 3,
  // 7 the end.
  const std::u16string records[] = {kHead, u"1\tk\tran\t0\r\n", u"2\tc\tfailed\t3\tC:\\dst\\a\r\n",
                                    u"2\tc\tfailed\t3\tC:\\dst\\b\r\n", u"2\tc\tran\t3\r\n",
                                    u"3\tk\tran\t0\r\n", u"end\t0\r\n"};
  for (int nth = 1; nth <= 8; ++nth) {
    SCOPED_TRACE(nth);
    Fresh();
    sim::MakeDirs(u"C:\\d1");
    sim::MakeDirs(u"C:\\d2");
    sim::MakeFile(u"C:\\src\\a");
    sim::MakeFile(u"C:\\src\\b");
    sim::MakeDirs(u"C:\\out");
    sim::FailCall("WriteFile", nth, ERROR_DISK_FULL);
    const DWORD code = RunWmain({commands, kResults});
    const std::u16string text = Units(kResults);
    size_t at = 0;
    int whole = 0;
    for (const std::u16string& r : records) {
      if (text.compare(at, r.size(), r) != 0) break;
      at += r.size();
      ++whole;
    }
    EXPECT_EQ(at, text.size()) << "not made of whole records: " << sim::U8(text);
    EXPECT_EQ(whole, nth - 1);
    EXPECT_EQ(code, nth == 8 ? 0u : static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(Exists(u"C:\\d1"), nth < 2) << "line 1 runs once the head is written";
    const size_t links = nth < 3 ? 0 : nth == 3 ? 1 : 2;
    EXPECT_EQ(sim::CallCount("CreateSymbolicLinkW"), links) << "files linked after an unwritten failure";
    EXPECT_EQ(Exists(u"C:\\d2"), nth < 6) << "a line ran after a failed write";
  }
}

// A device that takes a record in parts is given the rest; one that takes
// nothing and still reports success is a write fault.
TEST_F(RunnerResults, PartialWrites) {
  sim::MakeDirs(u"C:\\out");
  const std::u16string commands = WriteCommandFile(u" k \"C:\\none\" \"x\"\r\n");
  sim::ShortWrite("WriteFile", 2, 3);
  EXPECT_EQ(RunWmain({commands, kResults}), 2u);
  EXPECT_EQ(Units(kResults), kHead + u"1\tk\tran\t2\r\nend\t2\r\n");
  EXPECT_EQ(sim::CallCount("WriteFile"), 4u);

  sim::ShortWrite("WriteFile", 2, 0);
  EXPECT_EQ(RunWmain({commands, kResults}), static_cast<DWORD>(ERROR_WRITE_FAULT));
  EXPECT_EQ(Units(kResults), kHead);
}

// A process killed from outside leaves every finished line reported, and no
// end record: killed as the third line starts its work, the file holds the
// first two records. Killed inside a clone, it holds the clone's failures so
// far.
TEST_F(RunnerResults, KilledRunKeepsFinishedRecords) {
  for (int n = 1; n <= 3; ++n) {
    SCOPED_TRACE(n);
    Fresh();
    sim::MakeDirs(u"C:\\out");
    std::u16string commands;
    std::u16string expected = kHead;
    for (int i = 1; i <= 4; ++i) {
      const std::u16string number = sim::W(std::to_string(i));
      commands += u" k \"C:\\d" + number + u"\" \"x\"\r\n";
      sim::MakeDirs(u"C:\\d" + number);
      if (i < n + 1) expected += number + u"\tk\tran\t0\r\n";
    }
    sim::TerminateAtCall("RemoveDirectoryW", n + 1, 1);
    EXPECT_EQ(RunWithResults(commands), 1u);
    EXPECT_EQ(Units(kResults), expected);
    EXPECT_FALSE(Exists((u"C:\\d" + sim::W(std::to_string(n))).c_str()));
    EXPECT_TRUE(Exists((u"C:\\d" + sim::W(std::to_string(n + 1))).c_str()));
    // The system closes a killed process's handles; the simulation leaves
    // them in its table.
    Fresh();
  }
  for (int n = 1; n <= 3; ++n) {
    SCOPED_TRACE(n);
    sim::MakeFile(u"C:\\src\\f1");
    sim::MakeFile(u"C:\\src\\f2");
    sim::MakeFile(u"C:\\src\\f3");
    std::u16string expected = kHead;
    for (int i = 1; i < n; ++i) expected += u"1\tc\tfailed\t3\tC:\\nodst\\f" + sim::W(std::to_string(i)) + u"\r\n";
    sim::TerminateAtCall("CreateSymbolicLinkW", n, 1);
    EXPECT_EQ(RunWithResults(u" c \"C:\\nodst\" \"C:\\src\"\r\n"), 1u);
    EXPECT_EQ(sim::U8(Units(kResults)), sim::U8(expected));
    Fresh();
  }
}

// A 100,000-file clone in which every file fails reports every one of them,
// each with a write of its own as it happens.
TEST_F(RunnerResults, HundredThousandFailures) {
  sim::SetCallLogEnabled(false);
  const int files = 100000;
  for (int i = 0; i < files; ++i) sim::MakeFile(u"C:\\src\\f" + sim::W(std::to_string(i)));
  RunWithResults(u" c \"C:\\nodst\" \"C:\\src\"\r\n");
  const std::u16string text = Units(kResults);
  size_t records = 0;
  for (size_t at = 0; (at = text.find(u"\tfailed\t3\tC:\\nodst\\f", at)) != std::u16string::npos; ++at) {
    ++records;
  }
  EXPECT_EQ(records, static_cast<size_t>(files));
  EXPECT_EQ(sim::CallCount("WriteFile"), 3u + files);
}

}  // namespace
