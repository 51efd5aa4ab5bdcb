// What the simulated volumes hold, seen from outside: the one snapshot that
// tests and fuzz targets compare before and after a run.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/sim.h"

namespace support {

struct Entry {
  bool isDirectory = false;
  DWORD attributes = 0;
  DWORD reparseTag = 0;
  std::vector<uint8_t> reparseData;
  uint32_t linkCount = 0;
  uint64_t fileId = 0;  // identity; never reused, so two runs' ids differ
  bool operator==(const Entry& o) const {
    return isDirectory == o.isDirectory && attributes == o.attributes && reparseTag == o.reparseTag &&
           reparseData == o.reparseData && linkCount == o.linkCount && fileId == o.fileId;
  }
  bool operator!=(const Entry& o) const { return !(*this == o); }
};

// Absolute path as walked -> entry.
typedef std::map<std::u16string, Entry> Snapshot;

// Everything under root (an absolute drive path), root included. Reparse
// points are recorded, never entered, so a cycle cannot make it endless.
Snapshot Take(const std::u16string& root);
// Every volume of the machine.
Snapshot TakeAll();
// The same snapshot with every file id cleared, for comparing two runs.
Snapshot WithoutIds(Snapshot s);
// Paths whose entry differs (added, removed or changed), for a Snapshot or
// any other map of path to Entry.
template <class Map>
std::vector<std::u16string> Changed(const Map& before, const Map& after) {
  std::vector<std::u16string> out;
  for (const auto& kv : before) {
    auto it = after.find(kv.first);
    if (it == after.end() || it->second != kv.second) out.push_back(kv.first);
  }
  for (const auto& kv : after) {
    if (before.find(kv.first) == before.end()) out.push_back(kv.first);
  }
  return out;
}

}  // namespace support
