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

// Room for the reparse data BuildJunction encodes, before it checks the
// record against the 16 KiB a reparse point may hold (MaxReparseDataBytes).
// A drive target of up to 6,137 characters fits; a longer one, like one over
// 4,089, is refused with ERROR_INVALID_REPARSE_DATA.
const DWORD JunctionDataBytes = 24576;

// A junction's mount-point reparse data, built before anything on disk is
// touched.
struct JunctionData {
  BYTE bytes[JunctionDataBytes];
  DWORD size;
};

// Makes both paths absolute and builds the data of a junction to targetPath:
// 0, or the code that stops the junction (ERROR_INVALID_NAME for a path that
// cannot be made absolute, ERROR_FILENAME_EXCED_RANGE for one whose full
// form passes 8191 characters, ERROR_INVALID_REPARSE_DATA for data no
// reparse point holds).
DWORD BuildJunction(LPCWSTR junctionPath, LPCWSTR targetPath, JunctionData* data);
// Puts built data on junctionPath: a new directory, an existing empty one, or
// a junction, which is re-pointed in place. A mounted folder is refused with
// ERROR_DIR_NOT_EMPTY and left as it is. 0, or the code of the step that
// failed; a directory made here is removed again when the data cannot be
// written.
DWORD PlaceJunction(LPCWSTR junctionPath, const JunctionData& data);
// BuildJunction, then PlaceJunction (the j command).
DWORD MakeJunction(LPCWSTR junctionPath, LPCWSTR targetPath);
// The l command: builds the new junction's data first, so that a target that
// cannot be a junction leaves junctionPath as it was; then re-points a
// junction in place (a mounted folder is refused as PlaceJunction does), and
// removes anything else with RemoveDirectoryW before the junction is made.
// 0, the code that stopped the data, the code of the look at junctionPath
// (nothing is removed when it fails), the removal's code, or PlaceJunction's.
DWORD RepointJunction(LPCWSTR junctionPath, LPCWSTR targetPath);

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
