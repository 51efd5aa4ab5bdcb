// The simulated NTFS volumes: names, nodes, sharing and path resolution.
#include "sim/fs_model.h"

#include <iterator>

#include "platform/ntfs_records.h"
#include "sim/fullpath.h"

namespace sim {
namespace fs {
namespace {

bool StartsWithNoCase(const std::u16string& s, const std::u16string& prefix) {
  if (s.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (UpcaseUnit(s[i]) != UpcaseUnit(prefix[i])) return false;
  }
  return true;
}

bool IsLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

// Splits the text after a root into components. A trailing backslash is
// reported, not kept as an empty name; an empty name inside the path
// ("a\\b") is one NTFS refuses: ERROR_INVALID_NAME.
DWORD SplitComponents(const std::u16string& text, std::vector<std::u16string>* out, bool* trailing) {
  out->clear();
  *trailing = false;
  if (text.empty()) return 0;
  size_t count = 1;
  const char16_t* p = text.data();
  for (size_t k = 0, n = text.size(); k < n; ++k) count += p[k] == u'\\';
  out->reserve(count);
  size_t i = 0;
  while (true) {
    size_t j = text.find(u'\\', i);
    if (j == std::u16string::npos) j = text.size();
    if (j == i) return ERROR_INVALID_NAME;
    out->emplace_back(text, i, j - i);
    const std::u16string& c = out->back();
    // "." is handed to the file system as a name and simply never found
    // (a symbolic link to "\??\C:\dir\.\x" fails with 3); ".." is refused
    // as a name (a link to "\??\C:\d\..\d" fails with 123).
    if (!(c.size() == 1 && c[0] == u'.')) {
      DWORD e = CheckName(c);
      if (e) return e;
    }
    if (j == text.size()) break;
    i = j + 1;
    if (i == text.size()) {
      *trailing = true;
      break;
    }
  }
  return 0;
}

// "server\share\..." after "\\" or "\\?\UNC\": a share the machine reaches.
DWORD ParseUnc(const std::u16string& text, VolumePtr* volume, std::vector<std::u16string>* comps,
               bool* trailing) {
  const size_t serverEnd = text.find(u'\\');
  const std::u16string server = text.substr(0, serverEnd);
  std::u16string name, rest;
  if (serverEnd != std::u16string::npos) {
    const size_t nameEnd = text.find(u'\\', serverEnd + 1);
    name = text.substr(serverEnd + 1, nameEnd == std::u16string::npos ? std::u16string::npos
                                                                       : nameEnd - serverEnd - 1);
    if (nameEnd != std::u16string::npos) rest = text.substr(nameEnd + 1);
  }
  bool serverKnown = false;
  for (const Share& s : State().shares) {
    if (Upcase(s.server) != Upcase(server)) continue;
    serverKnown = true;
    if (name.empty() || Upcase(s.name) != Upcase(name)) continue;
    *volume = s.volume;
    std::vector<std::u16string> tail;
    DWORD e = SplitComponents(rest, &tail, trailing);
    if (e) return e;
    *comps = s.base;
    comps->insert(comps->end(), tail.begin(), tail.end());
    // "\\srv\share" names the shared directory itself.
    if (rest.empty()) *trailing = text.back() == u'\\';
    return 0;
  }
  // A server nobody answers for: ERROR_BAD_NETPATH; a share the server does
  // not offer: ERROR_BAD_NET_NAME.
  return serverKnown ? 67 : 53;
}

// "X:\..." or "Volume{...}\..." after a "\\?\", "\\.\" or "\??\" prefix.
// unknownDevice: the error for a name that is neither.
DWORD ParseDeviceRelative(const std::u16string& rest, DWORD unknownDevice, VolumePtr* volume,
                          std::vector<std::u16string>* comps, bool* trailing) {
  if (StartsWithNoCase(rest, u"UNC\\")) return ParseUnc(rest.substr(4), volume, comps, trailing);
  if (rest.size() >= 2 && IsLetter(rest[0]) && rest[1] == u':') {
    // "X:" alone names the volume device, "X:name" is not a path: neither is
    // a file the calls can open here.
    if (rest.size() == 2 || rest[2] != u'\\') return ERROR_INVALID_NAME;
    *volume = VolumeByLetter(rest[0]);
    // A drive letter with no volume behind it: the "\??\X:" link is
    // missing, STATUS_OBJECT_PATH_NOT_FOUND.
    if (!*volume) return ERROR_PATH_NOT_FOUND;
    return SplitComponents(rest.substr(3), comps, trailing);
  }
  if (StartsWithNoCase(rest, u"Volume{")) {
    size_t slash = rest.find(u'\\');
    if (slash == std::u16string::npos) return ERROR_INVALID_NAME;
    *volume = VolumeByGuidName(rest.substr(0, slash));
    if (!*volume) return ERROR_PATH_NOT_FOUND;
    return SplitComponents(rest.substr(slash + 1), comps, trailing);
  }
  return unknownDevice;
}

}  // namespace

World& State() {
  static World w;
  return w;
}

// ------------------------------------------------------------ names
// The NTFS upcase table for the scripts a path is likely to hold: ASCII,
// Latin-1, Latin Extended-A, Greek and Cyrillic. Other units compare as they
// are, which only matters for names that differ in the case of such a unit.
char16_t UpcaseUnit(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c < 0x80) return c;
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    // Pairs of capital (even) and small (odd), except the ranges where the
    // capital is odd: 0x139-0x148 and 0x179-0x17E.
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) {
      return (c % 2 == 0) ? static_cast<char16_t>(c - 1) : c;
    }
    if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
    return (c % 2 == 1) ? static_cast<char16_t>(c - 1) : c;
  }
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

std::u16string Upcase(const std::u16string& s) {
  std::u16string u(s);
  for (auto& c : u) c = UpcaseUnit(c);
  return u;
}

DWORD CheckName(const std::u16string& name) {
  // NTFS names are at most 255 UTF-16 units; longer ones are
  // STATUS_OBJECT_NAME_INVALID.
  const size_t n = name.size();
  if (n == 0 || n > 255) return ERROR_INVALID_NAME;
  const char16_t* p = name.data();
  if (n == 2 && p[0] == u'.' && p[1] == u'.') return ERROR_INVALID_NAME;
  for (size_t i = 0; i < n; ++i) {
    const char16_t c = p[i];
    // Wildcards, the other characters Win32 reserves, and ':' (named
    // streams are not modelled) are refused in names.
    if (c < 0x20 || c == u'"' || c == u'*' || c == u'/' || c == u':' || c == u'<' ||
        c == u'>' || c == u'?' || c == u'\\' || c == u'|') {
      return ERROR_INVALID_NAME;
    }
  }
  return 0;
}

namespace {
// Raw pointers and lengths: deep trees make this the hottest loop of the
// simulation, and unoptimised builds do not inline the string accessors.
int CompareKey(const std::u16string& key, std::u16string_view name) {
  const char16_t* k = key.data();
  const char16_t* v = name.data();
  const size_t kn = key.size();
  const size_t vn = name.size();
  const size_t n = kn < vn ? kn : vn;
  for (size_t i = 0; i < n; ++i) {
    const char16_t b = UpcaseUnit(v[i]);
    if (k[i] != b) return k[i] < b ? -1 : 1;
  }
  return kn < vn ? -1 : kn > vn ? 1 : 0;
}
}  // namespace

bool NameOrder::operator()(const std::u16string& key, std::u16string_view name) const {
  return CompareKey(key, name) < 0;
}
bool NameOrder::operator()(std::u16string_view name, const std::u16string& key) const {
  return CompareKey(key, name) > 0;
}

// ------------------------------------------------------------ volumes
VolumePtr VolumeByLetter(char16_t letter) {
  char16_t up = UpcaseUnit(letter);
  for (auto& v : State().volumes) {
    if (v->letter == up) return v;
  }
  return nullptr;
}

VolumePtr VolumeByGuidName(const std::u16string& guidName) {
  std::u16string want = Upcase(guidName);
  for (auto& v : State().volumes) {
    if (Upcase(v->guidName) == want) return v;
  }
  return nullptr;
}

// ------------------------------------------------------------ nodes
NodePtr NewDirectory(const VolumePtr& volume) {
  auto n = std::make_shared<Node>();
  n->isDirectory = true;
  n->attributes = FILE_ATTRIBUTE_DIRECTORY;
  n->fileId = State().nextFileId++;
  n->volume = volume;
  return n;
}

NodePtr NewFile(const VolumePtr& volume) {
  auto n = std::make_shared<Node>();
  n->attributes = FILE_ATTRIBUTE_ARCHIVE;
  n->fileId = State().nextFileId++;
  n->volume = volume;
  return n;
}

const Entry* FindChild(const Node& dir, std::u16string_view name) {
  auto it = dir.children.find(name);
  return it == dir.children.end() ? nullptr : &it->second;
}

void AddName(const NodePtr& dir, const std::u16string& name, const NodePtr& node) {
  dir->children[Upcase(name)] = Entry{name, node};
  node->linkCount++;
}

void RemoveName(const NodePtr& dir, const std::u16string& name) {
  auto it = dir->children.find(std::u16string_view(name));
  if (it == dir->children.end()) return;
  NodePtr node = it->second.node;
  dir->children.erase(it);
  if (node->linkCount > 0) node->linkCount--;
}

DWORD ReportedAttributes(const Node& node) {
  // A reparse point reports FILE_ATTRIBUTE_REPARSE_POINT next to its own
  // attributes: 0x410 for a junction, 0x420 for a file symbolic link.
  return node.attributes | (node.reparseTag ? FILE_ATTRIBUTE_REPARSE_POINT : 0u);
}

bool IsVolumeRoot(const Node& node) {
  VolumePtr v = node.volume.lock();
  return v && v->root.get() == &node;
}

// ------------------------------------------------------------ sharing
DWORD MapGenericAccess(DWORD access) {
  DWORD out = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  // The file object's generic mapping: FILE_GENERIC_READ 0x120089,
  // FILE_GENERIC_WRITE 0x120116, FILE_GENERIC_EXECUTE 0x1200A0,
  // FILE_ALL_ACCESS 0x1F01FF.
  if (access & GENERIC_READ) out |= 0x120089u;
  if (access & GENERIC_WRITE) out |= 0x120116u;
  if (access & GENERIC_EXECUTE) out |= 0x1200A0u;
  if (access & GENERIC_ALL) out |= 0x1F01FFu;
  return out;
}

DWORD CheckSharing(const Node& node, DWORD access, DWORD share) {
  return CheckSharing(node.opens, access, share);
}

DWORD CheckSharing(const std::vector<OpenRecord*>& opens, DWORD access, DWORD share) {
  // Only these rights take part in sharing checks; an open with none of them
  // never conflicts, in either direction.
  const DWORD kCounted = FILE_READ_DATA | FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_EXECUTE | DELETE;
  auto conflicts = [](DWORD acc, DWORD otherShare) {
    if ((acc & (FILE_READ_DATA | FILE_EXECUTE)) && !(otherShare & FILE_SHARE_READ)) return true;
    if ((acc & (FILE_WRITE_DATA | FILE_APPEND_DATA)) && !(otherShare & FILE_SHARE_WRITE)) return true;
    if ((acc & DELETE) && !(otherShare & FILE_SHARE_DELETE)) return true;
    return false;
  };
  if (!(access & kCounted)) return 0;
  for (const OpenRecord* r : opens) {
    if (!(r->access & kCounted)) continue;
    if (conflicts(r->access, share) || conflicts(access, r->share)) return ERROR_SHARING_VIOLATION;
  }
  return 0;
}

void AddOpen(Node& node, OpenRecord* record) { node.opens.push_back(record); }

void RemoveOpen(const NodePtr& node, OpenRecord* record) {
  auto& opens = node->opens;
  for (auto it = opens.begin(); it != opens.end(); ++it) {
    if (*it == record) {
      opens.erase(it);
      break;
    }
  }
  // A delete that FILE_SHARE_DELETE let through while handles were open
  // takes the name away when the last handle closes.
  if (opens.empty() && node->deletePending) {
    node->deletePending = false;
    if (NodePtr parent = node->pendingParent.lock()) RemoveName(parent, node->pendingName);
    node->pendingParent.reset();
  }
}

FileHandle::FileHandle(NodePtr n, VolumePtr v, DWORD access, DWORD share, DWORD f)
    : node(std::move(n)), volume(std::move(v)), flags(f) {
  open.access = access;
  open.share = share;
  AddOpen(*node, &open);
}

FileHandle::~FileHandle() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  RemoveOpen(node, &open);
}

// ------------------------------------------------------------ reparse data
bool ReadSubstituteName(const std::vector<uint8_t>& d, std::u16string* name, uint32_t* flags) {
  if (d.size() < ReparseHeaderBytes) return false;
  const uint32_t tag = GetLE32(d.data() + ReparseTagAt);
  const size_t dataLength = GetLE16(d.data() + ReparseDataLengthAt);
  if (ReparseHeaderBytes + dataLength > d.size()) return false;
  size_t header;
  if (tag == IO_REPARSE_TAG_MOUNT_POINT) {
    header = 8;
  } else if (tag == IO_REPARSE_TAG_SYMLINK) {
    header = 12;
  } else {
    return false;
  }
  if (dataLength < header) return false;
  const size_t pathStart = ReparseHeaderBytes + header;
  const size_t pathBytes = dataLength - header;
  const size_t subOff = GetLE16(d.data() + SubstituteNameOffsetAt);
  const size_t subLen = GetLE16(d.data() + SubstituteNameLengthAt);
  if ((subOff | subLen) & 1) return false;
  if (subOff + subLen > pathBytes) return false;
  *flags = tag == IO_REPARSE_TAG_SYMLINK ? GetLE32(d.data() + SymbolicLinkFlagsAt) : 0;
  name->clear();
  for (size_t i = 0; i < subLen; i += 2) {
    name->push_back(static_cast<char16_t>(GetLE16(d.data() + pathStart + subOff + i)));
  }
  return true;
}

DWORD DecodeReparse(const Node& link, const VolumePtr& linkVolume,
                    const std::vector<std::u16string>& linkDir, Target* target) {
  // A tag no file-system filter handles cannot be followed:
  // STATUS_IO_REPARSE_TAG_NOT_HANDLED.
  if (link.reparseTag != IO_REPARSE_TAG_MOUNT_POINT && link.reparseTag != IO_REPARSE_TAG_SYMLINK) {
    return ERROR_CANT_ACCESS_FILE;
  }
  std::u16string name;
  uint32_t flags = 0;
  if (!ReadSubstituteName(link.reparseData, &name, &flags)) return ERROR_INVALID_REPARSE_DATA;
  *target = Target();
  const bool relative = link.reparseTag == IO_REPARSE_TAG_SYMLINK && (flags & SYMLINK_FLAG_RELATIVE);
  if (!relative) {
    // Junctions, mount points and absolute symbolic links hold an NT path,
    // "\??\C:\x" or "\??\Volume{GUID}\"; any other text ("C:\x",
    // "\\?\C:\x", "foobar") fails to open with ERROR_INVALID_NAME.
    if (name.compare(0, 4, u"\\??\\") != 0) return ERROR_INVALID_NAME;
    return ParseDeviceRelative(name.substr(4), ERROR_INVALID_NAME, &target->volume,
                               &target->components, &target->trailingSlash);
  }
  // A relative symbolic link resolves against the link's own directory.
  if (name.empty()) return ERROR_INVALID_REPARSE_DATA;
  if (name.compare(0, 4, u"\\??\\") == 0) return ERROR_INVALID_NAME;
  if (name.find(u'/') != std::u16string::npos) return ERROR_INVALID_NAME;
  target->volume = linkVolume;
  std::vector<std::u16string> parts = linkDir;
  size_t start = 0;
  if (name[0] == u'\\') {
    parts.clear();  // "\dir": rooted at the link's volume
    start = 1;
  }
  size_t i = start;
  while (i <= name.size()) {
    size_t j = name.find(u'\\', i);
    if (j == std::u16string::npos) j = name.size();
    std::u16string part = name.substr(i, j - i);
    if (part.empty()) {
      if (j == name.size() && i > start) {
        target->trailingSlash = true;
        break;
      }
      return ERROR_INVALID_NAME;  // ".\\x": an empty name in the middle
    }
    if (part == u".") {
    } else if (part == u"..") {
      // Climbing above the volume root: STATUS_IO_REPARSE_DATA_INVALID.
      if (parts.empty()) return ERROR_INVALID_REPARSE_DATA;
      parts.pop_back();
    } else {
      DWORD e = CheckName(part);
      if (e) return e;
      parts.push_back(part);
    }
    i = j + 1;
  }
  target->components = parts;
  return 0;
}

// ------------------------------------------------------------ resolution
DWORD Walk(VolumePtr volume, std::vector<std::u16string> components, bool trailingSlash,
           bool followLast, Lookup* lookup) {
  *lookup = Lookup();
  std::vector<std::u16string> todo = std::move(components);
  size_t next = 0;
  // The entries walked so far on the current volume; nothing changes the
  // tree during a walk, so the pointers stay valid.
  std::vector<const Entry*> done;
  const Node* cur = volume->root.get();
  NodePtr viaLink;
  int reparses = 0;
  while (next < todo.size()) {
    const bool last = next + 1 == todo.size();
    const Entry* e = FindChild(*cur, todo[next]);
    if (!e) {
      if (!last) return ERROR_PATH_NOT_FOUND;
      lookup->volume = volume;
      lookup->parent = done.empty() ? volume->root : done.back()->node;
      lookup->name = todo[next];
      lookup->trailingSlash = trailingSlash;
      lookup->viaLink = viaLink;
      return 0;
    }
    const NodePtr& child = e->node;
    if (child->reparseTag && (!last || followLast)) {
      // The object manager reparses at most 63 times for one open; one more
      // is STATUS_REPARSE_POINT_NOT_RESOLVED.
      if (++reparses > 63) return ERROR_CANT_RESOLVE_FILENAME;
      std::vector<std::u16string> linkDir;
      linkDir.reserve(done.size());
      for (const Entry* d : done) linkDir.push_back(d->name);
      Target t;
      DWORD err = DecodeReparse(*child, volume, linkDir, &t);
      if (err) return err;
      if (last) {
        trailingSlash = trailingSlash || t.trailingSlash;
        viaLink = child;
      }
      std::vector<std::u16string> rest = std::move(t.components);
      rest.insert(rest.end(), std::make_move_iterator(todo.begin() + static_cast<std::ptrdiff_t>(next) + 1),
                  std::make_move_iterator(todo.end()));
      todo.swap(rest);
      next = 0;
      volume = t.volume;
      cur = volume->root.get();
      done.clear();
      continue;
    }
    // A file where a directory is needed: STATUS_OBJECT_PATH_NOT_FOUND.
    if (!last && !child->isDirectory) return ERROR_PATH_NOT_FOUND;
    done.push_back(e);
    cur = child.get();
    ++next;
  }
  lookup->volume = volume;
  if (done.empty()) {
    lookup->node = volume->root;
    lookup->trailingSlash = true;  // a volume root is always "X:\"
  } else {
    lookup->node = done.back()->node;
    lookup->parent = done.size() >= 2 ? done[done.size() - 2]->node : volume->root;
    lookup->name = done.back()->name;
    lookup->trailingSlash = trailingSlash;
  }
  lookup->viaLink = viaLink;
  return 0;
}

DWORD ResolveFull(const std::u16string& full, bool followLast, Lookup* lookup) {
  VolumePtr volume;
  std::vector<std::u16string> comps;
  bool trailing = false;
  DWORD err;
  if (full.compare(0, 4, u"\\\\?\\") == 0) {
    // A "\\?\" path reaches the object manager as it is; anything but a
    // drive or a volume GUID name is a device that is not there.
    err = ParseDeviceRelative(full.substr(4), ERROR_PATH_NOT_FOUND, &volume, &comps, &trailing);
  } else if (full.compare(0, 4, u"\\\\.\\") == 0) {
    // "\\.\BOGUS": ERROR_FILE_NOT_FOUND.
    err = ParseDeviceRelative(full.substr(4), ERROR_FILE_NOT_FOUND, &volume, &comps, &trailing);
  } else if (full.compare(0, 2, u"\\\\") == 0) {
    // "\\" alone names no server: ERROR_INVALID_NAME.
    err = full.size() == 2 ? ERROR_INVALID_NAME : ParseUnc(full.substr(2), &volume, &comps, &trailing);
  } else if (full.size() >= 3 && IsLetter(full[0]) && full[1] == u':' && full[2] == u'\\') {
    volume = VolumeByLetter(full[0]);
    err = volume ? SplitComponents(full.substr(3), &comps, &trailing) : ERROR_PATH_NOT_FOUND;
  } else {
    err = ERROR_PATH_NOT_FOUND;
  }
  if (err) return err;
  return Walk(std::move(volume), std::move(comps), trailing, followLast, lookup);
}

bool NormalisedFullPath(const std::u16string& path, std::u16string* full) {
  return ComputeFullPath(path, State().cwd, full);
}

bool FullPath(const std::u16string& path, std::u16string* full) {
  if (path.empty()) return false;
  if (path.compare(0, 4, u"\\\\?\\") == 0) {
    *full = path;  // taken literally: no normalisation after the prefix
    return true;
  }
  return NormalisedFullPath(path, full);
}

DWORD Resolve(const WCHAR* path, bool followLast, Lookup* lookup) {
  std::u16string full;
  // An empty name has no NT form: ERROR_PATH_NOT_FOUND.
  if (!path || !FullPath(path, &full)) return ERROR_PATH_NOT_FOUND;
  return ResolveFull(full, followLast, lookup);
}

}  // namespace fs
}  // namespace sim
