// The floor of platform calls of a quiet symbolic-link clone on the
// caller's thread (what the c command runs), by call name. The unit test
// CloneTest.CallFloorByCount holds the clone to it exactly; the benchmark
// reports what a clone spends above it.
//
// Each row counts a call per clone, per level listed (the root and every
// directory below it), per directory below the root, and per file. A
// change to the clone that adds a call per clone or per directory changes
// one number here.
#pragma once

#include <map>
#include <string>

namespace bench {

struct CloneFloorRow {
  const char* call;
  long long perClone;
  long long perLevel;
  long long perDirectory;
  long long perFile;
};

constexpr CloneFloorRow CloneFloorRows[] = {
    // Both roots made absolute.
    {"GetFullPathNameW", 2, 0, 0, 0},
    // The last error cleared before the walk, and after each level the
    // ERROR_NO_MORE_FILES its end leaves, so that an enclosing listing
    // step that fails without an error is not taken for that level's end.
    {"SetLastError", 1, 1, 0, 0},
    // The listing start returns ".".
    {"FindFirstFileW", 0, 1, 0, 0},
    // ".." and the failing step at the end, per level; one step per entry.
    {"FindNextFileW", 0, 2, 1, 1},
    // Why the listing ended: its end, or an error to record.
    {"GetLastError", 0, 1, 0, 0},
    {"FindClose", 0, 1, 0, 0},
    {"CreateDirectoryW", 0, 0, 1, 0},
    {"CreateSymbolicLinkW", 0, 0, 0, 1},
};

// A volume root lists no "." and "..": its level makes this many
// FindNextFileW steps fewer.
constexpr long long VolumeRootStepsSaved = 2;

// Calls by name (none left out as 0). directories: below the root;
// volumeRoot: the source is a volume root.
inline std::map<std::string, long long> CloneFloor(long long files, long long directories, bool volumeRoot) {
  std::map<std::string, long long> floor;
  for (const CloneFloorRow& row : CloneFloorRows) {
    const long long n =
        row.perClone + row.perLevel * (directories + 1) + row.perDirectory * directories + row.perFile * files;
    if (n != 0) floor[row.call] = n;
  }
  if (volumeRoot) floor["FindNextFileW"] -= VolumeRootStepsSaved;
  return floor;
}

inline long long CloneFloorTotal(long long files, long long directories, bool volumeRoot) {
  long long total = 0;
  for (const auto& kv : CloneFloor(files, directories, volumeRoot)) total += kv.second;
  return total;
}

}  // namespace bench
