// Reads the reparse point on a path and sorts it into a drive junction, a
// volume mount point or a symbolic link, optionally handing back its target.
#include "links/links.h"
#include "platform/handle.h"
#include "platform/ntfs_records.h"

namespace {

// The platform never returns more than MaxReparseDataBytes of reparse data;
// the buffer leaves room above that.
const DWORD ReparseBufferBytes = 17000;

// Copies one name of the reparse data into name and terminates it. The
// offsets and lengths come from the file system unchecked: a name reaching
// past the bytes the control call returned, or too long for the name buffer,
// is refused (returns 0) and nothing is copied.
int CopyName(const BYTE* data, DWORD returned, const ReparseRecord& record, DWORD offsetAt,
             DWORD lengthAt, WCHAR* name) {
  ReparseName found;
  if (!ReparseNameOf(data, returned, record, offsetAt, lengthAt, &found)) {
    return 0;
  }
  DWORD chars = found.bytes / 2;
  if (chars >= FullPathChars) {
    return 0;
  }
  for (DWORD i = 0; i < chars; ++i) {
    name[i] = static_cast<WCHAR>(GetLE16(found.at + 2 * static_cast<size_t>(i)));
  }
  name[chars] = 0;
  return 1;
}

void CopyText(LPWSTR target, const WCHAR* text) {
  DWORD i = 0;
  for (; text[i] != 0; ++i) {
    target[i] = text[i];
  }
  target[i] = 0;
}

// Sorts reparse data that the control call returned; fills target only for a
// recognised kind.
ReparseKind Classify(const BYTE* data, DWORD returned, LPWSTR target) {
  WCHAR name[FullPathChars];

  // Only two tags are understood, each with its own layout.
  ReparseRecord record;
  if (!DecodeReparse(data, returned, &record)) {
    return ReparseKindNone;
  }
  if (record.tag == IO_REPARSE_TAG_MOUNT_POINT) {
    if (!CopyName(data, returned, record, SubstituteNameOffsetAt, SubstituteNameLengthAt, name)) {
      return ReparseKindNone;
    }
    WCHAR* colon = wcsstr(name, TEXT(":"));
    if (colon != NULL) {
      // The drive path starts at the letter before the colon; a colon in
      // first place has no drive letter and is no drive path.
      if (colon == name) {
        return ReparseKindNone;
      }
      if (target != NULL) {
        CopyText(target, colon - 1);
      }
      return ReparseKindDriveJunction;
    }
    if (target != NULL) {
      CopyText(target, name);
      // "\??\" is the NT form of "\\?\": the second character tells them apart.
      if (name[0] != 0 && name[1] != 0) {
        target[1] = TEXT('\\');
      }
    }
    return ReparseKindVolumeMount;
  }
  if (!CopyName(data, returned, record, PrintNameOffsetAt, PrintNameLengthAt, name)) {
    return ReparseKindNone;
  }
  if (target != NULL) {
    CopyText(target, name);
  }
  return ReparseKindSymbolicLink;
}

}  // namespace

ReparseKind QueryReparseTarget(LPCWSTR path, LPWSTR target) {
  BYTE data[ReparseBufferBytes];

  // INVALID_FILE_ATTRIBUTES has every bit set, so an unreadable path goes on
  // to the open, which then decides.
  DWORD attributes = GetFileAttributesW(path);
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return ReparseKindNone;
  }
  // Access 0 is enough for FSCTL_GET_REPARSE_POINT; OPEN_REPARSE_POINT reads
  // the link itself instead of following it.
  OwnedHandle file(CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL));
  if (!file.valid()) {
    return ReparseKindNone;
  }
  DWORD returned = 0;
  if (!DeviceIoControl(file.get(), FSCTL_GET_REPARSE_POINT, NULL, 0, data, ReparseBufferBytes,
                       &returned, NULL)) {
    return ReparseKindNone;
  }
  return Classify(data, returned <= ReparseBufferBytes ? returned : ReparseBufferBytes, target);
}

bool IsDriveJunction(LPCWSTR path, LPWSTR target) {
  return QueryReparseTarget(path, target) == ReparseKindDriveJunction;
}
