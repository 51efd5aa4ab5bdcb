// The simulated directory listing calls: FindFirstFileW, FindNextFileW,
// FindClose.
#include "sim/fs_model.h"
#include "sim/fullpath.h"

namespace fs = sim::fs;

namespace {

// A search handle (not a kernel handle: only FindClose takes it). It holds a
// snapshot of the matching entries taken by FindFirstFileW. NTFS hands
// entries out in batches, so changes made during a listing may or may not
// show; the product never changes a directory while it lists it, and a
// snapshot keeps the model simple and deterministic.
struct FindHandle : sim::HandleObject {
  const char* Kind() const override { return "find"; }
  std::vector<WIN32_FIND_DATAW> entries;
  size_t next = 0;
};

bool HasWildcard(const std::u16string& mask) {
  return mask.find_first_of(u"*?<>\"") != std::u16string::npos;
}

// Case-insensitive match of a name against a mask with '*' (any run) and
// '?' (one unit). "*.*" matches every name, with or without a dot. The DOS
// wildcards '<', '>' and '"' are taken as '*', '?' and '.'.
bool Matches(const std::u16string& name, std::u16string mask) {
  if (mask == u"*.*") mask = u"*";
  for (auto& c : mask) {
    if (c == u'<') c = u'*';
    if (c == u'>') c = u'?';
    if (c == u'"') c = u'.';
  }
  const std::u16string n = fs::Upcase(name);
  const std::u16string m = fs::Upcase(mask);
  size_t ni = 0, mi = 0, starM = std::u16string::npos, starN = 0;
  while (ni < n.size()) {
    if (mi < m.size() && (m[mi] == u'?' || m[mi] == n[ni])) {
      ++ni;
      ++mi;
    } else if (mi < m.size() && m[mi] == u'*') {
      starM = mi++;
      starN = ni;
    } else if (starM != std::u16string::npos) {
      mi = starM + 1;
      ni = ++starN;
    } else {
      return false;
    }
  }
  while (mi < m.size() && m[mi] == u'*') ++mi;
  return mi == m.size();
}

WIN32_FIND_DATAW MakeData(const std::u16string& name, const fs::Node& node) {
  WIN32_FIND_DATAW d;
  memset(&d, 0, sizeof d);
  d.dwFileAttributes = fs::ReportedAttributes(node);
  // A reparse point's tag is reported in dwReserved0.
  d.dwReserved0 = node.reparseTag;
  // A file link reports its own size (0), not its target's.
  uint64_t size = node.isDirectory ? 0 : node.content.size();
  d.nFileSizeHigh = static_cast<DWORD>(size >> 32);
  d.nFileSizeLow = static_cast<DWORD>(size & 0xFFFFFFFFu);
  size_t n = name.size() < MAX_PATH - 1 ? name.size() : MAX_PATH - 1;
  name.copy(d.cFileName, n);
  d.cFileName[n] = 0;
  return d;
}

// The entries of dir that match mask, in the order FindFirstFileW and
// FindNextFileW hand them out.
void ListInto(const fs::Node& dir, const std::u16string& mask, std::vector<WIN32_FIND_DATAW>* out) {
  if (HasWildcard(mask)) {
    // A volume root lists no "." and ".." entries (Wine's kernel32 file
    // tests, test_FindFirstFileA: "FindFirstFile shouldn't return '.' in
    // drive root"); any other directory lists them first, then its entries
    // in NTFS index order.
    if (!fs::IsVolumeRoot(dir)) {
      if (Matches(u".", mask)) out->push_back(MakeData(u".", dir));
      if (Matches(u"..", mask)) {
        WIN32_FIND_DATAW d = MakeData(u"..", dir);
        d.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
        d.dwReserved0 = 0;
        out->push_back(d);
      }
    }
    for (const auto& kv : dir.children) {
      if (Matches(kv.second.name, mask)) out->push_back(MakeData(kv.second.name, *kv.second.node));
    }
  } else if (const fs::Entry* entry = fs::FindChild(dir, mask)) {
    // An exact name returns that entry, in its stored spelling, itself (a
    // reparse point is not followed).
    out->push_back(MakeData(entry->name, *entry->node));
  }
}

}  // namespace

HANDLE WINAPI FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  sim::CallScope call("FindFirstFileW", sim::Q(pattern));
  DWORD e;
  if (call.Faulted(&e)) return call.FailHandle(e);
  std::u16string full;
  // NULL or L"" has no NT form: ERROR_PATH_NOT_FOUND.
  if (!pattern || !fs::FullPath(pattern, &full)) return call.FailHandle(ERROR_PATH_NOT_FOUND);
  const size_t slash = full.find_last_of(u'\\');
  if (slash == std::u16string::npos) return call.FailHandle(ERROR_PATH_NOT_FOUND);
  const std::u16string dirPath = full.substr(0, slash + 1);
  const std::u16string mask = full.substr(slash + 1);

  fs::Lookup lk;
  // The directory to list is opened following every reparse point, so
  // "<junction>\*" lists the junction's target.
  if ((e = fs::ResolveFull(dirPath, true, &lk)) != 0) return call.FailHandle(e);
  // "<missing>\..." and "<missing>\": ERROR_PATH_NOT_FOUND.
  if (!lk.node) return call.FailHandle(ERROR_PATH_NOT_FOUND);
  // "<file>\*": the file is opened as a directory, STATUS_NOT_A_DIRECTORY.
  if (!lk.node->isDirectory) return call.FailHandle(ERROR_DIRECTORY);
  auto object = std::make_shared<FindHandle>();
  std::u16string device;
  if (sim::DosDeviceName(pattern, &device)) {
    // A DOS device name ("C:\x\nul", "con.txt") is answered without opening
    // the device, once the directory before it opens: one entry named as
    // the device, FILE_ATTRIBUTE_ARCHIVE, size 0 (Wine's kernel32 file
    // tests, test_FindFirstFileA on "c:\nul"; the directory is checked as in
    // Wine's FindFirstFileExW).
    WIN32_FIND_DATAW d;
    memset(&d, 0, sizeof d);
    d.dwFileAttributes = FILE_ATTRIBUTE_ARCHIVE;
    device.copy(d.cFileName, device.size());
    object->entries.push_back(d);
  } else {
    // "C:\" or "<dir>\": an empty mask matches nothing, ERROR_FILE_NOT_FOUND.
    if (mask.empty()) return call.FailHandle(ERROR_FILE_NOT_FOUND);
    for (char16_t c : mask) {
      if (c < 0x20 || c == u'|' || c == u'/' || c == u':') return call.FailHandle(ERROR_INVALID_NAME);
    }
    if (mask.size() > 255) return call.FailHandle(ERROR_INVALID_NAME);
    ListInto(*lk.node, mask, &object->entries);
  }
  // Nothing matched in a directory that was opened: ERROR_FILE_NOT_FOUND, as
  // for "c:\nul*" (test_FindFirstFileA), so an empty volume root listed
  // with "*.*" fails this way, while "<missing>\*.*" gave ERROR_PATH_NOT_FOUND
  // above (the same test on "C:\foo\*.*").
  if (object->entries.empty()) return call.FailHandle(ERROR_FILE_NOT_FOUND);
  if (data) *data = object->entries[0];
  object->next = 1;
  HANDLE h = sim::NewHandle(object);
  // A successful FindFirstFileW leaves the last error as it was.
  call.result = sim::Hex(reinterpret_cast<uintptr_t>(h));
  return h;
}

BOOL WINAPI FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
  sim::CallScope call("FindNextFileW", sim::Hex(reinterpret_cast<uintptr_t>(find)));
  DWORD e;
  if (call.Faulted(&e)) return call.Fail(e);
  auto object = sim::LookupHandleAs<FindHandle>(find);
  if (!object) return call.Fail(ERROR_INVALID_HANDLE);
  // Past the last entry: ERROR_NO_MORE_FILES.
  if (object->next >= object->entries.size()) return call.Fail(ERROR_NO_MORE_FILES);
  if (data) *data = object->entries[object->next];
  object->next++;
  call.result = "1";
  return TRUE;
}

BOOL WINAPI FindClose(HANDLE find) {
  sim::CallScope call("FindClose", sim::Hex(reinterpret_cast<uintptr_t>(find)),
                      sim::CallFaultable | sim::CallReleases);
  DWORD e;
  if (call.Faulted(&e)) return call.Fail(e);
  // Only a search handle closes here; the last error stays as it was (18
  // after a listing ran to its end).
  if (!sim::LookupHandleAs<FindHandle>(find)) return call.Fail(ERROR_INVALID_HANDLE);
  sim::RemoveHandle(find);
  call.result = "1";
  return TRUE;
}
