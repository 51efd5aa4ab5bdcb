// Paths the tools route to host files, the share modes of host files held
// open, and writing through to them.
#include "sim/host_files.h"

#include <errno.h>

#include <map>
#include <utility>
#include <vector>

namespace sim {
namespace {

std::map<std::u16string, std::string>& Routes() {
  static std::map<std::u16string, std::string> routes;
  return routes;
}

// The opens of each host file held open, by identity.
std::map<std::pair<uint64_t, uint64_t>, std::vector<fs::OpenRecord*>>& HostOpens() {
  static std::map<std::pair<uint64_t, uint64_t>, std::vector<fs::OpenRecord*>> opens;
  return opens;
}

std::pair<uint64_t, uint64_t> Key(const HostFileId& id) { return {id.device, id.inode}; }

// The name a path resolves to, in one spelling: its full path, the part after
// a "\\?\" or "\\.\" prefix (which Windows hands on without normalising:
// "Naming Files, Paths, and Namespaces" on Microsoft Learn), upper-cased as
// NTFS compares names (fs::Upcase).
std::u16string ResolvedName(const std::u16string& path) {
  std::u16string full;
  if (!fs::FullPath(path, &full)) return path;
  if (full.compare(0, 8, u"\\\\?\\UNC\\") == 0) {
    full = u"\\\\" + full.substr(8);
  } else if (full.compare(0, 4, u"\\\\?\\") == 0 || full.compare(0, 4, u"\\\\.\\") == 0) {
    full = full.substr(4);
  }
  return fs::Upcase(full);
}

}  // namespace

void RouteToHost(const std::u16string& path, const std::string& hostPath) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  Routes()[path] = hostPath;
}

void ResetHostRoutes() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  Routes().clear();
  // The process's opens end with it, as the system closes the handles of a
  // process that ends.
  HostOpens().clear();
}

bool RoutedHostPath(const WCHAR* path, std::string* hostPath) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  const std::u16string name = ResolvedName(path);
  for (const auto& route : Routes()) {
    if (ResolvedName(route.first) == name) {
      *hostPath = route.second;
      return true;
    }
  }
  return false;
}

HostFileId IdOf(const struct stat& st) {
  return HostFileId{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

DWORD CheckHostSharing(const HostFileId& id, DWORD access, DWORD share) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  auto it = HostOpens().find(Key(id));
  return it == HostOpens().end() ? 0 : fs::CheckSharing(it->second, access, share);
}

void AddHostOpen(const HostFileId& id, fs::OpenRecord* record) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  HostOpens()[Key(id)].push_back(record);
}

void RemoveHostOpen(const HostFileId& id, fs::OpenRecord* record) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  auto it = HostOpens().find(Key(id));
  if (it == HostOpens().end()) return;
  std::vector<fs::OpenRecord*>& records = it->second;
  for (auto r = records.begin(); r != records.end(); ++r) {
    if (*r == record) {
      records.erase(r);
      break;
    }
  }
  if (records.empty()) HostOpens().erase(it);
}

HostFileHandle::HostFileHandle(FILE* f, const HostFileId& fileId, DWORD access, DWORD share)
    : stream(f), id(fileId) {
  open.access = access;
  open.share = share;
  AddHostOpen(id, &open);
}

HostFileHandle::~HostFileHandle() {
  RemoveHostOpen(id, &open);
  if (stream) fclose(stream);
}

DWORD WriteHostFile(HostFileHandle& file, const void* data, DWORD bytes) {
  errno = 0;
  if (fwrite(data, 1, bytes, file.stream) == bytes && fflush(file.stream) == 0) return 0;
  // A full disk is ERROR_DISK_FULL on Windows; any other host failure has no
  // closer counterpart than a write fault.
  return errno == ENOSPC || errno == EFBIG ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
}

}  // namespace sim
