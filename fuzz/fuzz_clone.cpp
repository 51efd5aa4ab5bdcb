// The tree clone over source trees built from the input: nested directories,
// files, long and non-ASCII names, junctions and directory symbolic links
// that may point back up the tree (cycles), an existing destination entry or
// two, either link kind, with or without the long-path prefix, and faults
// injected into platform calls. After the run:
//   - nothing open, no backup context alive;
//   - nothing changed outside the destination tree;
//   - no record holds 0: a call that failed without an error is still a
//     failure;
//   - the result is the code of the last failure record other than an
//     existing destination file (0 when none), or the root's own error with
//     no record;
//   - every recorded destination was not made by this run;
//   - every source entry under a directory this run made is linked (file)
//     or made (directory) at the destination, or recorded, or was there
//     already, unless its level's listing found nothing (an empty level);
//   - a link that leads back to a directory on the walk's path is recorded,
//     not entered (unless a fault kept an identity from being read).
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "clone/clone.h"
#include "platform/probe.h"
#include "fuzz/clone_check.h"
#include "fuzz/fuzz_support.h"
#include "support/record_bytes.h"

namespace {

std::vector<uint8_t> JunctionData(const std::u16string& target) { return support::JunctionRecord(target); }

std::vector<uint8_t> DirectorySymlinkData(const std::u16string& target) {
  std::u16string sub = u"\\??\\" + target;
  std::vector<uint8_t> v;
  support::Append16(v, IO_REPARSE_TAG_SYMLINK & 0xFFFF);
  support::Append16(v, IO_REPARSE_TAG_SYMLINK >> 16);
  support::Append16(v, static_cast<uint32_t>(12 + sub.size() * 2 + target.size() * 2));
  support::Append16(v, 0);
  support::Append16(v, static_cast<uint32_t>(target.size() * 2));
  support::Append16(v, static_cast<uint32_t>(sub.size() * 2));
  support::Append16(v, 0);
  support::Append16(v, static_cast<uint32_t>(target.size() * 2));
  support::Append16(v, 0);
  support::Append16(v, 0);
  support::AppendName(v, target);
  support::AppendName(v, sub);
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


}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  lbfuzz::Input in(data, size);
  lbfuzz::FreshProcess();

  uint8_t mode = in.Byte();
  LinkKind kind = (mode & 1) ? LinkKindHard : LinkKindSymbolic;
  unsigned char usePrefix = (mode & 2) ? 0 : 1;
  if (mode & 4) sim::SetExportPresent("CreateHardLinkW", false);  // the backup-stream method
  ProbeCapabilities();

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
        // Cycles end at their first turn, but links that share targets
        // still multiply the tree (each can double it), so keep to five.
        if (links >= 5) break;
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
  // A fault code past the table's end fails the call without setting an
  // error, as stubs and GetFullPathNameW("") fail.
  int faults = in.Byte() % 4;
  const size_t codes = sizeof(FaultCodes) / sizeof(FaultCodes[0]);
  for (int i = 0; i < faults; ++i) {
    int nth = 1 + in.U16() % 400;
    size_t code = in.Byte() % (codes + 2);
    if (code < codes) {
      sim::FailNthCall(nth, FaultCodes[code]);
    } else {
      sim::FailNthCallSilently(nth);
    }
  }
  // A budget: after 300 listings every further one fails, so that a tree
  // multiplied by its links, or one cloned into itself, ends quickly.
  sim::FailCall("FindFirstFileW", 300, ERROR_ACCESS_DENIED, true);

  lbfuzz::Snapshot before = lbfuzz::Take(u"C:\\");
  sim::ClearCalls();

  DWORD counter = 0;
  FailureList failures;
  SetLastError(0);
  DWORD result = CloneTree(u"C:\\s", u"C:\\d", counter, 1, kind, usePrefix, failures, nullptr);

  lbfuzz::CheckNoLeaks();
  if (!sim::TakeStdout().empty()) lbfuzz::Fail("a quiet clone printed something");
  lbfuzz::CheckCloneOutcome(before, failures, result, counter, kind, usePrefix, planted);
  return 0;
}
