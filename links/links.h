// The single link operations. Each takes zero-terminated wide paths owned by
// the caller and reports through its return value (and, for the success-flag
// operations, the thread's last error).
#pragma once

#include "platform/platform.h"

// Returns 1 when the link was made; 0 otherwise with the error as the thread's
// last error. flags: SYMBOLIC_LINK_FLAG_DIRECTORY (1) or 0; the
// unprivileged-create flag is added here while the system takes it.
int MakeSymbolicLink(LPCWSTR linkPath, LPCWSTR targetPath, DWORD flags);

// Nonzero when the link was made; 0 otherwise with the thread's last error set.
// The existing file comes first, the new name second.
int MakeHardLink(LPCWSTR existingPath, LPCWSTR newLinkPath);
int MakeHardLinkByBackup(LPCWSTR existingPath, LPCWSTR newLinkPath);

// 0 on success, otherwise the system error code of the step that failed.
DWORD MakeJunction(LPCWSTR junctionPath, LPCWSTR targetPath);

// 0 on success, 1 when the needed system function is missing, otherwise the
// system error code.
DWORD MountVolume(LPCWSTR volumePath, LPCWSTR mountDir);
DWORD UnmountVolume(LPCWSTR mountDir);

enum ReparseKind : LONG {
  ReparseKindNone = -1,
  ReparseKindDriveJunction = 1,
  ReparseKindVolumeMount = 2,
  ReparseKindSymbolicLink = 3,
};

// Classifies the reparse point at path; when target is given (room for 8192
// characters) it receives the target text for kinds 1, 2 and 3 and is left
// untouched otherwise.
ReparseKind QueryReparseTarget(LPCWSTR path, LPWSTR target);
bool IsDriveJunction(LPCWSTR path, LPWSTR target);
