// Placeholder until the volume model lands.
#include "sim/sim.h"
namespace sim {
void ResetFileSystem() {}
void AddVolume(char16_t) {}
std::vector<char16_t> Volumes() { return {}; }
std::u16string VolumeGuidPath(char16_t) { return {}; }
void MakeDirs(const std::u16string&) {}
void MakeFile(const std::u16string&) {}
void PlantReparse(const std::u16string&, const std::vector<uint8_t>&) {}
NodeInfo Inspect(const std::u16string&) { return {}; }
std::vector<std::u16string> List(const std::u16string&) { return {}; }
}  // namespace sim

HANDLE WINAPI CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                          DWORD disposition, DWORD flags, HANDLE templ) {
  (void)path;
  (void)access;
  (void)share;
  (void)sa;
  (void)disposition;
  (void)flags;
  (void)templ;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return INVALID_HANDLE_VALUE;
}

BOOL WINAPI CreateDirectoryW(LPCWSTR path, LPSECURITY_ATTRIBUTES sa) {
  (void)path;
  (void)sa;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return 0;
}

BOOL WINAPI RemoveDirectoryW(LPCWSTR path) {
  (void)path;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return 0;
}

BOOL WINAPI DeleteFileW(LPCWSTR path) {
  (void)path;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return 0;
}

DWORD WINAPI GetFileAttributesW(LPCWSTR path) {
  (void)path;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return INVALID_FILE_ATTRIBUTES;
}

DWORD WINAPI GetFullPathNameW(LPCWSTR path, DWORD bufferChars, LPWSTR buffer, LPWSTR* filePart) {
  (void)path;
  (void)bufferChars;
  (void)buffer;
  (void)filePart;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return 0;
}

BOOL WINAPI SetCurrentDirectoryW(LPCWSTR path) {
  (void)path;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return 0;
}

DWORD WINAPI GetCurrentDirectoryW(DWORD bufferChars, LPWSTR buffer) {
  (void)bufferChars;
  (void)buffer;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return 0;
}

HANDLE WINAPI FindFirstFileW(LPCWSTR pattern, LPWIN32_FIND_DATAW data) {
  (void)pattern;
  (void)data;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return INVALID_HANDLE_VALUE;
}

BOOL WINAPI FindNextFileW(HANDLE find, LPWIN32_FIND_DATAW data) {
  (void)find;
  (void)data;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return 0;
}

BOOL WINAPI FindClose(HANDLE find) {
  (void)find;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return 0;
}
