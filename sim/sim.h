// Control surface of the simulated Windows platform, for tests and tools.
// Product code never includes this file; it sees only sim/win32.h through
// platform/platform.h.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/win32.h"

namespace sim {

// ------------------------------------------------------------------ world
// A fresh process on a fresh machine: one empty NTFS volume C:, current
// directory C:\, Windows 10.0, all five optional kernel32 exports present,
// a token holding SeBackupPrivilege, SeRestorePrivilege and
// SeCreateSymbolicLinkPrivilege (all disabled, as in an elevated token before
// anything enables them), Developer Mode off, an empty call log, no faults,
// no open handles.
void Reset();

// Every simulated call holds this lock while it touches the world, so a
// worker thread and its owner see one consistent machine.
std::recursive_mutex& WorldLock();

// ------------------------------------------------------------ strings
std::u16string W(const std::string& utf8);
std::string U8(const std::u16string& s);
std::string U8(const WCHAR* s);

// ------------------------------------------------------------ last error
// GetLastError/SetLastError are per thread, as on Windows, and are logged.
// Simulated functions set and read the error with these, which are not.
void SetError(DWORD code);
DWORD PeekError();

// ------------------------------------------------------------ handles
// Kernel objects live in one handle table. Values are never reused within a
// run, so a use after close is always caught.
struct HandleObject {
  virtual ~HandleObject() = default;
  virtual const char* Kind() const = 0;  // "file", "find", "thread", "token"
};
HANDLE NewHandle(std::shared_ptr<HandleObject> object);
std::shared_ptr<HandleObject> LookupHandle(HANDLE h);
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE h) {
  return std::dynamic_pointer_cast<T>(LookupHandle(h));
}
// Removes the handle from the table; the object dies with its last reference.
std::shared_ptr<HandleObject> RemoveHandle(HANDLE h);
size_t OpenHandleCount();
std::vector<std::string> OpenHandleKinds();
// The process has ended, by exiting or being killed: the system closes every
// handle it left open. For hosts that run one process after another on the
// same machine.
void CloseProcessHandles();

// ------------------------------------------------------------ call log
// What a simulated call is, beyond its name.
enum CallAttributes : unsigned {
  // The call is counted by fault injection and can be made to fail. The
  // last-error accessors are not: they are logged (a test may assert that
  // nothing at all was called) but cannot fail.
  CallFaultable = 1,
  // The call only gives back what the process holds (CloseHandle, FindClose,
  // an aborting BackupWrite): the system does the same for a process that
  // ends, and the handle owners make these calls from destructors, which
  // no exception may leave.
  CallReleases = 2,
};

struct Call {
  std::string name;    // "CreateFileW"
  std::string args;    // main arguments, paths in UTF-8 and quoted
  std::string result;  // "1", "0", "INVALID_HANDLE_VALUE", "0x48", ...
  DWORD lastError;     // the thread's last error when the call returned
  bool faultable;      // counted by fault injection (CallFaultable)
};
std::vector<Call> Calls();
std::vector<std::string> CallNames();
size_t CallCount(const std::string& name);
size_t TotalCalls();
void ClearCalls();
void SetCallLogEnabled(bool enabled);  // counts are kept either way
void SetTrace(FILE* sink);             // print each call as it returns; null: off
std::string FormatCall(const Call& c);

// ------------------------------------------------------------ faults
// Fail the nth call (1-based, counted from now) of the named function with
// the given error; persistent keeps failing every later call too.
void FailCall(const std::string& name, int nth, DWORD error, bool persistent = false);
// Fail the nth platform call of any name, counted from now.
void FailNthCall(int nth, DWORD error);
// The same failures, but leaving the thread's last error as it was before
// the call, as Windows' GetFullPathNameW("") and functions that are only
// stubs fail.
void FailCallSilently(const std::string& name, int nth, bool persistent = false);
void FailNthCallSilently(int nth);
// The nth call of a write function ("BackupWrite" or "WriteFile"), counted
// from now, takes only this many bytes of what it was given, reports that
// count and succeeds (a pipe or device can; a disk file never does).
void ShortWrite(const std::string& name, int nth, DWORD bytesWritten);
void ShortBackupWrite(int nth, DWORD bytesWritten);
// The process is ended from outside (another process's TerminateProcess) as
// the nth call of the named function, counted from now, begins: that call
// does nothing, no clean-up of the process runs, and whoever ran the entry
// point gets ProcessExit with the code. What earlier calls wrote to files
// stays, as the system keeps it after a killed process. A call that only
// releases (CallReleases) cannot be unwound from where it is made: it goes
// on as the system's own release of the ended process's object, and the
// process's next call, or the entry point's return, ends it with the code.
void TerminateAtCall(const std::string& name, int nth, UINT code);
// A thread that begins the nth call of the named function, counted from
// now, waits there before the call does anything, without holding the
// world, until ReleaseHeld. WaitUntilHeld returns once a thread waits
// there. This is how a test stops a worker thread at a known point; one
// thread is held at a time.
void HoldAtCall(const std::string& name, int nth);
void WaitUntilHeld();
void ReleaseHeld();
int FaultsFired();
void ClearFaults();

// One simulated call. Construct it first thing in every simulated function:
// it takes the world lock, counts the call, and tells whether a fault is due.
// Set `result` before returning; the destructor logs the call together with
// the thread's last error at that moment.
class CallScope {
 public:
  CallScope(const char* name, std::string args, unsigned attributes = CallFaultable);
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
  // True when an injected fault is due; the caller sets the error and fails.
  bool Faulted(DWORD* error) const {
    if (faulted_ && error) *error = faultError_;
    return faulted_;
  }
  std::string result;
  // The one way a simulated call fails: the error becomes the thread's last
  // error, the log shows `shown`, and the call returns `value`. Fail and
  // FailHandle are the BOOL and the handle-returning forms.
  template <class T>
  T FailAs(DWORD error, T value, const char* shown) {
    SetError(error);
    result = shown;
    return value;
  }
  BOOL Fail(DWORD error) { return FailAs<BOOL>(error, FALSE, "0"); }
  HANDLE FailHandle(DWORD error) { return FailAs<HANDLE>(error, INVALID_HANDLE_VALUE, "INVALID_HANDLE_VALUE"); }
  // Release the world lock early (for calls that block: waits, entering a
  // critical section). Logging still happens in the destructor.
  void Unlock();

 private:
  const char* name_;
  std::string args_;
  bool faultable_;
  bool faulted_ = false;
  DWORD faultError_ = 0;
  std::unique_lock<std::recursive_mutex> lock_;
};
// Quote a path for the log.
std::string Q(const WCHAR* path);
std::string Hex(uint64_t v);
// Internal: the short-write fault for the write call being made now, if any.
bool TakeShortWrite(DWORD* bytes);

// ------------------------------------------------------------ uses not modelled
// A use of a modelled call that no caller of the double makes, or one whose
// answer nobody has checked against Windows, stops the run with its reason
// instead of answering: this is thrown, and linkbatch-sim reports it.
struct NotModelled : std::logic_error {
  using std::logic_error::logic_error;
};
[[noreturn]] void StopNotModelled(const std::string& what);

// ------------------------------------------------------------ process exit
// ExitProcess throws this; whoever ran wmain catches it and reads the code.
struct ProcessExit {
  UINT code;
};
// Runs a wide-character entry point (wmain or the like) as the C runtime
// would: argv is args followed by a null pointer. Returns what ExitProcess
// was given, or the entry point's return value as unsigned.
DWORD RunEntryPoint(int (*entry)(int, WCHAR**), std::vector<std::u16string> args);

// ------------------------------------------------------------ console
// What wprintf wrote since the last call, as UTF-8. When passthrough is on
// (the default is off) it also goes to the real standard output.
std::string TakeStdout();
void SetStdoutPassthrough(bool on);
void AppendStdout(const std::string& utf8);
// Whether the process's standard output is a console (WriteConsoleW works on
// it) or redirected to a file or pipe (WriteFile takes bytes). A fresh
// process's output is redirected, as it is under a test runner.
void SetStdoutIsConsole(bool console);
bool StdoutIsConsole();

// ------------------------------------------------------------ process
// build 0: the build of the release's last service pack (10.0: 19045).
void SetWindowsVersion(DWORD major, DWORD minor, DWORD build = 0);
// The build GetVersionExW reports.
DWORD WindowsBuild();
// Developer Mode (off on a fresh machine): from Windows 10 build 14972 on,
// it lets CreateSymbolicLinkW make links without the privilege when the
// caller passes SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE.
void SetDeveloperMode(bool on);
bool DeveloperMode();
// Whether the process runs with an elevated administrator's token (the
// default) or a standard user's. Only administrators may change volume
// mount points. The privileges the token holds are set separately.
void SetElevated(bool elevated);
bool Elevated();
// Whether CreateSymbolicLinkW on the configured system knows
// SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE (Windows 10 build 14972 on).
bool KnowsUnprivilegedSymlinkFlag();
// name: one of the five optional kernel32 exports.
void SetExportPresent(const std::string& name, bool present);
void SetLoadLibraryFails(bool fails);
// The privileges the token holds (all disabled). Unknown names are ignored.
void SetTokenPrivileges(const std::vector<std::u16string>& held);
bool PrivilegeHeld(const std::u16string& name);
bool PrivilegeEnabled(const std::u16string& name);
// Force a privilege's enabled state directly (test set-up).
void SetPrivilegeEnabled(const std::u16string& name, bool enabled);

// ------------------------------------------------------------ volumes and files
// Test set-up and inspection. These bypass the call log and fault injection.
void AddVolume(char16_t letter);
// Makes "\\server\name" (and "\\?\UNC\server\name") reach the existing
// directory at the absolute drive path `directory`. Without a share, every
// server is unreachable (ERROR_BAD_NETPATH).
void AddShare(const std::u16string& server, const std::u16string& name,
              const std::u16string& directory);
std::vector<char16_t> Volumes();
// "\\?\Volume{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}\" for the drive.
std::u16string VolumeGuidPath(char16_t letter);
// Create a directory (and any missing parents) or a file (parents too).
// Paths are absolute drive paths; reparse points on the way are not followed.
void MakeDirs(const std::u16string& path);
void MakeFile(const std::u16string& path);
// Plant raw reparse data on an existing file or directory without any
// validation (for hostile data), replacing what was there.
void PlantReparse(const std::u16string& path, const std::vector<uint8_t>& data);

struct NodeInfo {
  bool exists = false;
  bool isDirectory = false;
  DWORD attributes = INVALID_FILE_ATTRIBUTES;
  DWORD reparseTag = 0;
  std::vector<uint8_t> reparseData;  // exactly as stored
  uint32_t linkCount = 0;             // names of the file
  uint64_t fileId = 0;                // identity: equal for hard links
  std::vector<uint8_t> content;       // a file's data, as written to it
};
// The entry at an absolute drive path; reparse points on the way are
// followed, the last component is not.
NodeInfo Inspect(const std::u16string& path);
// Names in a directory in enumeration order, without "." and "..";
// the last component is followed if it is a reparse point.
std::vector<std::u16string> List(const std::u16string& path);

// ------------------------------------------------------------ host files
// CreateFileW on this path, under any spelling Windows resolves to the same
// name (another case, a relative form, the "\\?\" form), creates or replaces
// the host file hostPath instead of an entry on a simulated volume, and
// WriteFile on its handle writes straight through to the host file; _wfsopen
// reads the host file. This is how linkbatch-sim lets the product write a
// file the user reads on the host. A path that is not routed reaches
// _wfsopen as a host path. Share modes hold across every name of a host
// file, hard links included. Reset forgets every route and closes every
// stream _wfsopen opened, as the system closes the handles of a process
// that ended.
void RouteToHost(const std::u16string& path, const std::string& hostPath);

// ------------------------------------------------------------ optional kernel32
// Reached by product code only through GetProcAddress.
BOOL WINAPI CreateHardLinkW(LPCWSTR newName, LPCWSTR existingName, LPSECURITY_ATTRIBUTES sa);
BOOLEAN WINAPI CreateSymbolicLinkW(LPCWSTR linkName, LPCWSTR targetName, DWORD flags);
BOOL WINAPI GetVolumeNameForVolumeMountPointW(LPCWSTR mountPoint, LPWSTR volumeName, DWORD chars);
BOOL WINAPI SetVolumeMountPointW(LPCWSTR mountPoint, LPCWSTR volumeName);
BOOL WINAPI DeleteVolumeMountPointW(LPCWSTR mountPoint);

// Internal reset hooks of the separate parts of the simulation.
void ResetFileSystem();
void ResetProcess();
void ResetBackupContexts();
void ResetHostRoutes();
void ResetCrtStreams();

// BackupWrite contexts allocated and not yet released with bAbort.
int LiveBackupContexts();

}  // namespace sim
