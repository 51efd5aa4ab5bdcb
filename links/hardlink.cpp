// Hard links through CreateHardLinkW, or through a link record written into
// the existing file's backup stream where that is the only or the required
// way (systems without CreateHardLinkW, and Windows 2000).
#include "links/links.h"
#include "platform/full_path.h"
#include "platform/handle.h"
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

// One stream written with BackupWrite. The context BackupWrite keeps between
// calls is released (a final call with bAbort) when the stream goes out of
// scope, before the file it belongs to is closed by its owner.
class BackupStream {
 public:
  explicit BackupStream(HANDLE file) : file_(file), context_(NULL) {}
  ~BackupStream() {
    if (context_ != NULL) {
      DWORD written = 0;
      BackupWrite(file_, NULL, 0, &written, TRUE, FALSE, &context_);
    }
  }
  BackupStream(const BackupStream&) = delete;
  BackupStream& operator=(const BackupStream&) = delete;

  // Writes all of bytes: 0, or the error code. A short write has no error
  // code of its own, so it is reported as a write fault.
  DWORD Write(BYTE* data, DWORD bytes) {
    DWORD written = 0;
    if (!BackupWrite(file_, data, bytes, &written, FALSE, FALSE, &context_)) {
      return LastFailure();
    }
    return written == bytes ? ERROR_SUCCESS : static_cast<DWORD>(ERROR_WRITE_FAULT);
  }

 private:
  HANDLE file_;
  LPVOID context_;
};

// Writes a link stream naming the absolute form of newLinkPath into the open
// file. Returns 0 or the error code.
DWORD WriteLinkStream(HANDLE file, LPCWSTR newLinkPath) {
  DWORD chars = 0;
  DWORD code = FullPathOf(newLinkPath, BackupFullPath, FullPathChars, &chars);
  if (code != ERROR_SUCCESS) {
    return code;
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
  BackupStream stream(file);
  code = stream.Write(head, StreamHeadBytes);
  if (code != ERROR_SUCCESS) {
    return code;
  }
  return stream.Write(reinterpret_cast<BYTE*>(BackupLinkName), dataBytes);
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
  bool taken = false;
  {
    OwnedHandle existing(CreateFileW(path, 0, 0, NULL, OPEN_EXISTING, 0, NULL));
    taken = existing.valid();
  }
  if (taken) {
    SetLastError(ERROR_ALREADY_EXISTS);
    return 0;
  }

  if (!FullPathInto(existingPath, path)) {
    return 0;
  }
  DWORD code = ERROR_SUCCESS;
  {
    OwnedHandle file(CreateFileW(path, GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, NULL));
    if (!file.valid()) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return 0;
    }
    code = WriteLinkStream(file.get(), newLinkPath);
  }
  // Set once the stream and the file are released, whose calls change the
  // last error.
  if (code != ERROR_SUCCESS) {
    SetLastError(code);
    return 0;
  }
  return 1;
}
