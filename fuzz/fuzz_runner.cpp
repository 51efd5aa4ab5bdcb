// The command runner fed arbitrary bytes as its command file, on a small
// volume. C:\KEEP and the whole of D: can only be reached by a command file
// that spells their names (no link on the volume leads there, and names
// compare case-insensitively only within ASCII for these letters), so a run
// whose text does not name them must leave them exactly as they were.
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>

#include "fuzz/fuzz_support.h"

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
}

bool Names(const std::u16string& upperText, const std::u16string& what) {
  return upperText.find(what) != std::u16string::npos;
}

// What both volumes hold, without file ids: two runs that make the same
// things make them with the same ids only while nothing else differs.
std::map<std::u16string, lbfuzz::Entry> Volumes() {
  std::map<std::u16string, lbfuzz::Entry> out;
  for (const char16_t* root : {u"C:\\", u"D:\\"}) {
    for (auto& kv : lbfuzz::Take(root)) {
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  lbfuzz::FreshProcess();
  BuildVolume();
  // A clone into its own source nests until the 8192-character paths are
  // full, some 4,000 levels at a few seconds each under the sanitizers. The
  // deep case has its own stress test; here listings stop after 200.
  sim::FailCall("FindFirstFileW", 200, ERROR_ACCESS_DENIED, true);
  lbfuzz::Snapshot keepBefore = lbfuzz::Take(u"C:\\KEEP");
  lbfuzz::Snapshot otherBefore = lbfuzz::Take(u"D:\\");

  DWORD code = lbfuzz::RunCommandBytes(data, size);

  lbfuzz::CheckNoLeaks();
  if (!sim::TakeStdout().empty()) lbfuzz::Fail("the runner printed something");

  // The command file as the runner sees it: code units in file order; an odd
  // last byte never reaches a line.
  std::u16string text;
  for (size_t i = 0; i + 1 < size; i += 2) {
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  std::u16string upper = lbfuzz::UpperAscii(text);

  if (!Names(upper, u"KEEP") && !lbfuzz::Changed(keepBefore, lbfuzz::Take(u"C:\\KEEP")).empty()) {
    lbfuzz::Fail("C:\\KEEP changed though the command file never names it");
  }
  if (!Names(upper, u"D:") && !Names(upper, u"VOLUME{") &&
      !lbfuzz::Changed(otherBefore, lbfuzz::Take(u"D:\\")).empty()) {
    lbfuzz::Fail("volume D: changed though the command file never names it");
  }

  // The exit code is 1 (nothing ran, or a missing system function), 13 (a
  // malformed line with a known letter), 206 (a path too long), 123 (an
  // empty path, which the resolver refuses without an error of its own), or
  // a code some platform call left as its last error.
  std::set<DWORD> allowed = {0, 1, 13, 123, 206};
  for (const auto& c : sim::Calls()) allowed.insert(c.lastError);
  if (allowed.count(code) == 0) lbfuzz::Fail("exit code " + std::to_string(code) + " comes from nowhere");

  // A file with no line feed at all and no known letter in position 1 runs
  // nothing.
  int knownLines = 0;
  bool anyKnown = false;
  size_t lineStart = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == u'\n') {
      if (i - lineStart + (i < text.size() ? 1 : 0) >= 2) {
        char16_t letter = text[lineStart + 1];
        if (letter == u'c' || letter == u'd' || letter == u'f' || letter == u'j' || letter == u'k' ||
            letter == u'l' || letter == u'm' || letter == u'n') {
          anyKnown = true;
          ++knownLines;
        }
      }
      lineStart = i + 1;
    }
  }
  if (!anyKnown && code != 1) lbfuzz::Fail("no known letter yet the exit code is not 1");

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
  DWORD faulted = lbfuzz::RunCommandBytes(data, size);
  lbfuzz::CheckNoLeaks();
  if (faulted == 0 && sim::FaultsFired() > 0 && Volumes() != clean) {
    lbfuzz::Fail(std::string(fault.silent ? "a silent" : "a") + " failure of call " +
                 std::to_string(fault.nth) + " ended the line with 0 and left the volume changed");
  }
  return 0;
}
