// The process's standard output: a console or a redirected file or pipe.
// Whatever reaches it is captured as UTF-8 (sim::TakeStdout).
#include "sim/host_files.h"
#include "sim/sim.h"

namespace sim {
namespace {

// Standard handles belong to the process, not to the caller: they are not in
// the handle table, and nothing the product does closes them. Console
// handles before Windows 8 were small pseudo values like this one.
HANDLE const StdOutput = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(7));

bool& ConsoleFlag() {
  static bool console = false;
  return console;
}

}  // namespace

void SetStdoutIsConsole(bool console) {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  ConsoleFlag() = console;
}

bool StdoutIsConsole() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  return ConsoleFlag();
}

bool IsStdOutput(HANDLE h) { return h == StdOutput; }

}  // namespace sim

HANDLE WINAPI GetStdHandle(DWORD which) {
  sim::CallScope call("GetStdHandle", std::to_string(static_cast<int32_t>(which)));
  DWORD e;
  if (call.Faulted(&e)) return call.FailHandle(e);
  // Only standard output is modelled; input and error are not used.
  if (which != STD_OUTPUT_HANDLE) return call.FailHandle(ERROR_INVALID_HANDLE);
  call.result = sim::Hex(reinterpret_cast<uintptr_t>(sim::StdOutput));
  return sim::StdOutput;
}

// GetConsoleMode is how a program tells a console from a redirected handle:
// on a file or pipe it fails with ERROR_INVALID_HANDLE.
BOOL WINAPI GetConsoleMode(HANDLE console, LPDWORD mode) {
  sim::CallScope call("GetConsoleMode", sim::Hex(reinterpret_cast<uintptr_t>(console)));
  DWORD e;
  if (call.Faulted(&e)) return call.Fail(e);
  if (console != sim::StdOutput || !sim::ConsoleFlag()) return call.Fail(ERROR_INVALID_HANDLE);
  if (!mode) return call.Fail(ERROR_INVALID_PARAMETER);
  // ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT, a console's default.
  *mode = 3;
  call.result = "1";
  return TRUE;
}

// WriteConsoleW takes UTF-16 units and shows them as they are; on a handle
// that is not a console it fails with ERROR_INVALID_HANDLE.
BOOL WINAPI WriteConsoleW(HANDLE console, const void* text, DWORD chars, LPDWORD written,
                          LPVOID reserved) {
  (void)reserved;
  sim::CallScope call("WriteConsoleW", sim::Hex(reinterpret_cast<uintptr_t>(console)) + ", " +
                                           std::to_string(chars));
  DWORD e;
  if (call.Faulted(&e)) return call.Fail(e);
  if (console != sim::StdOutput || !sim::ConsoleFlag()) return call.Fail(ERROR_INVALID_HANDLE);
  if (!text && chars != 0) return call.Fail(ERROR_INVALID_ACCESS);
  const WCHAR* units = static_cast<const WCHAR*>(text);
  sim::AppendStdout(sim::U8(std::u16string(units, units + chars)));
  if (written) *written = chars;
  call.result = "1";
  return TRUE;
}
