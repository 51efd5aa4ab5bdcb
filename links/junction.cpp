// Junctions: a directory carrying a mount-point reparse point whose
// substitute name is the NT form of a full target path.
#include "links/links.h"
#include "platform/full_path.h"
#include "platform/handle.h"
#include "platform/last_error.h"
#include "platform/ntfs_records.h"

namespace {

bool IsBackslash(WCHAR c) { return c == TEXT('\\'); }

// True when the name (the substitute name after its "\??\" or "\??\UNC\")
// ends in the backslash of a volume's root directory: a drive root ("D:\")
// or a volume GUID path ("Volume{...}\", as GetVolumeNameForVolumeMountPointW
// gives it). Without that backslash the name is the volume device, not its
// root folder.
bool EndsAtVolumeRoot(LPCWSTR name, DWORD chars) {
  if (chars >= 2 && IsBackslash(name[chars - 1]) && name[chars - 2] == TEXT(':')) {
    return true;
  }
  return IsVolumeRootName([name](DWORD i) { return name[i]; }, chars);
}

// Writes the reparse data onto the directory. Opening the reparse point
// itself, not what an existing junction points to, lets a junction be
// re-pointed in place. A directory that was there before is first read back
// through the same handle, which no one else can open meanwhile: one whose
// data names a volume is a mounted folder, which keeps its volume (the mount
// functions, not a junction, undo it), and is refused as a directory that is
// not empty. The handle is closed before this returns, so the caller may
// remove the directory. Returns 0 or the error code; *opened tells whether
// the directory could be opened at all.
DWORD WriteReparsePoint(LPCWSTR junctionPath, const JunctionData& data, bool existed, bool* opened) {
  OwnedHandle directory(CreateFileW(junctionPath, GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
  *opened = directory.valid();
  if (!*opened) {
    return LastFailure();
  }
  DWORD returned = 0;
  if (existed) {
    BYTE present[MaxReparseDataBytes];
    if (DeviceIoControl(directory.get(), FSCTL_GET_REPARSE_POINT, NULL, 0, present, MaxReparseDataBytes,
                        &returned, NULL)) {
      if (NamesVolumeRoot(present, returned <= MaxReparseDataBytes ? returned : MaxReparseDataBytes)) {
        return ERROR_DIR_NOT_EMPTY;
      }
    } else {
      const DWORD code = LastFailure();
      if (code != ERROR_NOT_A_REPARSE_POINT) {
        return code;
      }
    }
  }
  if (!DeviceIoControl(directory.get(), FSCTL_SET_REPARSE_POINT, const_cast<BYTE*>(data.bytes), data.size,
                       NULL, 0, &returned, NULL)) {
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

DWORD BuildJunction(LPCWSTR junctionPath, LPCWSTR targetPath, JunctionData* data) {
  WCHAR fullTarget[FullPathChars];
  WCHAR fullJunction[FullPathChars];
  WCHAR substitute[FullPathChars];

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
  // No reparse point holds more than 16 KiB, and NTFS refuses a longer record
  // with ERROR_INVALID_REPARSE_DATA: a drive path of more than 4,089
  // characters makes one. A substitute name or record too long for its own
  // buffer is far past that limit, so it gets the same code; it is known
  // here, before anything is made or removed. An empty substitute name cannot
  // occur: it always keeps its "\??" start.
  DWORD substituteChars = BuildSubstituteName(fullTarget, targetChars, substitute);
  if (substituteChars == 0) {
    return ERROR_INVALID_REPARSE_DATA;
  }
  data->size = EncodeMountPoint(substitute, substituteChars, fullTarget, targetChars, data->bytes,
                                JunctionDataBytes);
  if (data->size == 0 || data->size > MaxReparseDataBytes) {
    return ERROR_INVALID_REPARSE_DATA;
  }
  return ERROR_SUCCESS;
}

DWORD PlaceJunction(LPCWSTR junctionPath, const JunctionData& data) {
  bool created = true;
  if (!CreateDirectoryW(junctionPath, NULL)) {
    DWORD code = LastFailure();
    if (code != ERROR_ALREADY_EXISTS) {
      return code;
    }
    created = false;
  }

  bool opened = false;
  DWORD code = WriteReparsePoint(junctionPath, data, !created, &opened);
  // Only a directory this call made is taken away again, once the data could
  // not be written; one that was there before, empty or a junction, stays as
  // it was, and so does one made here that could not even be opened.
  if (code != ERROR_SUCCESS && opened && created) {
    RemoveDirectoryW(junctionPath);
  }
  return code;
}

DWORD MakeJunction(LPCWSTR junctionPath, LPCWSTR targetPath) {
  // Everything that can be too long is measured before anything is created.
  JunctionData data;
  DWORD code = BuildJunction(junctionPath, targetPath, &data);
  if (code != ERROR_SUCCESS) {
    return code;
  }
  return PlaceJunction(junctionPath, data);
}
