// The simulation's shared machinery: last error, the handle table, the call
// log, fault injection, strings and the console.
#include <condition_variable>
#include <cstdio>
#include <map>
#include <sstream>

#include "sim/sim.h"

namespace sim {
namespace {

thread_local DWORD t_lastError = 0;

struct HandleTable {
  std::map<uintptr_t, std::shared_ptr<HandleObject>> objects;
  uintptr_t next = 0x40;
};

struct Fault {
  std::string name;  // empty: any function
  int remaining;     // calls to let through before it fires (0: fires next)
  DWORD error;
  bool persistent;
  // Fails without touching the last error, as GetFullPathNameW does for an
  // empty path and as stubs do: the caller sees whatever error came before.
  bool silent;
};

// A write call that reports fewer bytes than it was given.
struct ShortWriteFault {
  std::string name;  // "BackupWrite" or "WriteFile"
  int remaining;     // calls of that name to let through first
  DWORD bytes;
};

// The process ended from outside as a call of that name begins.
struct Termination {
  std::string name;
  int remaining;
  UINT code;
};

// A thread held as a call of that name begins (HoldAtCall).
struct Hold {
  std::string name;
  int remaining;
};

// Counts a call of `name` against the one-shot events scheduled for a later
// call of that name; takes out the first that falls due on this call.
template <class Event>
bool TakeDue(std::vector<Event>& events, const std::string& name, Event* due) {
  for (size_t i = 0; i < events.size(); ++i) {
    Event& e = events[i];
    if (e.name != name) continue;
    if (e.remaining > 0) {
      e.remaining--;
      continue;
    }
    *due = e;
    events.erase(events.begin() + static_cast<std::ptrdiff_t>(i));
    return true;
  }
  return false;
}

struct Log {
  std::vector<Call> calls;
  std::map<std::string, size_t> counts;
  size_t total = 0;
  bool enabled = true;
  FILE* trace = nullptr;
  std::vector<Fault> faults;
  std::vector<ShortWriteFault> shortWrites;
  std::vector<Termination> terminations;
  std::vector<Hold> holds;
  int fired = 0;
  bool pendingShortWrite = false;
  DWORD pendingShortBytes = 0;
  // Killed in a call that could not be unwound: the code it ends with.
  bool killed = false;
  UINT killCode = 0;
};

struct Console {
  std::string captured;
  bool passthrough = false;
};

HandleTable& Handles() {
  static HandleTable t;
  return t;
}
Log& TheLog() {
  static Log l;
  return l;
}
Console& TheConsole() {
  static Console c;
  return c;
}

// Where a held thread waits. Apart from the world lock, so that the thread
// that released the world can make calls while the other one waits.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  bool arrived = false;
  bool released = false;
};
Gate& TheGate() {
  static Gate g;
  return g;
}

}  // namespace

std::recursive_mutex& WorldLock() {
  static std::recursive_mutex m;
  return m;
}

// ------------------------------------------------------------ strings
std::u16string W(const std::string& s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    uint32_t cp;
    size_t n;
    if (c < 0x80) {
      cp = c;
      n = 1;
    } else if ((c >> 5) == 6 && i + 1 < s.size()) {
      cp = ((c & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
      n = 2;
    } else if ((c >> 4) == 14 && i + 2 < s.size()) {
      cp = ((c & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
      n = 3;
    } else if ((c >> 3) == 30 && i + 3 < s.size()) {
      cp = ((c & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) |
           (s[i + 3] & 0x3Fu);
      n = 4;
    } else {
      cp = 0xFFFD;
      n = 1;
    }
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string U8(const std::u16string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    uint32_t cp = s[i];
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;  // a lone surrogate cannot be written as UTF-8
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

std::string U8(const WCHAR* s) { return s ? U8(std::u16string(s)) : std::string("(null)"); }

std::string Q(const WCHAR* path) { return path ? "\"" + U8(path) + "\"" : std::string("NULL"); }

std::string Hex(uint64_t v) {
  char buf[32];
  snprintf(buf, sizeof buf, "0x%llx", static_cast<unsigned long long>(v));
  return buf;
}

// ------------------------------------------------------------ handles
HANDLE NewHandle(std::shared_ptr<HandleObject> object) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  HandleTable& t = Handles();
  uintptr_t v = t.next;
  t.next += 4;
  t.objects[v] = std::move(object);
  return reinterpret_cast<HANDLE>(v);
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE h) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  auto it = Handles().objects.find(reinterpret_cast<uintptr_t>(h));
  return it == Handles().objects.end() ? nullptr : it->second;
}

std::shared_ptr<HandleObject> RemoveHandle(HANDLE h) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  auto& objects = Handles().objects;
  auto it = objects.find(reinterpret_cast<uintptr_t>(h));
  if (it == objects.end()) return nullptr;
  std::shared_ptr<HandleObject> o = std::move(it->second);
  objects.erase(it);
  return o;
}

size_t OpenHandleCount() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  return Handles().objects.size();
}

std::vector<std::string> OpenHandleKinds() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  std::vector<std::string> kinds;
  for (auto& kv : Handles().objects) kinds.push_back(kv.second->Kind());
  return kinds;
}

// "When a process terminates ... any handles opened by the process are
// closed" (Microsoft, Terminating a Process:
// https://learn.microsoft.com/en-us/windows/win32/procthread/terminating-a-process).
// The table is emptied before the objects die, since a file handle's
// destructor changes the volume (it takes its open off the node).
void CloseProcessHandles() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  std::map<uintptr_t, std::shared_ptr<HandleObject>> closing;
  closing.swap(Handles().objects);
}

// ------------------------------------------------------------ call log
CallScope::CallScope(const char* name, std::string args, unsigned attributes)
    : name_(name), args_(std::move(args)), faultable_((attributes & CallFaultable) != 0), lock_(WorldLock()) {
  Log& log = TheLog();
  const bool releases = (attributes & CallReleases) != 0;
  // A killed process makes no further call; only the release of what it
  // held goes on, as the system's own.
  if (log.killed && !releases) throw ProcessExit{log.killCode};
  log.counts[name_]++;
  log.total++;
  for (size_t i = 0; faultable_ && i < log.faults.size(); ++i) {
    Fault& f = log.faults[i];
    if (!f.name.empty() && f.name != name_) continue;
    if (f.remaining > 0) {
      f.remaining--;
      continue;
    }
    if (!faulted_) {
      faulted_ = true;
      // Every failing function sets the error it is handed; handing it the
      // thread's own error leaves that as it was.
      faultError_ = f.silent ? t_lastError : f.error;
      log.fired++;
    }
    if (!f.persistent) {
      log.faults.erase(log.faults.begin() + static_cast<std::ptrdiff_t>(i));
      --i;
    }
  }
  ShortWriteFault shortWrite;
  log.pendingShortWrite = TakeDue(log.shortWrites, name_, &shortWrite);
  if (log.pendingShortWrite) log.pendingShortBytes = shortWrite.bytes;
  Termination termination;
  if (TakeDue(log.terminations, name_, &termination)) {
    log.fired++;
    // Killed from outside before this call did anything: no clean-up of the
    // process runs, and the call is not logged as having returned.
    if (!releases) throw ProcessExit{termination.code};
    // Made from a destructor, which no exception may leave: the process is
    // marked as ended and this release goes on as the system's.
    log.killed = true;
    log.killCode = termination.code;
  }
  Hold hold;
  if (TakeDue(log.holds, name_, &hold)) {
    lock_.unlock();
    Gate& gate = TheGate();
    std::unique_lock<std::mutex> g(gate.m);
    gate.arrived = true;
    gate.cv.notify_all();
    gate.cv.wait(g, [&gate] { return gate.released; });
    gate.arrived = false;
    gate.released = false;
    g.unlock();
    lock_.lock();
  }
}

void CallScope::Unlock() {
  if (lock_.owns_lock()) lock_.unlock();
}

CallScope::~CallScope() {
  if (!lock_.owns_lock()) lock_.lock();
  Log& log = TheLog();
  Call c{name_, args_, result, t_lastError, faultable_};
  if (log.trace) fprintf(log.trace, "%s\n", FormatCall(c).c_str());
  if (log.enabled) log.calls.push_back(std::move(c));
}

bool TakeShortWrite(DWORD* bytes) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  Log& log = TheLog();
  if (!log.pendingShortWrite) return false;
  log.pendingShortWrite = false;
  log.fired++;
  *bytes = log.pendingShortBytes;
  return true;
}

std::string FormatCall(const Call& c) {
  return c.name + "(" + c.args + ") = " + c.result + " [" + std::to_string(c.lastError) + "]";
}

std::vector<Call> Calls() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  return TheLog().calls;
}

std::vector<std::string> CallNames() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  std::vector<std::string> names;
  for (auto& c : TheLog().calls) names.push_back(c.name);
  return names;
}

size_t CallCount(const std::string& name) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  auto it = TheLog().counts.find(name);
  return it == TheLog().counts.end() ? 0 : it->second;
}

size_t TotalCalls() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  return TheLog().total;
}

void ClearCalls() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  TheLog().calls.clear();
  TheLog().counts.clear();
  TheLog().total = 0;
}

void SetCallLogEnabled(bool enabled) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  TheLog().enabled = enabled;
}

void SetTrace(FILE* sink) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  TheLog().trace = sink;
}

// ------------------------------------------------------------ faults
void FailCall(const std::string& name, int nth, DWORD error, bool persistent) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  TheLog().faults.push_back(Fault{name, nth > 0 ? nth - 1 : 0, error, persistent, false});
}

void FailNthCall(int nth, DWORD error) { FailCall(std::string(), nth, error, false); }

void FailCallSilently(const std::string& name, int nth, bool persistent) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  TheLog().faults.push_back(Fault{name, nth > 0 ? nth - 1 : 0, 0, persistent, true});
}

void FailNthCallSilently(int nth) { FailCallSilently(std::string(), nth, false); }

void ShortWrite(const std::string& name, int nth, DWORD bytesWritten) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  TheLog().shortWrites.push_back(ShortWriteFault{name, nth > 0 ? nth - 1 : 0, bytesWritten});
}

void ShortBackupWrite(int nth, DWORD bytesWritten) { ShortWrite("BackupWrite", nth, bytesWritten); }

void TerminateAtCall(const std::string& name, int nth, UINT code) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  TheLog().terminations.push_back(Termination{name, nth > 0 ? nth - 1 : 0, code});
}

void HoldAtCall(const std::string& name, int nth) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  TheLog().holds.push_back(Hold{name, nth > 0 ? nth - 1 : 0});
}

void WaitUntilHeld() {
  Gate& gate = TheGate();
  std::unique_lock<std::mutex> g(gate.m);
  gate.cv.wait(g, [&gate] { return gate.arrived; });
}

void ReleaseHeld() {
  Gate& gate = TheGate();
  std::lock_guard<std::mutex> g(gate.m);
  gate.released = true;
  gate.cv.notify_all();
}

int FaultsFired() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  return TheLog().fired;
}

void ClearFaults() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  TheLog().faults.clear();
  TheLog().shortWrites.clear();
  TheLog().terminations.clear();
  TheLog().holds.clear();
  TheLog().fired = 0;
  TheLog().pendingShortWrite = false;
}

// ------------------------------------------------------------ console
std::string TakeStdout() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  std::string s;
  s.swap(TheConsole().captured);
  return s;
}

void SetStdoutPassthrough(bool on) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  TheConsole().passthrough = on;
}

void AppendStdout(const std::string& utf8) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  TheConsole().captured += utf8;
  if (TheConsole().passthrough) {
    fwrite(utf8.data(), 1, utf8.size(), stdout);
    fflush(stdout);
  }
}

// ------------------------------------------------------------ reset
void Reset() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  Handles().objects.clear();
  Log& log = TheLog();
  log.calls.clear();
  log.counts.clear();
  log.total = 0;
  log.enabled = true;
  ClearFaults();
  TheConsole().captured.clear();
  SetStdoutIsConsole(false);
  t_lastError = 0;
  log.killed = false;
  ResetProcess();
  ResetBackupContexts();
  ResetCrtStreams();
  ResetHostRoutes();
  ResetFileSystem();
}

}  // namespace sim

// ------------------------------------------------------------ last error
DWORD WINAPI GetLastError(void) {
  DWORD code = sim::t_lastError;
  sim::CallScope call("GetLastError", "", 0);
  call.result = std::to_string(code);
  return code;
}

void WINAPI SetLastError(DWORD code) {
  sim::CallScope call("SetLastError", std::to_string(code), 0);
  sim::t_lastError = code;
  call.result = "void";
}

namespace sim {
// For the simulation's own functions: set the error without logging a call.
void SetError(DWORD code) { t_lastError = code; }
DWORD PeekError() { return t_lastError; }
}  // namespace sim

// Kernel handles of every kind close here; a search handle is not a kernel
// handle and only FindClose takes it (CloseHandle on it: ERROR_INVALID_HANDLE).
BOOL WINAPI CloseHandle(HANDLE h) {
  sim::CallScope call("CloseHandle", sim::Hex(reinterpret_cast<uintptr_t>(h)),
                      sim::CallFaultable | sim::CallReleases);
  DWORD e;
  if (call.Faulted(&e)) return call.FailAs(e, FALSE, "0");
  std::shared_ptr<sim::HandleObject> o = sim::LookupHandle(h);
  if (!o || std::string(o->Kind()) == "find") {
    return call.Fail(ERROR_INVALID_HANDLE);
  }
  sim::RemoveHandle(h);
  call.result = "1";
  return TRUE;
}

// The process ends here: the exception unwinds to whoever ran wmain, which
// reads the exit code from it.
void WINAPI ExitProcess(UINT code) {
  {
    sim::CallScope call("ExitProcess", std::to_string(code));
    call.result = "void";
  }
  throw sim::ProcessExit{code};
}

namespace sim {

DWORD RunEntryPoint(int (*entry)(int, WCHAR**), std::vector<std::u16string> args) {
  std::vector<WCHAR*> argv;
  for (auto& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  DWORD code;
  try {
    code = static_cast<DWORD>(entry(static_cast<int>(args.size()), argv.data()));
  } catch (const ProcessExit& e) {
    code = e.code;
  }
  // However it ended, the process is gone: the system closes what it left
  // open, the streams of a killed process included.
  ResetCrtStreams();
  // A process killed in a release it made last ends with the kill's code.
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  Log& log = TheLog();
  if (log.killed) code = log.killCode;
  log.killed = false;
  return code;
}

void StopNotModelled(const std::string& what) { throw NotModelled("not modelled: " + what); }

}  // namespace sim
