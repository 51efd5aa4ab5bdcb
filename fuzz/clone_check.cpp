// The checks after one clone of the clone fuzz target. Kept out of the
// target's own unit so that the fuzzer does not instrument the snapshot
// compares, which would cost most of every run.
#include "fuzz/clone_check.h"

#include <algorithm>
#include <set>
#include <unordered_set>
#include <vector>

namespace lbfuzz {

namespace {

struct Checker {
  const Snapshot& before;
  const Snapshot& after;
  std::unordered_set<std::u16string> recorded;  // upper-cased, display form
  std::u16string prefix;
  LinkKind kind;
  bool listingsComplete;

  bool Recorded(const std::u16string& path) const {
    return recorded.count(UpperAscii(path)) != 0;
  }
  const Entry* Before(const std::u16string& p) const {
    auto it = before.find(UpperAscii(p));
    return it == before.end() ? nullptr : &it->second;
  }
  const Entry* After(const std::u16string& p) const {
    auto it = after.find(UpperAscii(p));
    return it == after.end() ? nullptr : &it->second;
  }

  // Where each planted link leads (upper-cased link path -> real target), so
  // the walk below follows real paths and stays cheap at any depth.
  std::map<std::u16string, std::u16string> linkTargets;

  // Destination directories whose creation the platform answered with
  // ERROR_ALREADY_EXISTS (an injected fault can say so of a name that is not
  // there): the clone skips those silently when a directory holds the name,
  // and records them otherwise.
  std::unordered_set<std::u16string> claimedExisting;  // upper-cased, display form

  // Source levels whose listing found nothing to list (ERROR_FILE_NOT_FOUND,
  // which an injected fault can say of any directory): empty levels.
  std::unordered_set<std::u16string> listedEmpty;  // upper-cased, as the clone wrote them

  // The real directories on the path the clone is at (upper-cased), and
  // whether every identity read of the run succeeded: only then must a link
  // back to one of them be recorded instead of entered.
  std::vector<std::u16string> chain;
  bool identitiesRead;

  // dst is a directory this run made (or the root); the level mirrors the
  // real directory `real`, which the clone reached as `seen`; `junction`
  // tells whether `seen` ends in a junction.
  void Level(const std::u16string& real, const std::u16string& seen, bool junction,
             const std::u16string& dst, int depth) {
    if (depth > 5000) Fail("destination deeper than any buffer allows");
    if (recorded.count(UpperAscii(prefix + seen)) != 0) return;
    if (listedEmpty.count(UpperAscii(prefix + seen)) != 0) return;
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
      const Entry* was = Before(d);
      const Entry* now = After(d);
      if (!entry.isDirectory) {
        if (was != nullptr || now == nullptr) {
          Fail("source file neither linked nor recorded: " + sim::U8(s));
        }
        if (kind == LinkKindSymbolic && now->reparseTag != IO_REPARSE_TAG_SYMLINK) {
          Fail("destination is no symbolic link: " + sim::U8(d));
        }
        if (kind == LinkKindHard && now->fileId != entry.fileId) {
          Fail("destination is no hard link of the source: " + sim::U8(d));
        }
        continue;
      }
      if (was != nullptr) continue;  // there already: skipped silently
      if (claimedExisting.count(UpperAscii(d)) != 0) continue;
      if (now == nullptr || !now->isDirectory || now->reparseTag != 0) {
        Fail("source directory neither made nor recorded: " + sim::U8(s));
      }
      auto link = linkTargets.find(UpperAscii(s));
      std::u16string next = link == linkTargets.end() ? s : link->second;
      // Only a link is compared with the path: a plain directory below a
      // link can be one already on it, and the cycle is caught at the next
      // link down.
      bool backUp = link != linkTargets.end() &&
                    std::find(chain.begin(), chain.end(), UpperAscii(next)) != chain.end();
      if (backUp && identitiesRead && recorded.count(UpperAscii(prefix + seen + u"\\" + name)) == 0) {
        Fail("a link back up the walk was entered: " + sim::U8(s));
      }
      chain.push_back(UpperAscii(next));
      Level(next, seen + u"\\" + name, entry.reparseTag == IO_REPARSE_TAG_MOUNT_POINT, d, depth + 1);
      chain.pop_back();
    }
  }
};


}  // namespace

void CheckCloneOutcome(const Snapshot& before, const FailureList& failures, DWORD result,
                       DWORD counter, LinkKind kind, unsigned char usePrefix,
                       const std::map<std::u16string, std::u16string>& planted) {
  Snapshot after = Take(u"C:\\");
  for (const auto& p : Changed(before, after)) {
    if (p.compare(0, 5, u"C:\\D\\") == 0) continue;
    // A hard link gives its source file one more name, and nothing else.
    auto was = before.find(p);
    auto now = after.find(p);
    if (kind == LinkKindHard && was != before.end() && now != after.end()) {
      Entry e = was->second;
      e.linkCount = now->second.linkCount;
      if (e == now->second) continue;
    }
    Fail("changed outside the destination: " + sim::U8(p));
  }

  // A quiet clone records a destination file that already exists but keeps
  // it out of its result. (A source level that cannot be listed may carry
  // 183 too, when a failure left an old 183 behind, and so does the name of
  // a source directory that something other than a directory holds: those
  // count.)
  DWORD lastRecorded = 0;
  for (const auto& r : failures) {
    std::u16string path(r.path.begin(), r.path.end());
    if (r.errorCode == 0) Fail("a failure recorded with code 0: " + sim::U8(path));
    const bool underDestination = UpperAscii(path).compare(0, 5, u"C:\\D\\") == 0;
    const bool sourceDirectory = underDestination && sim::Inspect(u"C:\\s" + path.substr(4)).isDirectory;
    bool existingDestination = r.errorCode == ERROR_ALREADY_EXISTS && underDestination && !sourceDirectory;
    if (!existingDestination) lastRecorded = r.errorCode;
  }
  if (failures.empty() && result != 0) {
    // Only the roots may fail without a record, and then nothing was made.
    if (!Changed(before, after).empty()) Fail("root failure " + std::to_string(result) + " yet something was made");
    return;
  }
  if (result != lastRecorded) {
    Fail("result " + std::to_string(result) + " but last record " + std::to_string(lastRecorded));
  }

  std::u16string prefix = usePrefix ? u"\\\\?\\" : u"";
  Checker check{before, after, {}, prefix, kind, true, planted, {}, {}, {u"C:\\S"}, true};
  for (const auto& r : failures) {
    std::u16string path(r.path.begin(), r.path.end());
    check.recorded.insert(UpperAscii(path));
    if (path.compare(0, 4, u"C:\\d") == 0 || path.compare(0, 4, u"C:\\D") == 0) {
      const Entry* was = check.Before(path);
      const Entry* now = check.After(path);
      if (now != nullptr && (was == nullptr || *was != *now)) {
        Fail("recorded destination was made or changed: " + sim::U8(path));
      }
    }
  }
  // A listing that ends on an error other than "no more files" stops the
  // level quietly, so completeness only holds without one.
  for (const auto& c : sim::Calls()) {
    if (c.name == "FindNextFileW" && c.result == "0" && c.lastError != ERROR_NO_MORE_FILES) {
      check.listingsComplete = false;
    }
    // The clone reads identities with FILE_READ_ATTRIBUTES opens.
    bool identityOpen = c.name == "CreateFileW" && c.args.find(", 0x80, ") != std::string::npos;
    if ((identityOpen && c.result == "INVALID_HANDLE_VALUE") ||
        (c.name == "GetFileInformationByHandle" && c.result != "1")) {
      check.identitiesRead = false;
    }
  }
  for (const auto& c : sim::Calls()) {
    if (c.name == "FindFirstFileW" && c.result == "INVALID_HANDLE_VALUE" && c.lastError == ERROR_FILE_NOT_FOUND) {
      // The argument is the quoted pattern, the level's path and "\*.*".
      std::u16string pattern = sim::W(c.args.size() >= 2 ? c.args.substr(1, c.args.size() - 2) : c.args);
      check.listedEmpty.insert(UpperAscii(pattern.substr(0, pattern.size() >= 4 ? pattern.size() - 4 : 0)));
    }
    if (c.name != "CreateDirectoryW" || c.result != "0" || c.lastError != ERROR_ALREADY_EXISTS) continue;
    // The argument is the quoted path, as the clone passed it.
    std::u16string path = sim::W(c.args.size() >= 2 ? c.args.substr(1, c.args.size() - 2) : c.args);
    if (path.compare(0, prefix.size(), prefix) == 0) path.erase(0, prefix.size());
    check.claimedExisting.insert(UpperAscii(path));
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
    Fail("file counter " + std::to_string(counter) + " but " + std::to_string(madeLinks) + " links made");
  }
}

}  // namespace lbfuzz
