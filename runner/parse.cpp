// Cutting a command line into its letter and two paths.
#include "runner/runner.h"

namespace {

// The first path starts at 4, the second three past the first path's closing
// mark.
const DWORD FirstPathStart = 4;
const DWORD SecondPathSkip = 3;

// Where the path that starts at `start` ends: its closing mark, searched
// from one past the start, since a path has at least one character. A U+0000
// in the path would cut it short where the system reads it, so the path then
// has no end, as when its mark is missing: `delivered` is returned.
DWORD FindPathEnd(LPCWSTR line, DWORD start, DWORD delivered) {
  if (start >= delivered || line[start] == 0) {
    return delivered;
  }
  for (DWORD at = start + 1; at < delivered; ++at) {
    if (line[at] == TEXT('"')) {
      return at;
    }
    if (line[at] == 0) {
      return delivered;
    }
  }
  return delivered;
}

}  // namespace

int ParseCommandLine(LPWSTR line, DWORD delivered, CommandLine* parsed) {
  parsed->letter = delivered >= 2 ? line[1] : 0;
  parsed->firstPath = NULL;
  parsed->secondPath = NULL;

  DWORD first = FindPathEnd(line, FirstPathStart, delivered);
  if (first >= delivered) {
    return 0;
  }
  DWORD second = FindPathEnd(line, first + SecondPathSkip, delivered);
  if (second >= delivered) {
    return 0;
  }
  line[first] = 0;
  line[second] = 0;
  parsed->firstPath = line + FirstPathStart;
  parsed->secondPath = line + first + SecondPathSkip;
  return 1;
}
