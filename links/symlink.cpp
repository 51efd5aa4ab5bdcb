// File and directory symbolic links through the system's CreateSymbolicLinkW.
#include "links/links.h"
#include "platform/last_error.h"
#include "platform/probe.h"

int MakeSymbolicLink(LPCWSTR linkPath, LPCWSTR targetPath, DWORD flags) {
  if (KernelEntryPoints.createSymbolicLink == NULL) {
    // Systems before Vista have no symbolic links; a stale last error from an
    // earlier call must not be mistaken for the reason, or for success.
    SetLastError(ERROR_INVALID_FUNCTION);
    return 0;
  }
  // CreateSymbolicLinkW returns a BOOLEAN; callers test for exactly 1.
  BOOLEAN made = KernelEntryPoints.createSymbolicLink(linkPath, targetPath, flags);
  if (made == 0) {
    // The caller reads the reason from the last error: it must not be 0.
    SetLastError(LastFailure());
    return 0;
  }
  return 1;
}
