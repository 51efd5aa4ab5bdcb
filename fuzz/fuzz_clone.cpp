// The tree clone over source trees built from the input: nested directories,
// files, long and non-ASCII names, junctions and directory symbolic links
// that may point back up the tree (cycles), an existing destination entry or
// two, either link kind, with or without the long-path prefix, and faults
// injected into platform calls. After the run:
//   - nothing open, no backup context alive;
//   - nothing changed outside the destination tree;
//   - the result is the code of the last non-zero failure record (0 when
//     none), or the root's own error with no record;
//   - every recorded destination was not made by this run;
//   - every source entry under a directory this run made is linked (file)
//     or made (directory) at the destination, or recorded, or was there
//     already.
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "clone/clone.h"
#include "fuzz/fuzz_support.h"

namespace {

void Put16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(static_cast<uint8_t>(x));
  v.push_back(static_cast<uint8_t>(x >> 8));
}
void PutName(std::vector<uint8_t>& v, const std::u16string& s) {
  for (char16_t c : s) Put16(v, c);
}

std::vector<uint8_t> JunctionData(const std::u16string& target) {
  std::u16string sub = u"\\??\\" + target;
  std::vector<uint8_t> v;
  Put16(v, IO_REPARSE_TAG_MOUNT_POINT & 0xFFFF);
  Put16(v, IO_REPARSE_TAG_MOUNT_POINT >> 16);
  Put16(v, static_cast<uint32_t>(8 + sub.size() * 2 + 2 + target.size() * 2 + 2));
  Put16(v, 0);
  Put16(v, 0);
  Put16(v, static_cast<uint32_t>(sub.size() * 2));
  Put16(v, static_cast<uint32_t>(sub.size() * 2 + 2));
  Put16(v, static_cast<uint32_t>(target.size() * 2));
  PutName(v, sub);
  Put16(v, 0);
  PutName(v, target);
  Put16(v, 0);
  return v;
}

std::vector<uint8_t> DirectorySymlinkData(const std::u16string& target) {
  std::u16string sub = u"\\??\\" + target;
  std::vector<uint8_t> v;
  Put16(v, IO_REPARSE_TAG_SYMLINK & 0xFFFF);
  Put16(v, IO_REPARSE_TAG_SYMLINK >> 16);
  Put16(v, static_cast<uint32_t>(12 + sub.size() * 2 + target.size() * 2));
  Put16(v, 0);
  Put16(v, static_cast<uint32_t>(target.size() * 2));
  Put16(v, static_cast<uint32_t>(sub.size() * 2));
  Put16(v, 0);
  Put16(v, static_cast<uint32_t>(target.size() * 2));
  Put16(v, 0);
  Put16(v, 0);
  PutName(v, target);
  PutName(v, sub);
  return v;
}

std::u16string PoolName(uint8_t pick) {
  switch (pick % 12) {
    case 0: return u"a";
    case 1: return u"b";
    case 2: return u"Sub";
    case 3: return u"f.txt";
    case 4: return u"g";
    case 5: return u"\u00e9t\u00e9";
    case 6: return std::u16string(255, u'n');
    case 7: return std::u16string(200, u'm');
    case 8: return std::u16string(254, u'q') + u"1";
    case 9: return u"x y";
    case 10: return u"ab.cd.ef";
    default: return std::u16string(1 + pick / 12, u'z');
  }
}

const DWORD FaultCodes[] = {ERROR_ACCESS_DENIED,        ERROR_FILE_NOT_FOUND,
                            ERROR_PATH_NOT_FOUND,       ERROR_NOT_ENOUGH_MEMORY,
                            ERROR_FILENAME_EXCED_RANGE, ERROR_CANT_RESOLVE_FILENAME,
                            ERROR_ALREADY_EXISTS,       ERROR_SHARING_VIOLATION,
                            112 /* disk full */,            ERROR_INVALID_NAME};

struct Checker {
  const lbfuzz::Snapshot& before;
  const lbfuzz::Snapshot& after;
  std::set<std::u16string> recorded;  // upper-cased, display form
  std::u16string prefix;
  LinkKind kind;
  bool listingsComplete;

  bool Recorded(const std::u16string& path) const {
    return recorded.count(lbfuzz::UpperAscii(path)) != 0;
  }
  const lbfuzz::Entry* Before(const std::u16string& p) const {
    auto it = before.find(lbfuzz::UpperAscii(p));
    return it == before.end() ? nullptr : &it->second;
  }
  const lbfuzz::Entry* After(const std::u16string& p) const {
    auto it = after.find(lbfuzz::UpperAscii(p));
    return it == after.end() ? nullptr : &it->second;
  }

  // Where each planted link leads (upper-cased link path -> real target), so
  // the walk below follows real paths and stays cheap at any depth.
  std::map<std::u16string, std::u16string> linkTargets;

  // dst is a directory this run made (or the root); the level mirrors the
  // real directory `real`, which the clone reached as `seen`; `junction`
  // tells whether `seen` ends in a junction.
  void Level(const std::u16string& real, const std::u16string& seen, bool junction,
             const std::u16string& dst, int depth) {
    if (depth > 5000) lbfuzz::Fail("destination deeper than any buffer allows");
    if (recorded.count(lbfuzz::UpperAscii(prefix + seen)) != 0) return;
    std::vector<std::u16string> made = sim::List(dst);
    // A level that could not be listed and is a junction to a drive path is
    // passed over without a record.
    if (junction && made.empty()) return;
    if (!listingsComplete) return;
    for (const auto& name : sim::List(real)) {
      std::u16string s = real + u"\\" + name;
      std::u16string d = dst + u"\\" + name;
      sim::NodeInfo entry = sim::Inspect(s);
      if (Recorded(d)) continue;
      const lbfuzz::Entry* was = Before(d);
      const lbfuzz::Entry* now = After(d);
      if (!entry.isDirectory) {
        if (was != nullptr || now == nullptr) {
          lbfuzz::Fail("source file neither linked nor recorded: " + sim::U8(s));
        }
        if (kind == LinkKindSymbolic && now->reparseTag != IO_REPARSE_TAG_SYMLINK) {
          lbfuzz::Fail("destination is no symbolic link: " + sim::U8(d));
        }
        if (kind == LinkKindHard && now->fileId != entry.fileId) {
          lbfuzz::Fail("destination is no hard link of the source: " + sim::U8(d));
        }
        continue;
      }
      if (was != nullptr) continue;  // there already: skipped silently
      if (now == nullptr || !now->isDirectory || now->reparseTag != 0) {
        lbfuzz::Fail("source directory neither made nor recorded: " + sim::U8(s));
      }
      auto link = linkTargets.find(lbfuzz::UpperAscii(s));
      std::u16string next = link == linkTargets.end() ? s : link->second;
      Level(next, seen + u"\\" + name, entry.reparseTag == IO_REPARSE_TAG_MOUNT_POINT, d, depth + 1);
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  lbfuzz::Input in(data, size);
  lbfuzz::FreshProcess();

  uint8_t mode = in.Byte();
  LinkKind kind = (mode & 1) ? LinkKindHard : LinkKindSymbolic;
  unsigned char usePrefix = (mode & 2) ? 0 : 1;
  if (mode & 4) sim::SetExportPresent("CreateHardLinkW", false);  // the backup-stream method

  sim::MakeFile(u"C:\\KEEP\\k.txt");
  sim::MakeDirs(u"C:\\d");
  sim::MakeDirs(u"C:\\s");
  std::vector<std::u16string> dirs = {u"C:\\s"};
  std::vector<std::u16string> linkTargets = {u"C:\\s", u"C:\\KEEP"};
  std::map<std::u16string, std::u16string> planted;
  int links = 0;
  int ops = in.Byte() % 48;
  for (int i = 0; i < ops && in.Left() >= 3; ++i) {
    uint8_t op = in.Byte();
    std::u16string parent = dirs[in.Byte() % dirs.size()];
    std::u16string path = parent + u"\\" + PoolName(in.Byte());
    if (sim::Inspect(path).exists || sim::Inspect(parent).reparseTag != 0) continue;
    switch (op % 8) {
      case 0: case 1: case 2:
        sim::MakeDirs(path);
        dirs.push_back(path);
        linkTargets.push_back(path);
        break;
      case 3: case 4:
        sim::MakeFile(path);
        break;
      case 5: case 6: {
        // Two links reachable from one level already double the walk at
        // every turn of a cycle, so the trees keep to three.
        if (links >= 3) break;
        ++links;
        sim::MakeDirs(path);
        std::u16string target = linkTargets[in.Byte() % linkTargets.size()];
        planted[lbfuzz::UpperAscii(path)] = target;
        sim::PlantReparse(path, op % 8 == 5 ? JunctionData(target) : DirectorySymlinkData(target));
        break;
      }
      default:
        // Something already at the destination.
        if (sim::Inspect(u"C:\\d\\" + PoolName(op)).exists) break;
        if (op & 0x80) {
          sim::MakeFile(u"C:\\d\\" + PoolName(op));
        } else {
          sim::MakeDirs(u"C:\\d\\" + PoolName(op));
        }
        break;
    }
  }
  int faults = in.Byte() % 4;
  for (int i = 0; i < faults; ++i) {
    int nth = 1 + in.U16() % 400;
    sim::FailNthCall(nth, FaultCodes[in.Byte() % (sizeof(FaultCodes) / sizeof(FaultCodes[0]))]);
  }
  // A budget: after 300 listings every further one fails, so that even a
  // tree whose cycles branch ends quickly.
  sim::FailCall("FindFirstFileW", 300, ERROR_ACCESS_DENIED, true);

  lbfuzz::Snapshot before = lbfuzz::Take(u"C:\\");
  sim::ClearCalls();

  DWORD counter = 0;
  FailureList failures;
  DWORD result = CloneTree(u"C:\\s", u"C:\\d", counter, 1, kind, usePrefix, failures, nullptr);

  lbfuzz::CheckNoLeaks();
  if (!sim::TakeStdout().empty()) lbfuzz::Fail("a quiet clone printed something");
  lbfuzz::Snapshot after = lbfuzz::Take(u"C:\\");
  for (const auto& p : lbfuzz::Changed(before, after)) {
    if (p.compare(0, 5, u"C:\\D\\") == 0) continue;
    // A hard link gives its source file one more name, and nothing else.
    auto was = before.find(p);
    auto now = after.find(p);
    if (kind == LinkKindHard && was != before.end() && now != after.end()) {
      lbfuzz::Entry e = was->second;
      e.linkCount = now->second.linkCount;
      if (e == now->second) continue;
    }
    lbfuzz::Fail("changed outside the destination: " + sim::U8(p));
  }

  DWORD lastRecorded = 0;
  for (const auto& r : failures) {
    if (r.errorCode != 0) lastRecorded = r.errorCode;
  }
  if (failures.empty() && result != 0) {
    // Only the roots may fail without a record, and then nothing was made.
    if (!lbfuzz::Changed(before, after).empty()) lbfuzz::Fail("root failure " + std::to_string(result) + " yet something was made");
    return 0;
  }
  if (result != lastRecorded) {
    lbfuzz::Fail("result " + std::to_string(result) + " but last record " + std::to_string(lastRecorded));
  }

  std::u16string prefix = usePrefix ? u"\\\\?\\" : u"";
  Checker check{before, after, {}, prefix, kind, true, planted};
  for (const auto& r : failures) {
    std::u16string path(r.path.begin(), r.path.end());
    check.recorded.insert(lbfuzz::UpperAscii(path));
    if (path.compare(0, 4, u"C:\\d") == 0 || path.compare(0, 4, u"C:\\D") == 0) {
      const lbfuzz::Entry* was = check.Before(path);
      const lbfuzz::Entry* now = check.After(path);
      if (now != nullptr && (was == nullptr || *was != *now)) {
        lbfuzz::Fail("recorded destination was made or changed: " + sim::U8(path));
      }
    }
  }
  // A listing that ends on an error other than "no more files" stops the
  // level quietly, so completeness only holds without one.
  for (const auto& c : sim::Calls()) {
    if (c.name == "FindNextFileW" && c.result == "0" && c.lastError != ERROR_NO_MORE_FILES) {
      check.listingsComplete = false;
    }
  }
  check.Level(u"C:\\s", u"C:\\s", false, u"C:\\d", 0);
  // Every link counted is one the run made.
  size_t madeLinks = 0;
  for (const auto& kv : after) {
    if (kv.first.compare(0, 5, u"C:\\D\\") != 0 || kv.second.isDirectory) continue;
    auto it = before.find(kv.first);
    if (it == before.end()) ++madeLinks;
  }
  if (madeLinks != counter) {
    lbfuzz::Fail("file counter " + std::to_string(counter) + " but " + std::to_string(madeLinks) + " links made");
  }
  return 0;
}
