// File and directory symbolic links through the system's CreateSymbolicLinkW.
#include "links/links.h"
#include "platform/last_error.h"
#include "platform/probe.h"

namespace {

bool FlagRefused() {
  return InterlockedCompareExchange(&KernelEntryPoints.unprivilegedFlagRefused, 0, 0) != 0;
}

void RememberFlagRefused() { InterlockedExchange(&KernelEntryPoints.unprivilegedFlagRefused, 1); }

// CreateSymbolicLinkW returns a BOOLEAN; callers test for exactly 1.
bool Create(LPCWSTR linkPath, LPCWSTR targetPath, DWORD flags) {
  return KernelEntryPoints.createSymbolicLink(linkPath, targetPath, flags) != 0;
}

}  // namespace

int MakeSymbolicLink(LPCWSTR linkPath, LPCWSTR targetPath, DWORD flags) {
  if (KernelEntryPoints.createSymbolicLink == NULL) {
    // Systems before Vista have no symbolic links; a stale last error from an
    // earlier call must not be mistaken for the reason, or for success.
    SetLastError(ERROR_INVALID_FUNCTION);
    return 0;
  }
  // With Developer Mode on, Windows 10 from build 14972 makes the link without
  // SeCreateSymbolicLinkPrivilege when asked to; with it off the flag changes
  // nothing. Older systems refuse the flag they do not know with
  // ERROR_INVALID_PARAMETER, so that answer is tried once more without it.
  const bool withFlag = !FlagRefused();
  if (Create(linkPath, targetPath, withFlag ? flags | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE : flags)) {
    return 1;
  }
  // The caller reads the reason from the last error: it must not be 0.
  DWORD code = LastFailure();
  if (withFlag && code == ERROR_INVALID_PARAMETER) {
    // Only when the answer changes without the flag was the flag its cause.
    if (Create(linkPath, targetPath, flags)) {
      RememberFlagRefused();
      return 1;
    }
    code = LastFailure();
    // A second ERROR_INVALID_PARAMETER says nothing about the flag, and
    // neither does ERROR_PRIVILEGE_NOT_HELD: without the flag a caller who
    // relies on Developer Mode is refused for want of the privilege, whatever
    // the first failure was. Switching the flag off on that answer would make
    // every later link fail the same way.
    if (code != ERROR_INVALID_PARAMETER && code != ERROR_PRIVILEGE_NOT_HELD) {
      RememberFlagRefused();
    }
  }
  SetLastError(code);
  return 0;
}
