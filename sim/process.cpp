// Placeholder until the process model lands.
#include "sim/sim.h"
namespace sim {
void ResetProcess() {}
void SetWindowsVersion(DWORD, DWORD) {}
void SetExportPresent(const std::string&, bool) {}
void SetLoadLibraryFails(bool) {}
void SetTokenPrivileges(const std::vector<std::u16string>&) {}
bool PrivilegeHeld(const std::u16string&) { return false; }
bool PrivilegeEnabled(const std::u16string&) { return false; }
void SetPrivilegeEnabled(const std::u16string&, bool) {}
}  // namespace sim

HMODULE WINAPI LoadLibraryW(LPCWSTR name) {
  (void)name;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return nullptr;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
  (void)module;
  (void)name;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return nullptr;
}

BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW info) {
  (void)info;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return 0;
}

HANDLE WINAPI GetCurrentProcess(void) {
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return INVALID_HANDLE_VALUE;
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                           LPVOID param, DWORD flags, LPDWORD threadId) {
  (void)sa;
  (void)stackSize;
  (void)start;
  (void)param;
  (void)flags;
  (void)threadId;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return INVALID_HANDLE_VALUE;
}

DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD milliseconds) {
  (void)h;
  (void)milliseconds;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return 0;
}

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD code) {
  (void)thread;
  (void)code;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return 0;
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  (void)cs;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
  (void)cs;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
  (void)cs;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
  (void)cs;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
}

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  (void)process;
  (void)access;
  (void)token;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return 0;
}

BOOL WINAPI LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid) {
  (void)systemName;
  (void)name;
  (void)luid;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return 0;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                                  DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                                  PDWORD returnLength) {
  (void)token;
  (void)disableAll;
  (void)newState;
  (void)bufferLength;
  (void)previousState;
  (void)returnLength;
  sim::SetError(120);  // ERROR_CALL_NOT_IMPLEMENTED until modelled
  return 0;
}
