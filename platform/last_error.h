// The error code of a call that just failed.
#pragma once

#include "platform/platform.h"

// Some calls fail without setting a last error: GetFullPathNameW on an empty
// path on current Windows, and stubs of functions a system only pretends to
// have. The thread's last error is then whatever came before, often 0, and a
// 0 taken as the code would report the failure as success. whenUnset is the
// code to report instead: ERROR_INVALID_NAME for a path that cannot be made
// absolute, ERROR_INVALID_FUNCTION for any other call.
inline DWORD LastErrorOr(DWORD whenUnset) {
  DWORD code = GetLastError();
  return code != ERROR_SUCCESS ? code : whenUnset;
}

// The code of any failed call other than a full-path one.
inline DWORD LastFailure() { return LastErrorOr(ERROR_INVALID_FUNCTION); }
