// The simulated wide C runtime: line reads from UTF-16LE files, the string
// functions and wide formatting.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/support.h"

namespace {

const DWORD kDataError = 23;  // ERROR_CRC, what a bad sector reads as

class SimCrt : public lbtest::SimTest {
 protected:
  void TearDown() override {
    if (stream_) fclose(stream_);
    lbtest::SimTest::TearDown();
  }
  FILE* Open(const std::string& bytes) {
    stream_ = _wfsopen(lbtest::WriteRawFile(bytes).c_str(), u"rb", _SH_DENYWR);
    EXPECT_NE(stream_, nullptr);
    return stream_;
  }
  FILE* stream_ = nullptr;
};

std::string Le(const std::u16string& text) {
  std::string bytes;
  for (char16_t c : text) {
    bytes.push_back(static_cast<char>(c & 0xFF));
    bytes.push_back(static_cast<char>(c >> 8));
  }
  return bytes;
}

// A line is everything up to and including the line feed; a carriage return
// and a byte-order mark are ordinary characters; feof is set only once a read
// has run into the end of the file.
TEST_F(SimCrt, FgetwsSplitsLinesLikeBinaryModeFgetwc) {
  FILE* f = Open(Le(u"\xFEFF" u"a b\r\n\nlast"));
  WCHAR buf[64];
  ASSERT_EQ(fgetws(buf, 64, f), buf);
  EXPECT_EQ(std::u16string(buf), u"\xFEFF" u"a b\r\n");
  EXPECT_FALSE(feof(f));
  ASSERT_EQ(fgetws(buf, 64, f), buf);
  EXPECT_EQ(std::u16string(buf), u"\n");
  ASSERT_EQ(fgetws(buf, 64, f), buf);
  EXPECT_EQ(std::u16string(buf), u"last");
  EXPECT_TRUE(feof(f)) << "reading the unterminated last line hits end of file";
  EXPECT_EQ(fgetws(buf, 64, f), nullptr);

  // After a final line feed feof is still clear; the next read sets it.
  fclose(f);
  f = Open(Le(u"x\n"));
  ASSERT_NE(fgetws(buf, 64, f), nullptr);
  EXPECT_FALSE(feof(f));
  EXPECT_EQ(fgetws(buf, 64, f), nullptr);
  EXPECT_TRUE(feof(f));
}

// A line longer than count-1 units arrives in pieces of count-1 units, each
// terminated; the buffer is never written past count.
TEST_F(SimCrt, FgetwsSplitsLongLinesAtCountMinusOne) {
  std::u16string line(8191 + 5, u'q');
  line += u'\n';
  FILE* f = Open(Le(line));
  std::u16string buf(8192 + 1, u'#');
  ASSERT_NE(fgetws(&buf[0], 8192, f), nullptr);
  EXPECT_EQ(std::u16string(buf.c_str()).size(), 8191u);
  EXPECT_EQ(buf[8192], u'#') << "wrote past count";
  ASSERT_NE(fgetws(&buf[0], 8192, f), nullptr);
  EXPECT_EQ(std::u16string(buf.c_str()), u"qqqqq\n");
  // count 1 reads nothing and yields an empty string.
  WCHAR one[1] = {u'z'};
  EXPECT_EQ(fgetws(one, 1, f), one);
  EXPECT_EQ(one[0], 0);
}

// U+FFFF is WEOF itself: the read stops there and takes it, with neither
// feof nor ferror set; at the start of a read nothing is returned.
TEST_F(SimCrt, FgetwsStopsAtUnitFFFF) {
  FILE* f = Open(Le(u"a\xFFFF" u"b\n\xFFFF" u"c"));
  WCHAR buf[8];
  ASSERT_EQ(fgetws(buf, 8, f), buf);
  EXPECT_EQ(std::u16string(buf), u"a");
  ASSERT_EQ(fgetws(buf, 8, f), buf);
  EXPECT_EQ(std::u16string(buf), u"b\n");
  EXPECT_EQ(fgetws(buf, 8, f), nullptr);
  EXPECT_FALSE(feof(f));
  EXPECT_FALSE(ferror(f));
  ASSERT_EQ(fgetws(buf, 8, f), buf);
  EXPECT_EQ(std::u16string(buf), u"c");
  EXPECT_TRUE(feof(f));
}

// A trailing odd byte cannot form a code unit and is dropped.
TEST_F(SimCrt, FgetwsDropsTrailingOddByte) {
  FILE* f = Open(Le(u"ab") + "\x41");
  WCHAR buf[8];
  ASSERT_NE(fgetws(buf, 8, f), nullptr);
  EXPECT_EQ(std::u16string(buf), u"ab");
  EXPECT_EQ(fgetws(buf, 8, f), nullptr);
  fclose(f);
  f = Open("\x41");
  EXPECT_EQ(fgetws(buf, 8, f), nullptr) << "a lone byte is no character";
  EXPECT_TRUE(feof(f));
}

// _wfsopen and fgetws are logged and fail on demand with the injected error:
// a failed read sets the stream's error indicator and leaves ReadFile's
// error as the last error.
TEST_F(SimCrt, OpenAndReadAreLoggedAndFaultable) {
  std::u16string path = lbtest::WriteRawFile(Le(u"a\n"));
  sim::ClearCalls();
  sim::FailCall("_wfsopen", 1, ERROR_SHARING_VIOLATION);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(_wfsopen(path.c_str(), u"rb", _SH_DENYWR), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  stream_ = _wfsopen(path.c_str(), u"rb", _SH_DENYWR);
  ASSERT_NE(stream_, nullptr);
  sim::FailCall("fgetws", 1, kDataError);
  WCHAR buf[8];
  EXPECT_EQ(fgetws(buf, 8, stream_), nullptr);
  EXPECT_TRUE(ferror(stream_));
  EXPECT_FALSE(feof(stream_));
  ASSERT_NE(fgetws(buf, 8, stream_), nullptr) << "the fault took nothing from the stream";
  EXPECT_EQ(std::u16string(buf), u"a\n");
  std::vector<std::string> names = sim::CallNames();
  std::vector<std::string> want = {"SetLastError", "_wfsopen", "GetLastError", "_wfsopen", "fgetws", "fgetws"};
  EXPECT_EQ(names, want);
  auto calls = sim::Calls();
  EXPECT_EQ(calls[4].lastError, static_cast<DWORD>(kDataError));
  EXPECT_EQ(calls.back().result, "2");
  EXPECT_EQ(calls[1].args, "\"" + sim::U8(path) + "\", \"rb\", 0x20");
}

// The command file's share mode holds off every writer of the same file,
// under every name (the runner's tests try the spellings), and lets readers
// in; once the stream is closed a writer gets in, and shuts readers out.
TEST_F(SimCrt, DenyWriteHoldsOffWriters) {
  const std::string host = sim::U8(lbtest::WriteRawFile("data"));
  ASSERT_EQ(::link(host.c_str(), (host + "-link").c_str()), 0);
  sim::RouteToHost(u"C:\\link.txt", host + "-link");
  stream_ = _wfsopen(sim::W(host).c_str(), u"rb", _SH_DENYWR);
  ASSERT_NE(stream_, nullptr);
  EXPECT_FAILS_WITH(CreateFileW(u"C:\\link.txt", GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL),
                    INVALID_HANDLE_VALUE, ERROR_SHARING_VIOLATION);
  FILE* reader = _wfsopen(u"C:\\link.txt", u"rb", _SH_DENYWR);
  ASSERT_NE(reader, nullptr) << "readers share the file";
  fclose(reader);
  fclose(stream_);
  stream_ = nullptr;
  HANDLE h = CreateFileW(u"C:\\link.txt", GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS, 0, NULL);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_FAILS_WITH(_wfsopen(sim::W(host).c_str(), u"rb", _SH_DENYWR), nullptr, ERROR_SHARING_VIOLATION);
  CloseHandle(h);
  unlink((host + "-link").c_str());
}

// Opening what cannot be read fails as CreateFileW does: a missing file 2,
// a missing directory 3, a directory 5.
TEST_F(SimCrt, WfsopenFailuresReportCreateFileErrors) {
  EXPECT_FAILS_WITH(_wfsopen(u"/tmp/linkbatch-no-such-file-x", u"rb", _SH_DENYWR), nullptr,
                    ERROR_FILE_NOT_FOUND);
  EXPECT_FAILS_WITH(_wfsopen(u"/tmp/linkbatch-no-such-dir-x/f", u"rb", _SH_DENYWR), nullptr,
                    ERROR_PATH_NOT_FOUND);
  EXPECT_FAILS_WITH(_wfsopen(u"/tmp", u"rb", _SH_DENYWR), nullptr, ERROR_ACCESS_DENIED);
}

// String functions: ordering as unsigned 16-bit units, a search for the
// empty string finds the start.
TEST_F(SimCrt, StringFunctions) {
  EXPECT_LT(wcscmp(u"A", u"\xFFFF"), 0);
  EXPECT_GT(wcscmp(u"ab", u"a"), 0);
  EXPECT_EQ(wcscmp(u"", u""), 0);
  EXPECT_EQ(wcsncmp(u"abX", u"abY", 2), 0);
  EXPECT_LT(wcsncmp(u"abX", u"abY", 3), 0);
  EXPECT_EQ(wcsncmp(u"a", u"a", 10), 0);

  WCHAR copy[8];
  copy[7] = u'#';
  EXPECT_EQ(wcscpy(copy, u"C:\\dir"), copy);
  EXPECT_EQ(std::u16string(copy, 8), std::u16string(u"C:\\dir\0#", 8));
  EXPECT_EQ(wcslen(copy), 6u);

  const WCHAR* hay = u"abcabd";
  EXPECT_EQ(wcsstr(hay, u"abd"), hay + 3);
  EXPECT_EQ(wcsstr(hay, u""), hay);
  EXPECT_EQ(wcsstr(hay, u"abde"), nullptr);
}

// Wide formatting: the supported conversions with width, '-' and '0'; %l
// takes a 32-bit value as on Windows.
TEST_F(SimCrt, SwprintfFormats) {
  WCHAR buf[128];
  int n = swprintf(buf, 128, u"[%ls|%-5ls|%5ls|%c|%%]", u"\x00E9t\x00E9", u"ab", u"cd", u'\x263A');
  EXPECT_EQ(std::u16string(buf), u"[\x00E9t\x00E9|ab   |   cd|\x263A|%]");
  EXPECT_EQ(n, 21);
  swprintf(buf, 128, u"%d %05d %-4d| %u %lu %ld %8lu", -42, -42, 3, 4000000000u, (DWORD)4294967295u, (LONG)-5,
           (DWORD)0);
  EXPECT_EQ(std::u16string(buf), u"-42 -0042 3   | 4000000000 4294967295 -5        0");
  swprintf(buf, 128, u"%x %X %08lx %lX %3x", 0xbeefu, 0xbeefu, (DWORD)0xA0000003u, (DWORD)0xc, 0u);
  EXPECT_EQ(std::u16string(buf), u"beef BEEF a0000003 C   0");
  swprintf(buf, 128, u"%ls", static_cast<const WCHAR*>(nullptr));
  EXPECT_EQ(std::u16string(buf), u"(null)");
}

// swprintf never writes more than count units: on overflow it returns -1 and
// leaves what fits, terminated.
TEST_F(SimCrt, SwprintfOverflow) {
  WCHAR buf[8] = {u'#', u'#', u'#', u'#', u'#', u'#', u'#', u'#'};
  EXPECT_EQ(swprintf(buf, 4, u"%ls", u"abcd"), -1);
  EXPECT_EQ(std::u16string(buf, 5), std::u16string(u"abc\0#", 5));
  EXPECT_EQ(swprintf(buf, 5, u"%ls", u"abcd"), 4) << "exactly fits with its terminator";
  EXPECT_EQ(swprintf(buf, 0, u"x"), -1);
}

// wprintf hands UTF-8 to the console and returns the count of wide units.
TEST_F(SimCrt, WprintfWritesUtf8ToConsole) {
  (void)sim::TakeStdout();
  EXPECT_EQ(wprintf(u"%ls -> %d\n", u"C:\\\x00E9", 5), 10);
  EXPECT_EQ(sim::TakeStdout(), "C:\\\xC3\xA9 -> 5\n");
}

// A bare %s means different things to the two CRTs, and what the simulation
// does not model (precision, 64-bit sizes, open modes other than "rb") would
// quietly differ from Windows: each stops the run.
TEST(SimCrtDeathTest, UnmodelledUsesAbort) {
  WCHAR buf[8];
  EXPECT_DEATH(swprintf(buf, 8, u"%s", u"x"), "%ls");
  EXPECT_DEATH(swprintf(buf, 8, u"%.2ls", u"xyz"), "not supported");
  EXPECT_DEATH(swprintf(buf, 8, u"%llu", 1ull), "not supported");
  EXPECT_DEATH(_wfsopen(u"/tmp", u"r", _SH_DENYWR), "not modelled");
  EXPECT_DEATH(_wfsopen(u"/tmp", u"wb", _SH_DENYWR), "not modelled");
  EXPECT_DEATH(_wfsopen(u"/tmp", u"rb", 0x40), "not modelled");
}

}  // namespace
