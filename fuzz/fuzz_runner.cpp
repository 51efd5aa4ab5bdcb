// The command runner fed arbitrary bytes as its command file, on a small
// volume. C:\KEEP and the whole of D: can only be reached by a command file
// that spells their names (no link on the volume leads there, and names
// compare case-insensitively only within ASCII for these letters), so a run
// whose text does not name them must leave them exactly as they were.
#include <cstddef>
#include <cstdint>
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
  bool anyKnown = false;
  size_t lineStart = 0;
  for (size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == u'\n') {
      if (i - lineStart + (i < text.size() ? 1 : 0) >= 2) {
        char16_t letter = text[lineStart + 1];
        if (letter == u'c' || letter == u'd' || letter == u'f' || letter == u'j' || letter == u'k' ||
            letter == u'l' || letter == u'm' || letter == u'n') {
          anyKnown = true;
        }
      }
      lineStart = i + 1;
    }
  }
  if (!anyKnown && code != 1) lbfuzz::Fail("no known letter yet the exit code is not 1");
  return 0;
}
