// What WriteFile reaches besides the volumes: the process's standard output,
// and the host's files (the C runtime's streams and the paths routed to the
// host with sim::RouteToHost). Only sim/*.cpp include this header.
#pragma once

#include <cstdio>
#include <string>

#include "sim/sim.h"

namespace sim {

// The CreateFileW error for a host open that failed with errno err.
DWORD HostOpenError(int err, const std::string& path);

// The object behind a handle to a routed host file (Kind() "file", as the
// handle is a file handle to the product).
struct HostFileHandle : HandleObject {
  explicit HostFileHandle(FILE* f) : stream(f) {}
  ~HostFileHandle() override;
  const char* Kind() const override { return "file"; }
  FILE* stream;
};

// The host path routed from exactly this path, if any.
bool RoutedHostPath(const WCHAR* path, std::string* hostPath);

// The process's standard output handle (sim/console.cpp), which WriteFile
// also writes to.
bool IsStdOutput(HANDLE h);

// Writes through to the host file: 0, or the error WriteFile reports.
DWORD WriteHostFile(HostFileHandle& file, const void* data, DWORD bytes);

}  // namespace sim
