// The simulated file and directory calls of kernel32, over the volume model
// in sim/fs_model.h, and the test set-up and inspection functions.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "platform/ntfs_records.h"
#include "sim/fs_model.h"
#include "sim/fullpath.h"
#include "sim/host_files.h"

namespace fs = sim::fs;

namespace {

// The result text of a call that returns BOOL.
const char* B(BOOL ok) { return ok ? "1" : "0"; }

// A new name must also not be "." (a literal "\\?\" path can spell it).
DWORD CheckNewName(const std::u16string& name) {
  if (name == u".") return ERROR_INVALID_NAME;
  return fs::CheckName(name);
}

// Marks the name for removal when the last open goes away, or removes it.
void DeleteName(const fs::Lookup& lk) {
  if (!lk.node->opens.empty()) {
    lk.node->deletePending = true;
    lk.node->pendingParent = lk.parent;
    lk.node->pendingName = lk.name;
  } else {
    fs::RemoveName(lk.parent, lk.name);
  }
}

// The rights and share mode the delete calls open their target with.
const DWORD kDeleteAccess = DELETE | SYNCHRONIZE;
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::string HandleText(HANDLE h) { return sim::Hex(reinterpret_cast<uintptr_t>(h)); }

}  // namespace

// ------------------------------------------------------------ set-up and inspection
namespace sim {

void ResetFileSystem() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  fs::World& w = fs::State();
  if (w.cwdNode) fs::RemoveOpen(w.cwdNode, &w.cwdOpen);
  w.volumes.clear();
  w.shares.clear();
  w.nextFileId = 0x10000;
  AddVolume(u'C');
  w.cwd = u"C:\\";
  w.cwdNode = fs::VolumeByLetter(u'C')->root;
  w.cwdOpen.access = FILE_TRAVERSE | SYNCHRONIZE;
  w.cwdOpen.share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  fs::AddOpen(*w.cwdNode, &w.cwdOpen);
}

void AddVolume(char16_t letter) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  char16_t up = fs::UpcaseUnit(letter);
  if (up < u'A' || up > u'Z') throw std::logic_error("AddVolume: not a drive letter");
  if (fs::VolumeByLetter(up)) return;
  auto v = std::make_shared<fs::Volume>();
  v->letter = up;
  // Deterministic, distinct per letter, in the lower-case form Windows prints.
  char guid[64];
  snprintf(guid, sizeof guid, "Volume{%08x-5eed-4a11-9c0d-%012x}", 0x1b0c0000u + up,
           0xd15c0000u + up);
  v->guidName = W(guid);
  v->serial = 0x5eed0000u + up;
  v->root = fs::NewDirectory(v);
  v->root->linkCount = 1;
  fs::State().volumes.push_back(v);
}

void AddShare(const std::u16string& server, const std::u16string& name,
              const std::u16string& directory) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  if (directory.size() < 3 || directory[1] != u':' || directory[2] != u'\\')
    throw std::logic_error("AddShare: not an absolute drive path");
  fs::Share share;
  share.server = server;
  share.name = name;
  share.volume = fs::VolumeByLetter(directory[0]);
  if (!share.volume) throw std::logic_error("AddShare: no such volume");
  for (size_t i = 3; i < directory.size();) {
    size_t j = directory.find(u'\\', i);
    if (j == std::u16string::npos) j = directory.size();
    if (j > i) share.base.push_back(directory.substr(i, j - i));
    i = j + 1;
  }
  fs::State().shares.push_back(share);
}

std::vector<char16_t> Volumes() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  std::vector<char16_t> out;
  for (auto& v : fs::State().volumes) out.push_back(v->letter);
  return out;
}

std::u16string VolumeGuidPath(char16_t letter) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  fs::VolumePtr v = fs::VolumeByLetter(letter);
  return v ? v->GuidPath() : std::u16string();
}

namespace {

// Splits an absolute drive path for the set-up helpers; they take no other
// form, and a mistake in a test's set-up should stop the test loudly.
fs::VolumePtr SetupPath(const std::u16string& path, std::vector<std::u16string>* comps) {
  if (path.size() < 3 || path[1] != u':' || path[2] != u'\\') {
    throw std::logic_error("set-up path is not an absolute drive path: " + U8(path));
  }
  fs::VolumePtr v = fs::VolumeByLetter(path[0]);
  if (!v) throw std::logic_error("set-up path on a missing volume: " + U8(path));
  comps->clear();
  size_t i = 3;
  while (i < path.size()) {
    size_t j = path.find(u'\\', i);
    if (j == std::u16string::npos) j = path.size();
    if (j > i) comps->push_back(path.substr(i, j - i));
    i = j + 1;
  }
  return v;
}

fs::NodePtr MakeDirsFrom(const fs::VolumePtr& v, const std::vector<std::u16string>& comps,
                         size_t count, const std::u16string& path) {
  fs::NodePtr cur = v->root;
  for (size_t i = 0; i < count; ++i) {
    if (fs::CheckName(comps[i])) throw std::logic_error("set-up path has a bad name: " + U8(path));
    const fs::Entry* e = fs::FindChild(*cur, comps[i]);
    if (e) {
      // An existing directory at the end of the path is fine, even a
      // reparse point; one on the way would put entries inside a link.
      const bool onTheWay = i + 1 < comps.size();
      if (!e->node->isDirectory || (e->node->reparseTag && onTheWay)) {
        throw std::logic_error("set-up path crosses a file or reparse point: " + U8(path));
      }
      cur = e->node;
      continue;
    }
    fs::NodePtr d = fs::NewDirectory(v);
    fs::AddName(cur, comps[i], d);
    cur = d;
  }
  return cur;
}

}  // namespace

void MakeDirs(const std::u16string& path) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  std::vector<std::u16string> comps;
  fs::VolumePtr v = SetupPath(path, &comps);
  MakeDirsFrom(v, comps, comps.size(), path);
}

void MakeFile(const std::u16string& path) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  std::vector<std::u16string> comps;
  fs::VolumePtr v = SetupPath(path, &comps);
  if (comps.empty()) throw std::logic_error("MakeFile on a volume root");
  fs::NodePtr dir = MakeDirsFrom(v, comps, comps.size() - 1, path);
  if (fs::CheckName(comps.back())) throw std::logic_error("set-up path has a bad name: " + U8(path));
  if (const fs::Entry* e = fs::FindChild(*dir, comps.back())) {
    if (e->node->isDirectory) throw std::logic_error("MakeFile on a directory: " + U8(path));
    return;
  }
  fs::AddName(dir, comps.back(), fs::NewFile(v));
}

namespace {
// The entry at an absolute drive path, intermediate reparse points followed.
bool InspectLookup(const std::u16string& path, bool followLast, fs::Lookup* lk) {
  return fs::ResolveFull(path, followLast, lk) == 0 && lk->node;
}
}  // namespace

void PlantReparse(const std::u16string& path, const std::vector<uint8_t>& data) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  fs::Lookup lk;
  if (!InspectLookup(path, false, &lk)) throw std::logic_error("PlantReparse on a missing entry: " + U8(path));
  if (data.size() < 4) {
    lk.node->reparseTag = 0;
    lk.node->reparseData.clear();
    return;
  }
  lk.node->reparseTag = GetLE32(data.data() + ReparseTagAt);
  lk.node->reparseData = data;
}

NodeInfo Inspect(const std::u16string& path) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  NodeInfo info;
  fs::Lookup lk;
  if (!InspectLookup(path, false, &lk)) return info;
  info.exists = true;
  info.isDirectory = lk.node->isDirectory;
  info.attributes = fs::ReportedAttributes(*lk.node);
  info.reparseTag = lk.node->reparseTag;
  info.reparseData = lk.node->reparseData;
  info.linkCount = lk.node->linkCount;
  info.fileId = lk.node->fileId;
  info.content = lk.node->content;
  return info;
}

std::vector<std::u16string> List(const std::u16string& path) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  std::vector<std::u16string> out;
  fs::Lookup lk;
  if (!InspectLookup(path, true, &lk) || !lk.node->isDirectory) return out;
  for (auto& kv : lk.node->children) out.push_back(kv.second.name);
  return out;
}

}  // namespace sim

// ------------------------------------------------------------ CreateFileW
HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD flags, HANDLE templ) {
  (void)sa;
  (void)templ;
  sim::CallScope call("CreateFileW", sim::Q(path) + ", " + sim::Hex(access) + ", " + sim::Hex(share) +
                                         ", " + std::to_string(disposition) + ", " + sim::Hex(flags));
  DWORD e;
  if (call.Faulted(&e)) return call.FailHandle(e);
  // L"": ERROR_PATH_NOT_FOUND.
  if (!path || !*path) return call.FailHandle(ERROR_PATH_NOT_FOUND);
  if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING) {
    return call.FailHandle(ERROR_INVALID_PARAMETER);
  }
  std::string hostPath;
  if (sim::RoutedHostPath(path, &hostPath)) {
    // Only what linkbatch-sim needs: a routed path is created or replaced.
    if (disposition != CREATE_ALWAYS) throw std::logic_error("a host-routed path is only created");
    const DWORD granted = fs::MapGenericAccess(access);
    struct stat st;
    const bool existing = stat(hostPath.c_str(), &st) == 0;
    // An open that the share modes of the file's other opens refuse fails
    // before it truncates anything: ERROR_SHARING_VIOLATION.
    if (existing && (e = sim::CheckHostSharing(sim::IdOf(st), granted, share)) != 0) {
      return call.FailHandle(e);
    }
    FILE* stream = fopen(hostPath.c_str(), "wb");
    if (!stream) return call.FailHandle(sim::HostOpenError(errno, hostPath));
    fstat(fileno(stream), &st);
    HANDLE h = sim::NewHandle(std::make_shared<sim::HostFileHandle>(stream, sim::IdOf(st), granted, share));
    // CREATE_ALWAYS over an existing file says so with ERROR_ALREADY_EXISTS.
    sim::SetError(existing ? ERROR_ALREADY_EXISTS : 0);
    call.result = HandleText(h);
    return h;
  }
  fs::Lookup lk;
  const bool openReparse = (flags & FILE_FLAG_OPEN_REPARSE_POINT) != 0;
  const bool backup = (flags & FILE_FLAG_BACKUP_SEMANTICS) != 0;
  // FILE_FLAG_OPEN_REPARSE_POINT opens the reparse point itself; without it
  // the last component is followed like every other.
  if ((e = fs::Resolve(path, !openReparse, &lk)) != 0) return call.FailHandle(e);
  const DWORD granted = fs::MapGenericAccess(access);

  DWORD finalError = 0;
  if (lk.node) {
    fs::Node& n = *lk.node;
    // An open during a pending delete: STATUS_DELETE_PENDING.
    if (n.deletePending) return call.FailHandle(ERROR_ACCESS_DENIED);
    // "file\": a file name cannot end in a backslash.
    if (!n.isDirectory && lk.trailingSlash) return call.FailHandle(ERROR_INVALID_NAME);
    if (lk.viaLink) {
      // Since Windows 10 1709 a link must match its target's kind: a
      // junction or directory link to a file gives ERROR_DIRECTORY, a file
      // link to a directory STATUS_FILE_IS_A_DIRECTORY.
      if (lk.viaLink->isDirectory && !n.isDirectory) return call.FailHandle(ERROR_DIRECTORY);
      if (!lk.viaLink->isDirectory && n.isDirectory) return call.FailHandle(ERROR_ACCESS_DENIED);
    }
    // CREATE_NEW on an existing name: ERROR_FILE_EXISTS.
    if (disposition == CREATE_NEW) return call.FailHandle(ERROR_FILE_EXISTS);
    if (n.isDirectory) {
      // A directory opens only with FILE_FLAG_BACKUP_SEMANTICS: otherwise
      // ERROR_ACCESS_DENIED, or ERROR_PATH_NOT_FOUND when the name ends in
      // a backslash ("C:\", "dir\").
      if (!backup) return call.FailHandle(lk.trailingSlash ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
      // A directory cannot be overwritten.
      if (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING) {
        return call.FailHandle(ERROR_ACCESS_DENIED);
      }
    } else if ((n.attributes & FILE_ATTRIBUTE_READONLY) &&
               ((granted & (FILE_WRITE_DATA | FILE_APPEND_DATA)) || disposition == CREATE_ALWAYS ||
                disposition == TRUNCATE_EXISTING)) {
      // A read-only file opened for writing or overwriting: access denied.
      return call.FailHandle(ERROR_ACCESS_DENIED);
    }
    if ((e = fs::CheckSharing(n, granted, share)) != 0) return call.FailHandle(e);
    if (!n.isDirectory && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING)) {
      n.content.clear();
    }
    // CREATE_ALWAYS and OPEN_ALWAYS on an existing file succeed and say so
    // with ERROR_ALREADY_EXISTS; other successful opens set 0.
    if (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) finalError = ERROR_ALREADY_EXISTS;
  } else {
    if (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING) {
      return call.FailHandle(ERROR_FILE_NOT_FOUND);
    }
    // A new file's name cannot end with a backslash: STATUS_OBJECT_NAME_INVALID.
    if (lk.trailingSlash) return call.FailHandle(ERROR_INVALID_NAME);
    if ((e = CheckNewName(lk.name)) != 0) return call.FailHandle(e);
    if (lk.parent->deletePending) return call.FailHandle(ERROR_ACCESS_DENIED);
    // A dangling link opened with a creating disposition creates its target.
    fs::NodePtr file = fs::NewFile(lk.volume);
    // NTFS marks every new file for archiving, next to the attributes asked
    // for.
    file->attributes = FILE_ATTRIBUTE_ARCHIVE |
                       (flags & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    fs::AddName(lk.parent, lk.name, file);
    lk.node = file;
  }
  auto object = std::make_shared<fs::FileHandle>(lk.node, lk.volume, granted, share, flags);
  HANDLE h = sim::NewHandle(object);
  sim::SetError(finalError);
  call.result = HandleText(h);
  return h;
}

// ------------------------------------------------------------ GetFileInformationByHandle
// The volume serial number and the file index together name a file on the
// machine: every name of a file (its hard links) gives the same pair, and a
// handle opened through a junction or a mount point gives the target's.
// File times are not modelled and read as zero.
BOOL WINAPI GetFileInformationByHandle(HANDLE h, LPBY_HANDLE_FILE_INFORMATION info) {
  sim::CallScope call("GetFileInformationByHandle", sim::Hex(reinterpret_cast<uintptr_t>(h)));
  DWORD e;
  if (call.Faulted(&e)) return call.Fail(e);
  // Any handle that is not an open file or directory: STATUS_OBJECT_TYPE_MISMATCH
  // or STATUS_INVALID_HANDLE, both ERROR_INVALID_HANDLE.
  auto file = sim::LookupHandleAs<fs::FileHandle>(h);
  if (!file) return call.Fail(ERROR_INVALID_HANDLE);
  // The output pointer is probed: ERROR_NOACCESS instead of a fault.
  if (!info) return call.Fail(998);
  const fs::Node& n = *file->node;
  fs::VolumePtr volume = n.volume.lock();
  std::memset(info, 0, sizeof *info);
  info->dwFileAttributes = fs::ReportedAttributes(n);
  info->dwVolumeSerialNumber = volume ? volume->serial : 0;
  const uint64_t size = n.isDirectory ? 0 : n.content.size();
  info->nFileSizeHigh = static_cast<DWORD>(size >> 32);
  info->nFileSizeLow = static_cast<DWORD>(size);
  info->nNumberOfLinks = n.linkCount;
  info->nFileIndexHigh = static_cast<DWORD>(n.fileId >> 32);
  info->nFileIndexLow = static_cast<DWORD>(n.fileId);
  call.result = B(TRUE);
  return TRUE;
}

// ------------------------------------------------------------ directories
BOOL WINAPI CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES sa) {
  (void)sa;
  sim::CallScope call("CreateDirectoryW", sim::Q(path));
  DWORD e;
  if (call.Faulted(&e)) return call.Fail(e);
  fs::Lookup lk;
  // NULL and L"": ERROR_PATH_NOT_FOUND; a missing parent likewise.
  if ((e = fs::Resolve(path, false, &lk)) != 0) return call.Fail(e);
  // Any existing name, a junction or a file included, and the drive root
  // (for an elevated caller): STATUS_OBJECT_NAME_COLLISION.
  if (lk.node) return call.Fail(ERROR_ALREADY_EXISTS);
  if ((e = CheckNewName(lk.name)) != 0) return call.Fail(e);
  if (lk.parent->deletePending) return call.Fail(ERROR_ACCESS_DENIED);
  fs::AddName(lk.parent, lk.name, fs::NewDirectory(lk.volume));
  call.result = B(TRUE);
  return TRUE;
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR path) {
  sim::CallScope call("RemoveDirectoryW", sim::Q(path));
  DWORD e;
  if (call.Faulted(&e)) return call.Fail(e);
  fs::Lookup lk;
  // The last component is not followed: a junction, directory link or
  // mounted folder is removed itself and its target stays.
  if ((e = fs::Resolve(path, false, &lk)) != 0) return call.Fail(e);
  if (!lk.node) return call.Fail(ERROR_FILE_NOT_FOUND);
  // A file or a file symbolic link: STATUS_NOT_A_DIRECTORY.
  if (!lk.node->isDirectory) return call.Fail(ERROR_DIRECTORY);
  // A volume root cannot be removed.
  if (!lk.parent) return call.Fail(ERROR_ACCESS_DENIED);
  if (lk.node->deletePending) return call.Fail(ERROR_ACCESS_DENIED);
  // The open for delete conflicts with the current directory's handle and
  // with any handle that does not share delete: ERROR_SHARING_VIOLATION.
  if ((e = fs::CheckSharing(*lk.node, kDeleteAccess, kShareAll)) != 0) return call.Fail(e);
  // Setting the delete disposition on a non-empty directory:
  // STATUS_DIRECTORY_NOT_EMPTY.
  if (!lk.node->reparseTag && !lk.node->children.empty()) return call.Fail(ERROR_DIR_NOT_EMPTY);
  DeleteName(lk);
  call.result = B(TRUE);
  return TRUE;
}

BOOL WINAPI DeleteFileW(LPCWSTR path) {
  sim::CallScope call("DeleteFileW", sim::Q(path));
  DWORD e;
  if (call.Faulted(&e)) return call.Fail(e);
  fs::Lookup lk;
  // The last component is not followed: a file link is removed, its target
  // stays.
  if ((e = fs::Resolve(path, false, &lk)) != 0) return call.Fail(e);
  if (!lk.node) return call.Fail(ERROR_FILE_NOT_FOUND);
  // Directories, junctions and directory links: STATUS_FILE_IS_A_DIRECTORY.
  if (lk.node->isDirectory) return call.Fail(ERROR_ACCESS_DENIED);
  if (lk.trailingSlash) return call.Fail(ERROR_INVALID_NAME);
  // A read-only file cannot be deleted: STATUS_CANNOT_DELETE.
  if (lk.node->attributes & FILE_ATTRIBUTE_READONLY) return call.Fail(ERROR_ACCESS_DENIED);
  if (lk.node->deletePending) return call.Fail(ERROR_ACCESS_DENIED);
  if ((e = fs::CheckSharing(*lk.node, kDeleteAccess, kShareAll)) != 0) return call.Fail(e);
  DeleteName(lk);
  call.result = B(TRUE);
  return TRUE;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR path) {
  sim::CallScope call("GetFileAttributesW", sim::Q(path));
  DWORD e;
  auto fail = [&call](DWORD error) { return call.FailAs(error, INVALID_FILE_ATTRIBUTES, "INVALID_FILE_ATTRIBUTES"); };
  if (call.Faulted(&e)) return fail(e);
  fs::Lookup lk;
  // The final reparse point is not followed: a junction reports 0x410.
  if ((e = fs::Resolve(path, false, &lk)) != 0) return fail(e);
  if (!lk.node) return fail(ERROR_FILE_NOT_FOUND);
  if (!lk.node->isDirectory && lk.trailingSlash) return fail(ERROR_INVALID_NAME);
  DWORD attrs = fs::ReportedAttributes(*lk.node);
  call.result = sim::Hex(attrs);
  return attrs;
}

// ------------------------------------------------------------ paths and the current directory
DWORD WINAPI GetFullPathNameW(LPCWSTR path, DWORD bufferChars, LPWSTR buffer, LPWSTR* filePart) {
  sim::CallScope call("GetFullPathNameW", sim::Q(path) + ", " + std::to_string(bufferChars));
  DWORD e;
  if (call.Faulted(&e)) return call.FailAs(e, 0, "0");
  std::u16string full;
  // A DOS device name becomes its device path, with no file part:
  // "C:\nonexistent\nul" -> "\\.\nul", "AUX" -> "\\.\AUX", "C:NUL." ->
  // "\\.\NUL" (Wine's kernel32 and ntdll path tests, GetFullPathNameW and
  // RtlGetFullPathName_U tables).
  std::u16string device;
  const bool isDevice = path && sim::DosDeviceName(path, &device);
  if (isDevice) {
    full = u"\\\\.\\" + device;
  } else if (!path || !fs::NormalisedFullPath(path, &full)) {
    // NULL or L"": 0, buffer untouched, last error unchanged.
    call.result = "0";
    return 0;
  }
  const DWORD length = static_cast<DWORD>(full.size());
  // Too small: the size needed, terminator included; the buffer is untouched.
  if (!buffer || bufferChars <= length) {
    call.result = std::to_string(length + 1);
    return length + 1;
  }
  full.copy(buffer, full.size());
  buffer[length] = 0;
  if (filePart) {
    const size_t slash = full.find_last_of(u'\\');
    // A path ending in a backslash, or a device, has no file part.
    *filePart = isDevice                         ? nullptr
                : (slash == std::u16string::npos) ? buffer
                : (slash + 1 == full.size())      ? nullptr
                                                  : buffer + slash + 1;
  }
  call.result = std::to_string(length);
  return length;
}

BOOL WINAPI SetCurrentDirectoryW(LPCWSTR path) {
  sim::CallScope call("SetCurrentDirectoryW", sim::Q(path));
  DWORD e;
  if (call.Faulted(&e)) return call.Fail(e);
  std::u16string full;
  if (!path || !fs::FullPath(path, &full)) return call.Fail(ERROR_PATH_NOT_FOUND);
  fs::Lookup lk;
  if ((e = fs::ResolveFull(full, true, &lk)) != 0) return call.Fail(e);
  if (!lk.node) return call.Fail(ERROR_FILE_NOT_FOUND);
  // The current directory is opened as a directory: STATUS_NOT_A_DIRECTORY.
  if (!lk.node->isDirectory) return call.Fail(ERROR_DIRECTORY);
  fs::World& w = fs::State();
  if ((e = fs::CheckSharing(*lk.node, w.cwdOpen.access, w.cwdOpen.share)) != 0) return call.Fail(e);
  // Windows keeps the path as given (made absolute, links not resolved) and
  // reports it without a trailing backslash except at a root.
  while (full.size() > 3 && full.back() == u'\\') full.pop_back();
  if (w.cwdNode) fs::RemoveOpen(w.cwdNode, &w.cwdOpen);
  w.cwd = full;
  w.cwdNode = lk.node;
  fs::AddOpen(*w.cwdNode, &w.cwdOpen);
  call.result = B(TRUE);
  return TRUE;
}
