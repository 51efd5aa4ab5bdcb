// Junctions: a directory carrying a mount-point reparse point whose
// substitute name is the NT form of a full target path.
#include "links/links.h"
#include "platform/full_path.h"
#include "platform/handle.h"
#include "platform/last_error.h"
#include "platform/ntfs_records.h"

namespace {

// Room for the reparse data of the longest target; more than the 16 KiB a
// reparse point may hold, so the file system, not this buffer, refuses an
// over-long one.
const DWORD ReparseBytes = 24576;

bool IsBackslash(WCHAR c) { return c == TEXT('\\'); }

// True when the name (the substitute name after its "\??\" or "\??\UNC\")
// ends in the backslash of a volume's root directory: a drive root ("D:\")
// or a volume GUID path ("Volume{...}\", as GetVolumeNameForVolumeMountPointW
// gives it). Without that backslash the name is the volume device, not its
// root folder.
bool EndsAtVolumeRoot(LPCWSTR name, DWORD chars) {
  if (chars < 2 || !IsBackslash(name[chars - 1])) {
    return false;
  }
  if (name[chars - 2] == TEXT(':')) {
    return true;
  }
  const WCHAR volume[] = TEXT("volume{");
  for (DWORD i = 0; volume[i] != 0; ++i) {
    WCHAR c = name[i];
    if (c >= TEXT('A') && c <= TEXT('Z')) {
      c = static_cast<WCHAR>(c - TEXT('A') + TEXT('a'));
    }
    if (i >= chars || c != volume[i]) {
      return false;
    }
  }
  for (DWORD i = 0; i + 1 < chars; ++i) {
    if (IsBackslash(name[i])) {
      return false;
    }
  }
  return true;
}

// Writes the reparse data onto the directory. Opening the reparse point
// itself, not what an existing junction points to, lets a junction be
// re-pointed in place. The handle is closed before this returns, so the
// caller may remove the directory. Returns 0 or the error code; *opened
// tells whether the directory could be opened at all.
DWORD WriteReparsePoint(LPCWSTR junctionPath, BYTE* reparse, DWORD bytes, bool* opened) {
  OwnedHandle directory(CreateFileW(junctionPath, GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
  *opened = directory.valid();
  if (!*opened) {
    return LastFailure();
  }
  DWORD returned = 0;
  if (!DeviceIoControl(directory.get(), FSCTL_SET_REPARSE_POINT, reparse, bytes, NULL, 0, &returned,
                       NULL)) {
    return LastFailure();
  }
  return ERROR_SUCCESS;
}

// The reparse data names the target the way the object manager sees it:
// "\??\" before a drive path, "\??\UNC\" before a server share. A path that
// already carries a Win32 device prefix ("\\?\" or "\\.\") only swaps that
// prefix, since the rest is already what the object manager expects.
// Returns the length in characters, or 0 when it would not fit.
DWORD BuildSubstituteName(LPCWSTR fullTarget, DWORD targetChars, LPWSTR out) {
  LPCWSTR prefix = TEXT("\\??\\");
  LPCWSTR rest = fullTarget;
  DWORD restChars = targetChars;
  if (targetChars >= 4 && HasDevicePrefix(fullTarget)) {
    rest = fullTarget + 4;
    restChars = targetChars - 4;
  } else if (targetChars >= 2 && IsBackslash(fullTarget[0]) && IsBackslash(fullTarget[1])) {
    prefix = TEXT("\\??\\UNC\\");
    rest = fullTarget + 2;
    restChars = targetChars - 2;
  }
  DWORD prefixChars = 0;
  while (prefix[prefixChars] != 0) {
    ++prefixChars;
  }
  if (prefixChars + restChars + 1 > FullPathChars) {
    return 0;
  }
  DWORD n = 0;
  for (DWORD i = 0; i < prefixChars; ++i) {
    out[n++] = prefix[i];
  }
  for (DWORD i = 0; i < restChars; ++i) {
    out[n++] = rest[i];
  }
  out[n] = 0;
  // A junction's substitute name carries no trailing backslash, except on a
  // volume's root ("\??\D:\", "\??\Volume{...}\"), where the backslash is
  // the root directory.
  if (n >= 2 && IsBackslash(out[n - 1]) && !EndsAtVolumeRoot(out + prefixChars, n - prefixChars)) {
    out[--n] = 0;
  }
  return n;
}

}  // namespace

DWORD MakeJunction(LPCWSTR junctionPath, LPCWSTR targetPath) {
  WCHAR fullTarget[FullPathChars];
  WCHAR fullJunction[FullPathChars];
  WCHAR substitute[FullPathChars];
  BYTE reparse[ReparseBytes];

  DWORD targetChars = 0;
  DWORD code = FullPathOf(targetPath, fullTarget, FullPathChars, &targetChars);
  if (code != ERROR_SUCCESS) {
    return code;
  }
  DWORD junctionChars = 0;
  code = FullPathOf(junctionPath, fullJunction, FullPathChars, &junctionChars);
  if (code != ERROR_SUCCESS) {
    return code;
  }

  // Everything that can be too long is measured before anything is created.
  // An empty substitute name cannot occur: it always keeps its "\??" start.
  DWORD substituteChars = BuildSubstituteName(fullTarget, targetChars, substitute);
  if (substituteChars == 0) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  const DWORD totalBytes =
      EncodeMountPoint(substitute, substituteChars, fullTarget, targetChars, reparse, ReparseBytes);
  if (totalBytes == 0) {
    return ERROR_FILENAME_EXCED_RANGE;
  }

  bool created = true;
  if (!CreateDirectoryW(junctionPath, NULL)) {
    code = LastFailure();
    if (code != ERROR_ALREADY_EXISTS) {
      return code;
    }
    created = false;
  }

  bool opened = false;
  code = WriteReparsePoint(junctionPath, reparse, totalBytes, &opened);
  // Only a directory this call made is taken away again, once the data could
  // not be written; one that was there before, empty or a junction, stays as
  // it was, and so does one made here that could not even be opened.
  if (code != ERROR_SUCCESS && opened && created) {
    RemoveDirectoryW(junctionPath);
  }
  return code;
}
