// WriteFile on standard output, on the simulated volumes and on host-routed
// files.
#include <algorithm>

#include "sim/fs_model.h"
#include "sim/host_files.h"

namespace fs = sim::fs;

BOOL WINAPI WriteFile(HANDLE h, LPCVOID buffer, DWORD bytes, LPDWORD written, LPOVERLAPPED overlapped) {
  sim::CallScope call("WriteFile", sim::Hex(reinterpret_cast<uintptr_t>(h)) + ", " + std::to_string(bytes));
  // The count may be left out only for an overlapped write, and the model
  // has no overlapped handles: either is a misuse that stops the run loudly.
  if (overlapped) sim::StopNotModelled("WriteFile with an OVERLAPPED");
  if (!written) sim::StopNotModelled("WriteFile without a byte count or an OVERLAPPED");
  // WriteFile sets the count to zero before any work or error checking.
  *written = 0;
  DWORD e;
  if (call.Faulted(&e)) return call.Fail(e);
  // The buffer is probed once the handle has been found good: a null one
  // with bytes to write is ERROR_INVALID_ACCESS.
  const bool badBuffer = !buffer && bytes != 0;
  // Standard output passes the bytes on untranslated.
  if (sim::IsStdOutput(h)) {
    if (badBuffer) return call.Fail(ERROR_INVALID_ACCESS);
    const char* p = static_cast<const char*>(buffer);
    sim::AppendStdout(std::string(p, p + bytes));
    *written = bytes;
    call.result = "1";
    return TRUE;
  }
  std::shared_ptr<sim::HandleObject> object = sim::LookupHandle(h);
  if (auto host = std::dynamic_pointer_cast<sim::HostFileHandle>(object)) {
    if (badBuffer) return call.Fail(ERROR_INVALID_ACCESS);
    if ((e = sim::WriteHostFile(*host, buffer, bytes)) != 0) return call.Fail(e);
    *written = bytes;
    call.result = "1";
    return TRUE;
  }
  // A closed handle, or one that is not a file (a thread, a token, a search
  // handle, which is no kernel handle at all): ERROR_INVALID_HANDLE.
  auto file = std::dynamic_pointer_cast<fs::FileHandle>(object);
  if (!file) return call.Fail(ERROR_INVALID_HANDLE);
  // The handle must have been opened with write or append access.
  const bool writeData = (file->open.access & FILE_WRITE_DATA) != 0;
  const bool appendData = (file->open.access & FILE_APPEND_DATA) != 0;
  if (!writeData && !appendData) return call.Fail(ERROR_ACCESS_DENIED);
  fs::Node& n = *file->node;
  // A data write on a directory handle: ERROR_INVALID_FUNCTION (libuv maps
  // it to EISDIR because Windows gives it for read and write on a
  // directory; Wine 8 gives ERROR_INVALID_HANDLE instead).
  if (n.isDirectory) return call.Fail(ERROR_INVALID_FUNCTION);
  if (badBuffer) return call.Fail(ERROR_INVALID_ACCESS);
  // A null write writes nothing and neither truncates nor extends the file.
  if (bytes > 0) {
    DWORD take = bytes;
    DWORD shortCount;
    if (sim::TakeShortWrite(&shortCount) && shortCount < take) take = shortCount;
    // A handle with append access only writes at the end of the file.
    if (!writeData) file->position = n.content.size();
    const uint64_t end = file->position + take;
    // Writing past the end extends the file; the gap reads as zeros.
    if (n.content.size() < end) n.content.resize(static_cast<size_t>(end), 0);
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    std::copy(p, p + take, n.content.begin() + static_cast<std::ptrdiff_t>(file->position));
    file->position = end;
    *written = take;
  }
  // Success leaves the thread's last error as it was.
  call.result = "1";
  return TRUE;
}
