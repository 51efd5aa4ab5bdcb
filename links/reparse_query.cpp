// Reads the reparse point on a path and sorts it into a drive junction, a
// volume mount point or a symbolic link, optionally handing back its target.
#include "links/links.h"

namespace {

// The platform never returns more than 16384 bytes of reparse data; the
// buffer leaves room above that.
const DWORD ReparseBufferBytes = 17000;
const DWORD NameBufferChars = 8192;

// REPARSE_DATA_BUFFER: a mount point's PathBuffer starts at offset 16; a
// symbolic link carries a 4-byte Flags field first, so its PathBuffer starts
// at offset 20. Name offsets and lengths count bytes from there.
const DWORD MountPointPathBuffer = 16;
const DWORD SymbolicLinkPathBuffer = 20;
const DWORD SubstituteNameOffsetAt = 8;
const DWORD SubstituteNameLengthAt = 10;
const DWORD PrintNameOffsetAt = 12;
const DWORD PrintNameLengthAt = 14;

DWORD ReadLittleEndian16(const BYTE* at) {
  return static_cast<DWORD>(at[0]) | (static_cast<DWORD>(at[1]) << 8);
}

DWORD ReadLittleEndian32(const BYTE* at) {
  return ReadLittleEndian16(at) | (ReadLittleEndian16(at + 2) << 16);
}

// Copies the name at pathBuffer + offset of lengthBytes into name and
// terminates it. The offsets and lengths come from the file system unchecked:
// a name reaching past the bytes the control call returned, or too long for
// the name buffer, is refused (returns 0) and nothing is copied.
int CopyName(const BYTE* data, DWORD returned, DWORD pathBuffer, DWORD offset, DWORD lengthBytes,
             WCHAR* name) {
  DWORD chars = lengthBytes / 2;
  if (chars >= NameBufferChars) {
    return 0;
  }
  if (pathBuffer > returned || offset > returned - pathBuffer ||
      chars * 2 > returned - pathBuffer - offset) {
    return 0;
  }
  // Names sit at any byte offset, so they are read byte-wise, not as WCHARs.
  const BYTE* from = data + pathBuffer + offset;
  for (DWORD i = 0; i < chars; ++i) {
    name[i] = static_cast<WCHAR>(ReadLittleEndian16(from + 2 * i));
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
  WCHAR name[NameBufferChars];

  if (returned < MountPointPathBuffer) {
    return ReparseKindNone;
  }
  DWORD tag = ReadLittleEndian32(data);
  // Bit 31 marks a tag owned by Microsoft; only two of those are understood.
  if ((tag & 0x80000000UL) == 0) {
    return ReparseKindNone;
  }
  if (tag == IO_REPARSE_TAG_MOUNT_POINT) {
    if (!CopyName(data, returned, MountPointPathBuffer, ReadLittleEndian16(data + SubstituteNameOffsetAt),
                  ReadLittleEndian16(data + SubstituteNameLengthAt), name)) {
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
  if (tag == IO_REPARSE_TAG_SYMLINK) {
    if (returned < SymbolicLinkPathBuffer ||
        !CopyName(data, returned, SymbolicLinkPathBuffer, ReadLittleEndian16(data + PrintNameOffsetAt),
                  ReadLittleEndian16(data + PrintNameLengthAt), name)) {
      return ReparseKindNone;
    }
    if (target != NULL) {
      CopyText(target, name);
    }
    return ReparseKindSymbolicLink;
  }
  return ReparseKindNone;
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
  HANDLE file = CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    return ReparseKindNone;
  }
  DWORD returned = 0;
  ReparseKind kind = ReparseKindNone;
  if (DeviceIoControl(file, FSCTL_GET_REPARSE_POINT, NULL, 0, data, ReparseBufferBytes, &returned,
                      NULL)) {
    kind = Classify(data, returned <= ReparseBufferBytes ? returned : ReparseBufferBytes, target);
  }
  CloseHandle(file);
  return kind;
}

bool IsDriveJunction(LPCWSTR path, LPWSTR target) {
  return QueryReparseTarget(path, target) == ReparseKindDriveJunction;
}
