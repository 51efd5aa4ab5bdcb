// The command runner fed arbitrary bytes as its command file, on a small
// volume, with a results file. C:\KEEP and the whole of D: can only be
// reached by a command file that spells their names (no link on the volume
// leads there, and names compare case-insensitively only within ASCII for
// these letters), so a run whose text does not name them must leave them
// exactly as they were. The results file must hold one record per line, in
// order, with each line's letter restored exactly, a clone's failures
// before its line's record, and an end record that gives the exit code.
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "support/record_bytes.h"

namespace {

void BuildVolume() {
  sim::MakeFile(u"C:\\a\\f1.txt");
  sim::MakeFile(u"C:\\a\\sub\\f2");
  sim::MakeDirs(u"C:\\b");
  sim::MakeFile(u"C:\\c\\x");
  sim::MakeFile(u"C:\\KEEP\\k1.txt");
  sim::MakeFile(u"C:\\KEEP\\kd\\k2");
  sim::AddVolume(u'D');
  sim::MakeFile(u"D:\\dd\\file");
  sim::MakeDirs(u"C:\\RESULTS");
}

bool Names(const std::u16string& upperText, const std::u16string& what) {
  return upperText.find(what) != std::u16string::npos;
}

const char16_t* const kResults = u"C:\\RESULTS\\r.txt";

bool IsKnown(char16_t letter) {
  return letter == u'c' || letter == u'd' || letter == u'f' || letter == u'j' || letter == u'k' ||
         letter == u'l' || letter == u'm' || letter == u'n';
}

// The line's letter as the file gives it: position 1, absent on a line of
// fewer than two units.
struct Line {
  bool hasLetter;
  char16_t letter;
};

// A field with each %XXXX replaced by the unit it names; a % without four
// upper-case hexadecimal digits after it fails the run.
std::u16string Restore(const std::u16string& field) {
  std::u16string out;
  for (size_t i = 0; i < field.size(); ++i) {
    if (field[i] != u'%') {
      out.push_back(field[i]);
      continue;
    }
    unsigned unit = 0;
    for (size_t k = 1; k <= 4; ++k) {
      const char16_t c = i + k < field.size() ? field[i + k] : u'?';
      const int digit = c >= u'0' && c <= u'9' ? c - u'0' : c >= u'A' && c <= u'F' ? c - u'A' + 10 : -1;
      if (digit < 0) lbfuzz::Fail("a % in a record without four hexadecimal digits");
      unit = unit * 16 + static_cast<unsigned>(digit);
    }
    out.push_back(static_cast<char16_t>(unit));
    i += 4;
  }
  return out;
}

std::vector<std::u16string> Split(const std::u16string& text, const std::u16string& by) {
  std::vector<std::u16string> parts;
  size_t at = 0;
  for (size_t next; (next = text.find(by, at)) != std::u16string::npos; at = next + by.size()) {
    parts.push_back(text.substr(at, next - at));
  }
  parts.push_back(text.substr(at));
  return parts;
}

// Checks the results file against the lines and the exit code.
void CheckResults(const std::vector<Line>& lines, DWORD code) {
  sim::NodeInfo info = sim::Inspect(kResults);
  if (!info.exists) lbfuzz::Fail("no results file");
  const std::u16string text = support::UnitsOf(info.content);
  std::vector<std::u16string> records = Split(text, u"\r\n");
  if (records.back().size() != 0) lbfuzz::Fail("the results file does not end with a whole record");
  records.pop_back();
  if (records.empty() || records[0] != u"\uFEFFlinkbatch-results\t2") lbfuzz::Fail("no format record");
  if (records.size() < 2 || records.back() != u"end\t" + sim::W(std::to_string(code))) {
    lbfuzz::Fail("the last record is not the end with the exit code");
  }
  DWORD expectedCode = 1;
  size_t line = 0;
  for (size_t r = 1; r + 1 < records.size(); ++r) {
    const std::u16string& record = records[r];
    if (record.find(u'\r') != std::u16string::npos || record.find(u'\n') != std::u16string::npos) {
      lbfuzz::Fail("a record spans lines");
    }
    std::vector<std::u16string> f = Split(record, u"\t");
    if (f.size() < 3) lbfuzz::Fail("a record of fewer than three fields");
    // A clone's failures are written before its line's own record.
    const bool failure = f[2] == u"failed";
    const size_t number = failure ? line + 1 : ++line;
    if (number > lines.size() || f[0] != sim::W(std::to_string(number))) {
      lbfuzz::Fail("record " + std::to_string(r) + " has the number " + sim::U8(f[0]));
    }
    const Line& l = lines[number - 1];
    const std::u16string letter = Restore(f[1]);
    if (l.hasLetter ? letter != std::u16string(1, l.letter) : !letter.empty()) {
      lbfuzz::Fail("line " + std::to_string(number) + "'s letter is not restored exactly");
    }
    if (failure) {
      if (l.letter != u'c' || f.size() != 5) lbfuzz::Fail("a failure record outside a clone line");
    } else if (!IsKnown(l.letter) || !l.hasLetter) {
      if (f[2] != u"ignored" || f.size() != 3) lbfuzz::Fail("an unknown letter's record is not ignored");
    } else if (f[2] == u"malformed" && f.size() == 4 && f[3] == u"13") {
      expectedCode = 13;
    } else if (f[2] == u"ran" && f.size() == 4) {
      expectedCode = static_cast<DWORD>(std::stoul(sim::U8(f[3])));
    } else {
      lbfuzz::Fail("a known letter's record is neither ran nor malformed");
    }
  }
  if (line != lines.size()) lbfuzz::Fail("the results file does not report every line");
  if (code != expectedCode) lbfuzz::Fail("the exit code is not the last reported result");
}

// What both volumes hold, without file ids: two runs that make the same
// things make them with the same ids only while nothing else differs.
std::map<std::u16string, lbfuzz::Entry> Volumes() {
  std::map<std::u16string, lbfuzz::Entry> out;
  for (const char16_t* root : {u"C:\\", u"D:\\"}) {
    for (auto& kv : lbfuzz::Take(root)) {
      // Only the first run writes a results file.
      if (kv.first == u"C:\\RESULTS\\R.TXT") continue;
      kv.second.fileId = 0;
      out.insert(kv);
    }
  }
  return out;
}

// Which call of the run fails, and how, chosen from the input's bytes so that
// the committed corpus keeps its meaning; about half the inputs get one.
struct Fault {
  bool any;
  bool silent;
  int nth;
};
Fault FaultFor(const uint8_t* data, size_t size) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
  return Fault{(h & 1) != 0, (h & 2) != 0, 1 + static_cast<int>((h >> 2) % 64)};
}

}  // namespace

// Runs the command file; false when the double stopped because a path named
// the null device or the console, whose answers it does not model: such an
// input lies outside the model. Any other stop is a finding.
static bool Run(const uint8_t* data, size_t size, const std::u16string& results, DWORD* code) {
  try {
    *code = lbfuzz::RunCommandBytes(data, size, results);
    return true;
  } catch (const sim::NotModelled& e) {
    const std::u16string upper = lbfuzz::UpperAscii(support::UnitsOf(data, size));
    if (!Names(upper, u"NUL") && !Names(upper, u"CON")) lbfuzz::Fail(e.what());
    return false;
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lbfuzz::FreshProcess();
  BuildVolume();
  // A clone into its own source nests until the 8192-character paths are
  // full, some 4,000 levels at a few seconds each under the sanitizers. The
  // deep case has its own stress test; here listings stop after 200.
  sim::FailCall("FindFirstFileW", 200, ERROR_ACCESS_DENIED, true);
  lbfuzz::Snapshot keepBefore = lbfuzz::Take(u"C:\\KEEP");
  lbfuzz::Snapshot otherBefore = lbfuzz::Take(u"D:\\");

  DWORD code = 0;
  if (!Run(data, size, kResults, &code)) return 0;

  lbfuzz::CheckNoLeaks();
  if (!sim::TakeStdout().empty()) lbfuzz::Fail("the runner printed something");

  // The command file as the runner sees it: code units in file order; an odd
  // last byte never reaches a line.
  const std::u16string text = support::UnitsOf(data, size);
  std::u16string upper = lbfuzz::UpperAscii(text);

  if (!Names(upper, u"KEEP") && !lbfuzz::Changed(keepBefore, lbfuzz::Take(u"C:\\KEEP")).empty()) {
    lbfuzz::Fail("C:\\KEEP changed though the command file never names it");
  }
  if (!Names(upper, u"D:") && !Names(upper, u"VOLUME{") &&
      !lbfuzz::Changed(otherBefore, lbfuzz::Take(u"D:\\")).empty()) {
    lbfuzz::Fail("volume D: changed though the command file never names it");
  }

  // The exit code is 1 (nothing ran, or a missing system function), 13 (a
  // malformed line with a known letter), 206 (a path too long), 123 (a path
  // the resolver refuses without an error of its own), 4392 (a junction
  // whose record no reparse point holds, refused before any call), or a code
  // some platform call left as its last error.
  std::set<DWORD> allowed = {0, 1, 13, 123, 206, ERROR_INVALID_REPARSE_DATA};
  for (const auto& c : sim::Calls()) allowed.insert(c.lastError);
  if (allowed.count(code) == 0) lbfuzz::Fail("exit code " + std::to_string(code) + " comes from nowhere");

  // The lines as the runner reads them: each ends after its line feed or at
  // the end of the file.
  std::vector<Line> lines;
  size_t lineStart = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == u'\n' || i + 1 == text.size()) {
      const bool hasLetter = i - lineStart + 1 >= 2;
      lines.push_back(Line{hasLetter, hasLetter ? text[lineStart + 1] : u'\0'});
      lineStart = i + 1;
    }
  }
  int knownLines = 0;
  for (const Line& l : lines) knownLines += l.hasLetter && IsKnown(l.letter) ? 1 : 0;
  // A file without a known letter in position 1 of any line runs nothing.
  if (knownLines == 0 && code != 1) lbfuzz::Fail("no known letter yet the exit code is not 1");
  // A command file that names the results folder may have changed it.
  if (!Names(upper, u"RESULTS")) CheckResults(lines, code);

  // The same file again with one platform call failing, coded or without an
  // error (as stubs and GetFullPathNameW("") fail). With a single known
  // line the exit code is that line's result: 0 only where the failure was
  // harmless, the volumes exactly as the clean run left them.
  Fault fault = FaultFor(data, size);
  if (!fault.any || knownLines != 1) return 0;
  std::map<std::u16string, lbfuzz::Entry> clean = Volumes();
  lbfuzz::FreshProcess();
  BuildVolume();
  sim::FailCall("FindFirstFileW", 200, ERROR_ACCESS_DENIED, true);
  if (fault.silent) {
    sim::FailNthCallSilently(fault.nth);
  } else {
    sim::FailNthCall(fault.nth, 1816);  // ERROR_NOT_ENOUGH_QUOTA
  }
  DWORD faulted = 0;
  if (!Run(data, size, u"", &faulted)) return 0;
  lbfuzz::CheckNoLeaks();
  if (faulted == 0 && sim::FaultsFired() > 0 && Volumes() != clean) {
    lbfuzz::Fail(std::string(fault.silent ? "a silent" : "a") + " failure of call " +
                 std::to_string(fault.nth) + " ended the line with 0 and left the volume changed");
  }
  return 0;
}
