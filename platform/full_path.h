// Absolute paths through GetFullPathNameW.
#pragma once

#include "platform/platform.h"

// Puts the absolute form of path into buffer, which holds capacity
// characters with the terminator, and its length into *chars. Returns 0,
// ERROR_FILENAME_EXCED_RANGE when the form does not fit (GetFullPathNameW
// then answers with the size it needs and leaves the buffer unfilled),
// ERROR_INVALID_NAME for a path that cannot be made absolute, or the code
// the call left.
DWORD FullPathOf(LPCWSTR path, LPWSTR buffer, DWORD capacity, DWORD* chars);

// True for a path in a Win32 device form, "\\?\..." or "\\.\...": it takes
// no second prefix. path holds at least one character before its terminator.
inline bool HasDevicePrefix(LPCWSTR path) {
  return path[0] == TEXT('\\') && path[1] == TEXT('\\') &&
         (path[2] == TEXT('?') || path[2] == TEXT('.')) && path[3] == TEXT('\\');
}
