// Absolute paths through GetFullPathNameW.
#include "platform/full_path.h"

#include "platform/last_error.h"

DWORD FullPathOf(LPCWSTR path, LPWSTR buffer, DWORD capacity, DWORD* chars) {
  // GetFullPathNameW refuses an empty path without setting a last error on
  // current systems (Windows 7 set ERROR_INVALID_NAME), so whatever error an
  // earlier call left would be taken for the reason; it is not asked.
  if (path == NULL || path[0] == 0) {
    return ERROR_INVALID_NAME;
  }
  DWORD n = GetFullPathNameW(path, capacity, buffer, NULL);
  if (n == 0) {
    return LastErrorOr(ERROR_INVALID_NAME);
  }
  if (n >= capacity) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  *chars = n;
  return ERROR_SUCCESS;
}
