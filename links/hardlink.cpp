// Hard links through CreateHardLinkW, or through a link record written into
// the existing file's backup stream where that is the only or the required
// way (systems without CreateHardLinkW, and Windows 2000).
#include "links/links.h"
#include "platform/full_path.h"
#include "platform/last_error.h"
#include "platform/ntfs_records.h"
#include "platform/probe.h"

namespace {

const DWORD LinkNameChars = 16384;

// Shared by every call of MakeHardLinkByBackup, which is therefore not
// reentrant: only one thread may make backup links at a time.
WCHAR BackupFullPath[FullPathChars];
WCHAR BackupLinkName[LinkNameChars];

// 1 with the absolute path in buffer, or 0 with the reason as the last error.
int FullPathInto(LPCWSTR path, LPWSTR buffer) {
  DWORD chars = 0;
  DWORD code = FullPathOf(path, buffer, FullPathChars, &chars);
  if (code != ERROR_SUCCESS) {
    SetLastError(code);
    return 0;
  }
  return 1;
}

// Releases the backup context if one was started and closes the file, with
// the failure's code left as the thread's last error.
int FailBackup(HANDLE file, LPVOID* context, DWORD code) {
  DWORD written = 0;
  if (*context != NULL) {
    BackupWrite(file, NULL, 0, &written, TRUE, FALSE, context);
  }
  CloseHandle(file);
  SetLastError(code);
  return 0;
}

// Writes all of bytes or fails: a short write has no error code of its own,
// so it is reported as a write fault.
int WriteStream(HANDLE file, BYTE* data, DWORD bytes, LPVOID* context) {
  DWORD written = 0;
  if (!BackupWrite(file, data, bytes, &written, FALSE, FALSE, context)) {
    return FailBackup(file, context, LastFailure());
  }
  if (written != bytes) {
    return FailBackup(file, context, ERROR_WRITE_FAULT);
  }
  return 1;
}

}  // namespace

int MakeHardLink(LPCWSTR existingPath, LPCWSTR newLinkPath) {
  if (KernelEntryPoints.createHardLink != NULL && !ForceBackupHardLink) {
    if (!KernelEntryPoints.createHardLink(newLinkPath, existingPath, NULL)) {
      // The caller reads the reason from the last error: it must not be 0.
      SetLastError(LastFailure());
      return 0;
    }
    return 1;
  }
  return MakeHardLinkByBackup(existingPath, newLinkPath);
}

int MakeHardLinkByBackup(LPCWSTR existingPath, LPCWSTR newLinkPath) {
  WCHAR path[FullPathChars];

  if (!FullPathInto(newLinkPath, path)) {
    return 0;
  }
  // Access 0 opens anything that exists without conflicting with other opens.
  HANDLE taken = CreateFileW(path, 0, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (taken != INVALID_HANDLE_VALUE) {
    CloseHandle(taken);
    SetLastError(ERROR_ALREADY_EXISTS);
    return 0;
  }

  if (!FullPathInto(existingPath, path)) {
    return 0;
  }
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
  }

  if (!FullPathInto(newLinkPath, BackupFullPath)) {
    DWORD code = GetLastError();
    CloseHandle(file);
    SetLastError(code);
    return 0;
  }
  DWORD length = 0;
  while (length < FullPathChars && BackupFullPath[length] != 0) {
    BackupLinkName[length] = BackupFullPath[length];
    ++length;
  }
  for (DWORD i = length; i < LinkNameChars; ++i) {
    BackupLinkName[i] = 0;
  }
  const DWORD dataBytes = 2 * length + 2;

  // A link stream carries no stream name.
  BYTE head[StreamHeadBytes];
  EncodeStreamHead(head, BACKUP_LINK, dataBytes);

  LPVOID context = NULL;
  if (!WriteStream(file, head, StreamHeadBytes, &context)) {
    return 0;
  }
  if (!WriteStream(file, reinterpret_cast<BYTE*>(BackupLinkName), dataBytes, &context)) {
    return 0;
  }
  DWORD written = 0;
  BackupWrite(file, NULL, 0, &written, TRUE, FALSE, &context);
  CloseHandle(file);
  return 1;
}
