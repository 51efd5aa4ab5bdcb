// What the product reaches besides the volumes: the process's standard
// output, and the host's files (the C runtime's streams and the paths routed
// to the host with sim::RouteToHost). Only sim/*.cpp include this header.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "sim/fs_model.h"
#include "sim/sim.h"

namespace sim {

// The CreateFileW error for a host open that failed with errno err.
DWORD HostOpenError(int err, const std::string& path);

// A host file's identity: its device and inode numbers, which every name of
// the file shares (its hard links, every spelling that reaches it), as the
// file ID does on NTFS. Share modes hold per file, not per name: Wine's
// server/fd.c, check_sharing, weighs "other opens of the same file" through
// the inode they share.
struct HostFileId {
  uint64_t device;
  uint64_t inode;
};
HostFileId IdOf(const struct stat& st);

// 0, or ERROR_SHARING_VIOLATION when an open of the host file with this
// access and share mode conflicts with one already registered (the rule of
// fs::CheckSharing).
DWORD CheckHostSharing(const HostFileId& id, DWORD access, DWORD share);
// An open of a host file is registered while it lives, as fs::AddOpen
// registers one of a node.
void AddHostOpen(const HostFileId& id, fs::OpenRecord* record);
void RemoveHostOpen(const HostFileId& id, fs::OpenRecord* record);

// The object behind a handle to a routed host file (Kind() "file", as the
// handle is a file handle to the product). It holds its open registered.
struct HostFileHandle : HandleObject {
  HostFileHandle(FILE* f, const HostFileId& id, DWORD access, DWORD share);
  ~HostFileHandle() override;
  const char* Kind() const override { return "file"; }
  FILE* stream;
  HostFileId id;
  fs::OpenRecord open;
};

// The host path routed from this path, if any. A route is found under any
// spelling Windows resolves to the same name: another case, a relative form,
// the "\\?\" and "\\.\" forms of the same full path.
bool RoutedHostPath(const WCHAR* path, std::string* hostPath);

// The process's standard output handle (sim/console.cpp), which WriteFile
// also writes to.
bool IsStdOutput(HANDLE h);

// Writes through to the host file: 0, or the error WriteFile reports.
DWORD WriteHostFile(HostFileHandle& file, const void* data, DWORD bytes);

}  // namespace sim
