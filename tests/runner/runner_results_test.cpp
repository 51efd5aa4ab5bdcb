// The results file named by a second argument: one record per line of the
// command file, the clone's failures after its line, written through before
// the next line runs; the exit code is what it is without the file.
#include <gtest/gtest.h>

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
const std::u16string kHead = u"\uFEFFlinkbatch-results\t1\r\n";

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
                                              u"8\tk\tran\t0\r\n"));
  // One write for the head and one per line, no more.
  EXPECT_EQ(sim::CallCount("WriteFile"), 9u);

  // An empty command file: the head alone, exit code 1.
  EXPECT_EQ(RunWithResults(u""), 1u);
  EXPECT_EQ(Units(kResults), kHead) << "the file was not replaced";
}

// A clone line's record is followed by one record per failure, in the
// clone's order, each with its code and path as the clone recorded them.
TEST_F(RunnerResults, CloneFailuresFollowTheirLine) {
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
                                              u"1\tc\tran\t0\r\n"
                                              u"1\tc\tfailed\t183\tC:\\dst\\a.txt\r\n"
                                              u"1\tc\tfailed\t183\tC:\\dst\\c.txt\r\n"
                                              u"2\tk\tran\t2\r\n"
                                              u"3\tc\tran\t3\r\n"
                                              u"3\tc\tfailed\t3\tC:\\dst2\\a.txt\r\n"
                                              u"3\tc\tfailed\t3\tC:\\dst2\\b.txt\r\n"
                                              u"3\tc\tfailed\t3\tC:\\dst2\\c.txt\r\n"));
  EXPECT_EQ(sim::Inspect(u"C:\\dst\\b.txt").reparseTag, IO_REPARSE_TAG_SYMLINK);
  EXPECT_EQ(sim::CallCount("WriteFile"), 1u + 3u + 5u) << "one write per line and per failure";
}

// Letters and paths keep every record on one line and can be restored
// exactly: control characters, the escape mark, the separators .NET and
// Python also break lines at and lone surrogates become %XXXX; a surrogate
// pair and other text stay as they are.
TEST_F(RunnerResults, TextIsEscapedReversibly) {
  sim::MakeDirs(u"C:\\out");
  ResultsFile results;
  ASSERT_EQ(CreateResults(kResults, &results), 0u);
  FailureList failures;
  failures.emplace_back(u"C:\\a\tb\rc\nd%e", 5u);
  failures.emplace_back(u"C:\\\U0001F600\u00E9\u2028\u0085", 2u);
  failures.push_back(FailureRecord(u"x", 3u));
  failures.back().path = std::u16string(u"\xD800z\xDC00", 3) + std::u16string(1, u'\0') + u"\x1F";
  EXPECT_EQ(RecordRan(&results, 7, u'c', 0, failures), 0u);
  EXPECT_EQ(RecordIgnored(&results, 8, true, u'\t'), 0u);
  EXPECT_EQ(RecordIgnored(&results, 9, true, u'%'), 0u);
  EXPECT_EQ(RecordIgnored(&results, 10, true, u'\xDBFF'), 0u);
  EXPECT_EQ(RecordIgnored(&results, 11, true, u'\0'), 0u);
  EXPECT_EQ(RecordIgnored(&results, 12, false, u'\0'), 0u);
  EXPECT_EQ(RecordMalformed(&results, 4294967296ull, u'j'), 0u);
  CloseResults(&results);
  EXPECT_EQ(Units(kResults), kHead +
                                 u"7\tc\tran\t0\r\n"
                                 u"7\tc\tfailed\t5\tC:\\a%0009b%000Dc%000Ad%0025e\r\n"
                                 u"7\tc\tfailed\t2\tC:\\\U0001F600\u00E9%2028%0085\r\n"
                                 u"7\tc\tfailed\t3\t%D800z%DC00%0000%001F\r\n"
                                 u"8\t%0009\tignored\r\n"
                                 u"9\t%0025\tignored\r\n"
                                 u"10\t%DBFF\tignored\r\n"
                                 u"11\t%0000\tignored\r\n"
                                 u"12\t\tignored\r\n"
                                 u"4294967296\tj\tmalformed\t13\r\n");
}

// Without a results file the record functions write nothing.
TEST_F(RunnerResults, NoFileNoWrites) {
  ResultsFile none;
  EXPECT_EQ(RecordRan(&none, 1, u'c', 0, {FailureRecord(u"p", 2)}), 0u);
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
  const std::u16string commands = WriteCommandFile(u" k \"C:\\d\" \"x\"\r\n");
  sim::FailCall("CreateFileW", 1, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(RunWmain({commands, kResults}), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(Exists(kResults));
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
// record written before. Swept over every write of a run with a clone.
TEST_F(RunnerResults, FailedWriteStopsTheRun) {
  const std::u16string commands = WriteCommandFile(
      u" k \"C:\\d1\" \"x\"\r\n c \"C:\\dst\" \"C:\\src\"\r\n k \"C:\\d2\" \"x\"\r\n");
  // Writes: 1 head, 2 line 1, 3 line 2, 4 and 5 its two failures, 6 line 3.
  const std::u16string records[] = {kHead, u"1\tk\tran\t0\r\n", u"2\tc\tran\t",
                                    u"2\tc\tfailed\t3\tC:\\dst\\a\r\n",
                                    u"2\tc\tfailed\t3\tC:\\dst\\b\r\n", u"3\tk\tran\t0\r\n"};
  for (int nth = 1; nth <= 7; ++nth) {
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
      at = text.find(u"\r\n", at) + 2;
      ++whole;
    }
    EXPECT_EQ(at, text.size()) << "not made of whole records: " << sim::U8(text);
    if (nth == 7) {
      EXPECT_EQ(whole, 6);
      EXPECT_EQ(sim::FaultsFired(), 0);
      EXPECT_FALSE(Exists(u"C:\\d2"));
      continue;
    }
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_DISK_FULL));
    EXPECT_EQ(whole, nth - 1);
    EXPECT_EQ(Exists(u"C:\\d1"), nth < 2) << "line 1 runs once the head is written";
    EXPECT_EQ(sim::List(u"C:\\dst").empty(), true);
    EXPECT_EQ(sim::CallCount("CreateSymbolicLinkW") > 0, nth >= 3) << "line 2 ran";
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
  EXPECT_EQ(Units(kResults), kHead + u"1\tk\tran\t2\r\n");
  EXPECT_EQ(sim::CallCount("WriteFile"), 3u);

  sim::ShortWrite("WriteFile", 2, 0);
  EXPECT_EQ(RunWmain({commands, kResults}), static_cast<DWORD>(ERROR_WRITE_FAULT));
  EXPECT_EQ(Units(kResults), kHead);
}

// The clone's records are bounded only by the list: a 100,000-file clone in
// which every file fails reports every one of them.
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
  EXPECT_EQ(sim::CallCount("WriteFile"), 2u + files);
}

}  // namespace
