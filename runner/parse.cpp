// Cutting a command line into its letter and two paths.
#include "runner/runner.h"

namespace {

// The first path starts at 4 and has at least one character, so its closing
// mark is searched from 5; the second starts three past the first mark.
const DWORD FirstPathStart = 4;
const DWORD SecondPathSkip = 3;

DWORD FindQuote(LPCWSTR line, DWORD from, DWORD delivered) {
  for (DWORD at = from; at < delivered; ++at) {
    if (line[at] == TEXT('"')) {
      return at;
    }
  }
  return delivered;
}

}  // namespace

int ParseCommandLine(LPWSTR line, DWORD delivered, CommandLine* parsed) {
  parsed->letter = delivered >= 2 ? line[1] : 0;
  parsed->firstPath = NULL;
  parsed->secondPath = NULL;

  DWORD first = FindQuote(line, FirstPathStart + 1, delivered);
  if (first >= delivered) {
    return 0;
  }
  DWORD second = FindQuote(line, first + SecondPathSkip + 1, delivered);
  if (second >= delivered) {
    return 0;
  }
  line[first] = 0;
  line[second] = 0;
  parsed->firstPath = line + FirstPathStart;
  parsed->secondPath = line + first + SecondPathSkip;
  return 1;
}
