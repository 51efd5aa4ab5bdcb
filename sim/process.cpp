// The simulated process: the loader (kernel32 and its optional exports), the
// reported Windows version, the process token and its privileges.
// Threads and critical sections are in sim/process_threads.cpp.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "sim/fs_model.h"
#include "sim/sim.h"

namespace {

// ERROR_NOACCESS: the system probes a caller's output pointer and reports a
// bad one instead of faulting.
constexpr DWORD kErrorNoAccess = 998;

// A module handle is the image's base address in the process, not an entry
// of the kernel handle table: CloseHandle does not take it and it is never
// counted as a leak. The value is above 32 as every successful load is.
const HMODULE kKernel32Module = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x76500000u));

const char* const kOptionalExports[] = {"CreateHardLinkW", "CreateSymbolicLinkW",
                                        "GetVolumeNameForVolumeMountPointW", "SetVolumeMountPointW",
                                        "DeleteVolumeMountPointW"};

struct PrivilegeName {
  const char16_t* name;
  DWORD luid;          // LowPart; HighPart is 0 for every well-known privilege
  DWORD sinceMajor;    // first Windows version that knows the name
};

// The well-known privilege LUIDs (SE_MIN_WELL_KNOWN_PRIVILEGE 2 to 36).
// The five from 31 to 35 arrived with Windows 6.0 and the last with
// Windows 10; LookupPrivilegeValueW on an older system does not know them.
const PrivilegeName kPrivileges[] = {
    {u"SeCreateTokenPrivilege", 2, 5},
    {u"SeAssignPrimaryTokenPrivilege", 3, 5},
    {u"SeLockMemoryPrivilege", 4, 5},
    {u"SeIncreaseQuotaPrivilege", 5, 5},
    {u"SeMachineAccountPrivilege", 6, 5},
    {u"SeTcbPrivilege", 7, 5},
    {u"SeSecurityPrivilege", 8, 5},
    {u"SeTakeOwnershipPrivilege", 9, 5},
    {u"SeLoadDriverPrivilege", 10, 5},
    {u"SeSystemProfilePrivilege", 11, 5},
    {u"SeSystemtimePrivilege", 12, 5},
    {u"SeProfileSingleProcessPrivilege", 13, 5},
    {u"SeIncreaseBasePriorityPrivilege", 14, 5},
    {u"SeCreatePagefilePrivilege", 15, 5},
    {u"SeCreatePermanentPrivilege", 16, 5},
    {u"SeBackupPrivilege", 17, 5},
    {u"SeRestorePrivilege", 18, 5},
    {u"SeShutdownPrivilege", 19, 5},
    {u"SeDebugPrivilege", 20, 5},
    {u"SeAuditPrivilege", 21, 5},
    {u"SeSystemEnvironmentPrivilege", 22, 5},
    {u"SeChangeNotifyPrivilege", 23, 5},
    {u"SeRemoteShutdownPrivilege", 24, 5},
    {u"SeUndockPrivilege", 25, 5},
    {u"SeSyncAgentPrivilege", 26, 5},
    {u"SeEnableDelegationPrivilege", 27, 5},
    {u"SeManageVolumePrivilege", 28, 5},
    {u"SeImpersonatePrivilege", 29, 5},
    {u"SeCreateGlobalPrivilege", 30, 5},
    {u"SeTrustedCredManAccessPrivilege", 31, 6},
    {u"SeRelabelPrivilege", 32, 6},
    {u"SeIncreaseWorkingSetPrivilege", 33, 6},
    {u"SeTimeZonePrivilege", 34, 6},
    {u"SeCreateSymbolicLinkPrivilege", 35, 6},
    {u"SeDelegateSessionUserImpersonatePrivilege", 36, 10},
};

struct VersionRow {
  DWORD major, minor, build;
};
// The build number each release reports (with its last service pack).
const VersionRow kVersions[] = {
    {5, 0, 2195}, {5, 1, 2600}, {5, 2, 3790}, {6, 0, 6002},
    {6, 1, 7601}, {6, 2, 9200}, {6, 3, 9600}, {10, 0, 19045},
};

// CreateSymbolicLinkW honours SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
// from Windows 10 build 14972 with Developer Mode on; earlier systems refuse
// the unknown flag with ERROR_INVALID_PARAMETER (dotnet/runtime's
// Interop.Kernel32 comment on the flag; Go's
// internal/syscall/windows/symlink_windows.go, which retries without it on 87).
constexpr DWORD kUnprivilegedSymlinkBuild = 14972;

struct ProcessState {
  DWORD major = 10;
  DWORD minor = 0;
  DWORD build = 0;  // 0: the release's own build from kVersions
  bool developerMode = false;
  bool elevated = true;
  std::map<std::string, bool> exports;
  bool loadLibraryFails = false;
  // The token's privileges: LUID LowPart -> attributes.
  std::map<DWORD, DWORD> token;
};

ProcessState& State() {
  static ProcessState s;
  return s;
}

struct TokenObject : sim::HandleObject {
  explicit TokenObject(DWORD a) : access(a) {}
  const char* Kind() const override { return "token"; }
  DWORD access;
};

// Privilege names compare without case ("sEcREATEtOKENpRIVILEGE" works),
// folded as the file system folds names.
bool SameNoCase(const char16_t* a, const char16_t* b) {
  for (; *a && *b; ++a, ++b) {
    if (sim::fs::UpcaseUnit(*a) != sim::fs::UpcaseUnit(*b)) return false;
  }
  return *a == *b;
}

const PrivilegeName* FindPrivilege(const char16_t* name) {
  if (!name) return nullptr;
  for (const PrivilegeName& p : kPrivileges) {
    if (SameNoCase(p.name, name)) return &p;
  }
  return nullptr;
}

bool IsKernel32(const std::u16string& name) {
  // The loader appends ".dll" to a name without an extension and compares
  // module names without regard to case.
  static const std::u16string dll = u".DLL";
  std::u16string n;
  for (char16_t c : name) n += sim::fs::UpcaseUnit(c);
  if (n.size() >= dll.size() && n.compare(n.size() - dll.size(), dll.size(), dll) == 0) {
    n.resize(n.size() - dll.size());
  }
  return n == u"KERNEL32";
}

// GetProcAddress returns every export as the generic FARPROC; the cast goes
// through void (*)(void), the type compilers accept for any function.
template <class F>
FARPROC AsFarProc(F* f) {
  return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(f));
}

FARPROC ExportAddress(const std::string& name) {
  if (name == "CreateHardLinkW") return AsFarProc(&sim::CreateHardLinkW);
  if (name == "CreateSymbolicLinkW") return AsFarProc(&sim::CreateSymbolicLinkW);
  if (name == "GetVolumeNameForVolumeMountPointW") {
    return AsFarProc(&sim::GetVolumeNameForVolumeMountPointW);
  }
  if (name == "SetVolumeMountPointW") return AsFarProc(&sim::SetVolumeMountPointW);
  if (name == "DeleteVolumeMountPointW") return AsFarProc(&sim::DeleteVolumeMountPointW);
  return nullptr;
}

[[noreturn]] void Misuse(const char* what) {
  fprintf(stderr, "simulated process: %s\n", what);
  fflush(stderr);
  abort();
}

// TOKEN_PRIVILEGES holds a variable number of entries behind its count; the
// entries are reached by byte offset, not through the one-element array.
constexpr size_t kPrivilegesOffset = offsetof(TOKEN_PRIVILEGES, Privileges);
LUID_AND_ATTRIBUTES ReadEntry(const TOKEN_PRIVILEGES* tp, DWORD i) {
  LUID_AND_ATTRIBUTES e;
  memcpy(&e, reinterpret_cast<const BYTE*>(tp) + kPrivilegesOffset + i * sizeof(LUID_AND_ATTRIBUTES), sizeof e);
  return e;
}
void WriteEntry(TOKEN_PRIVILEGES* tp, DWORD i, const LUID_AND_ATTRIBUTES& e) {
  memcpy(reinterpret_cast<BYTE*>(tp) + kPrivilegesOffset + i * sizeof(LUID_AND_ATTRIBUTES), &e, sizeof e);
}

}  // namespace

namespace sim {

void ResetThreads();  // sim/process_threads.cpp

void ResetProcess() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  ProcessState& s = State();
  s.major = 10;
  s.minor = 0;
  s.build = 0;
  s.developerMode = false;
  s.elevated = true;
  s.exports.clear();
  for (const char* name : kOptionalExports) s.exports[name] = true;
  s.loadLibraryFails = false;
  // An elevated token before anything enables its privileges.
  s.token.clear();
  s.token[17] = 0;
  s.token[18] = 0;
  s.token[35] = 0;
  ResetThreads();
}

void SetWindowsVersion(DWORD major, DWORD minor, DWORD build) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  State().major = major;
  State().minor = minor;
  State().build = build;
}

DWORD WindowsBuild() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  const ProcessState& s = State();
  if (s.build != 0) return s.build;
  for (const VersionRow& v : kVersions) {
    if (v.major == s.major && v.minor == s.minor) return v.build;
  }
  return 0;
}

void SetDeveloperMode(bool on) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  State().developerMode = on;
}

bool DeveloperMode() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  return State().developerMode;
}

void SetElevated(bool elevated) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  State().elevated = elevated;
}

bool Elevated() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  return State().elevated;
}

bool KnowsUnprivilegedSymlinkFlag() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  return State().major > 10 || (State().major == 10 && WindowsBuild() >= kUnprivilegedSymlinkBuild);
}

void SetExportPresent(const std::string& name, bool present) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  auto it = State().exports.find(name);
  if (it == State().exports.end()) Misuse("SetExportPresent: not one of the five optional exports");
  it->second = present;
}

void SetLoadLibraryFails(bool fails) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  State().loadLibraryFails = fails;
}

void SetTokenPrivileges(const std::vector<std::u16string>& held) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  State().token.clear();
  for (const std::u16string& name : held) {
    if (const PrivilegeName* p = FindPrivilege(name.c_str())) State().token[p->luid] = 0;
  }
}

bool PrivilegeHeld(const std::u16string& name) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  const PrivilegeName* p = FindPrivilege(name.c_str());
  return p && State().token.count(p->luid) != 0;
}

bool PrivilegeEnabled(const std::u16string& name) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  const PrivilegeName* p = FindPrivilege(name.c_str());
  if (!p) return false;
  auto it = State().token.find(p->luid);
  return it != State().token.end() && (it->second & SE_PRIVILEGE_ENABLED) != 0;
}

void SetPrivilegeEnabled(const std::u16string& name, bool enabled) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  const PrivilegeName* p = FindPrivilege(name.c_str());
  if (!p) return;
  auto it = State().token.find(p->luid);
  // A token cannot have a privilege enabled that it does not hold.
  if (it == State().token.end()) return;
  if (enabled) {
    it->second |= SE_PRIVILEGE_ENABLED;
  } else {
    it->second &= ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED);
  }
}

}  // namespace sim

// ------------------------------------------------------------ loader

HMODULE WINAPI LoadLibraryW(LPCWSTR name) {
  sim::CallScope call("LoadLibraryW", sim::Q(name));
  DWORD e;
  if (call.Faulted(&e)) return call.FailAs(e, nullptr, "NULL");
  if (!name) {
    // LoadLibraryExW without a name: ERROR_INVALID_PARAMETER.
    sim::SetError(ERROR_INVALID_PARAMETER);
    call.result = "NULL";
    return nullptr;
  }
  // A module the loader cannot find: ERROR_MOD_NOT_FOUND.
  if (!IsKernel32(name) || State().loadLibraryFails) {
    sim::SetError(ERROR_MOD_NOT_FOUND);
    call.result = "NULL";
    return nullptr;
  }
  call.result = sim::Hex(reinterpret_cast<uintptr_t>(kKernel32Module));
  return kKernel32Module;
}

FARPROC WINAPI GetProcAddress(HMODULE module, LPCSTR name) {
  // A name pointer below 64K is an ordinal, which the simulation does not
  // number.
  if (reinterpret_cast<uintptr_t>(name) < 0x10000u) Misuse("GetProcAddress by ordinal is not modelled");
  sim::CallScope call("GetProcAddress", sim::Hex(reinterpret_cast<uintptr_t>(module)) + ", \"" + name + "\"");
  DWORD e;
  if (call.Faulted(&e)) return call.FailAs(e, nullptr, "NULL");
  // A handle that is no loaded module's base: the loader does not find the
  // module, ERROR_MOD_NOT_FOUND.
  if (module != kKernel32Module || State().loadLibraryFails) {
    sim::SetError(ERROR_MOD_NOT_FOUND);
    call.result = "NULL";
    return nullptr;
  }
  // A name the module does not export, or an optional export made absent:
  // ERROR_PROC_NOT_FOUND.
  FARPROC proc = nullptr;
  auto it = State().exports.find(name);
  if (it != State().exports.end() && it->second) proc = ExportAddress(name);
  if (!proc) {
    sim::SetError(ERROR_PROC_NOT_FOUND);
    call.result = "NULL";
    return nullptr;
  }
  call.result = sim::Hex(reinterpret_cast<uintptr_t>(proc));
  return proc;
}

// ------------------------------------------------------------ version

BOOL WINAPI GetVersionExW(LPOSVERSIONINFOW info) {
  if (!info) Misuse("GetVersionExW with a null record: Windows faults reading its size");
  sim::CallScope call("GetVersionExW", std::to_string(info->dwOSVersionInfoSize));
  DWORD e;
  if (call.Faulted(&e)) return call.FailAs(e, FALSE, "0");
  // Windows takes OSVERSIONINFOW (276 bytes) and OSVERSIONINFOEXW (284);
  // the larger record is not modelled. Any other size fails with
  // ERROR_INSUFFICIENT_BUFFER.
  constexpr DWORD kExSize = sizeof(OSVERSIONINFOW) + 8;
  const DWORD size = info->dwOSVersionInfoSize;
  if (size == kExSize) Misuse("GetVersionExW with OSVERSIONINFOEXW is not modelled");
  if (size != sizeof(OSVERSIONINFOW)) return call.Fail(ERROR_INSUFFICIENT_BUFFER);
  info->dwMajorVersion = State().major;
  info->dwMinorVersion = State().minor;
  info->dwBuildNumber = sim::WindowsBuild();
  info->dwPlatformId = 2;  // VER_PLATFORM_WIN32_NT
  // The service pack text is not modelled: it is left empty.
  memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  // The last error is left as it was on success.
  call.result = "1";
  return TRUE;
}

// ------------------------------------------------------------ token

HANDLE WINAPI GetCurrentProcess(void) {
  sim::CallScope call("GetCurrentProcess", "");
  // The current-process pseudo handle, (HANDLE)-1; the call cannot fail.
  call.result = "-1";
  return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

BOOL WINAPI OpenProcessToken(HANDLE process, DWORD access, PHANDLE token) {
  // Generic rights and MAXIMUM_ALLOWED would map through the token's
  // GENERIC_MAPPING, which is not modelled; the callers ask for the specific
  // rights.
  constexpr DWORD kMaximumAllowed = 0x02000000u;
  if (access & (GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL | kMaximumAllowed)) {
    Misuse("OpenProcessToken with generic rights is not modelled");
  }
  sim::CallScope call("OpenProcessToken",
                      sim::Hex(reinterpret_cast<uintptr_t>(process)) + ", " + sim::Hex(access));
  DWORD e;
  if (call.Faulted(&e)) return call.FailAs(e, FALSE, "0");
  // The simulation has one process, reached through the pseudo handle; any
  // other value names no process: ERROR_INVALID_HANDLE.
  if (process != reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1))) {
    return call.Fail(ERROR_INVALID_HANDLE);
  }
  if (!token) {
    return call.Fail(kErrorNoAccess);
  }
  // A token handle is a kernel handle: it stays open until CloseHandle.
  *token = sim::NewHandle(std::make_shared<TokenObject>(access));
  call.result = "1";
  return TRUE;
}

BOOL WINAPI LookupPrivilegeValueW(LPCWSTR systemName, LPCWSTR name, PLUID luid) {
  sim::CallScope call("LookupPrivilegeValueW", sim::Q(systemName) + ", " + sim::Q(name));
  DWORD e;
  if (call.Faulted(&e)) return call.FailAs(e, FALSE, "0");
  if (systemName && *systemName) Misuse("LookupPrivilegeValueW on another machine is not modelled");
  // Names are matched without regard to case; an unknown name, a null name,
  // or one the configured Windows version does not have yet:
  // ERROR_NO_SUCH_PRIVILEGE.
  const PrivilegeName* p = FindPrivilege(name);
  if (!p || State().major < p->sinceMajor) {
    return call.Fail(ERROR_NO_SUCH_PRIVILEGE);
  }
  if (!luid) {
    return call.Fail(kErrorNoAccess);
  }
  luid->LowPart = p->luid;
  luid->HighPart = 0;
  call.result = "1";
  return TRUE;
}

BOOL WINAPI AdjustTokenPrivileges(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES newState,
                                  DWORD bufferLength, PTOKEN_PRIVILEGES previousState,
                                  PDWORD returnLength) {
  if (disableAll) Misuse("AdjustTokenPrivileges with DisableAllPrivileges is not modelled");
  // Read the whole request first: the previous-state buffer may be the
  // new-state buffer.
  std::vector<LUID_AND_ATTRIBUTES> requested;
  if (newState) {
    for (DWORD i = 0; i < newState->PrivilegeCount; ++i) requested.push_back(ReadEntry(newState, i));
  }
  std::string args = sim::Hex(reinterpret_cast<uintptr_t>(token)) + ", " + std::to_string(disableAll) + ", {";
  for (size_t i = 0; i < requested.size(); ++i) {
    args += (i ? " " : "") + std::to_string(requested[i].Luid.LowPart) + ":" + sim::Hex(requested[i].Attributes);
  }
  args += "}, " + std::to_string(bufferLength) + ", " + (previousState ? "prev" : "NULL");
  sim::CallScope call("AdjustTokenPrivileges", args);
  DWORD e;
  if (call.Faulted(&e)) return call.Fail(e);
  // Without DisableAllPrivileges the new state is required:
  // ERROR_INVALID_PARAMETER.
  if (!newState) return call.Fail(ERROR_INVALID_PARAMETER);
  auto object = sim::LookupHandleAs<TokenObject>(token);
  if (!object) return call.Fail(ERROR_INVALID_HANDLE);
  // Adjusting needs TOKEN_ADJUST_PRIVILEGES on the handle, and reporting the
  // previous state TOKEN_QUERY too: ERROR_ACCESS_DENIED.
  DWORD needed = TOKEN_ADJUST_PRIVILEGES | (previousState ? TOKEN_QUERY : 0u);
  if ((object->access & needed) != needed) return call.Fail(ERROR_ACCESS_DENIED);
  if (previousState && !returnLength) return call.Fail(kErrorNoAccess);

  std::map<DWORD, DWORD>& held = State().token;
  std::map<DWORD, DWORD> after = held;
  // Privileges whose state changes, in request order, with their attributes
  // from before the call.
  std::vector<LUID_AND_ATTRIBUTES> changed;
  auto noteChange = [&changed, &held](DWORD luid) {
    for (const LUID_AND_ATTRIBUTES& c : changed) {
      if (c.Luid.LowPart == luid) return;
    }
    changed.push_back(LUID_AND_ATTRIBUTES{LUID{luid, 0}, held[luid]});
  };
  bool notAllAssigned = false;
  for (const LUID_AND_ATTRIBUTES& r : requested) {
    if (r.Attributes & SE_PRIVILEGE_REMOVED) Misuse("AdjustTokenPrivileges with SE_PRIVILEGE_REMOVED is not modelled");
    auto it = r.Luid.HighPart == 0 ? after.find(r.Luid.LowPart) : after.end();
    if (it == after.end()) {
      // A privilege the token does not hold is skipped; the call still
      // succeeds but reports ERROR_NOT_ALL_ASSIGNED.
      notAllAssigned = true;
      continue;
    }
    const bool enable = (r.Attributes & SE_PRIVILEGE_ENABLED) != 0;
    const bool enabled = (it->second & SE_PRIVILEGE_ENABLED) != 0;
    if (enable == enabled) continue;
    noteChange(it->first);
    if (enable) {
      it->second |= SE_PRIVILEGE_ENABLED;
    } else {
      it->second &= ~static_cast<DWORD>(SE_PRIVILEGE_ENABLED);
    }
  }
  if (previousState) {
    // The previous state holds only the privileges this call changed; the
    // size it needs is the count plus one entry per change. A buffer too
    // small fails with ERROR_INSUFFICIENT_BUFFER, reports the size needed and
    // changes nothing.
    const DWORD required = static_cast<DWORD>(kPrivilegesOffset + changed.size() * sizeof(LUID_AND_ATTRIBUTES));
    *returnLength = required;
    if (bufferLength < required) return call.Fail(ERROR_INSUFFICIENT_BUFFER);
    previousState->PrivilegeCount = static_cast<DWORD>(changed.size());
    for (DWORD i = 0; i < changed.size(); ++i) WriteEntry(previousState, i, changed[i]);
  }
  // With no previous-state buffer, ReturnLength is not written.
  held = after;
  // Full success sets ERROR_SUCCESS explicitly.
  sim::SetError(notAllAssigned ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
  call.result = "1";
  return TRUE;
}
