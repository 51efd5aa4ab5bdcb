// Paths the tools route to host files, and writing through to them.
#include "sim/host_files.h"

#include <errno.h>

#include <map>

namespace sim {
namespace {

std::map<std::u16string, std::string>& Routes() {
  static std::map<std::u16string, std::string> routes;
  return routes;
}

}  // namespace

void RouteToHost(const std::u16string& path, const std::string& hostPath) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  Routes()[path] = hostPath;
}

void ResetHostRoutes() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  Routes().clear();
}

bool RoutedHostPath(const WCHAR* path, std::string* hostPath) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  auto it = Routes().find(path);
  if (it == Routes().end()) return false;
  *hostPath = it->second;
  return true;
}

HostFileHandle::~HostFileHandle() {
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
