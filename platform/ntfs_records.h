// The NTFS records this system writes and reads, byte for byte: the reparse
// data of mount points (junctions) and symbolic links, and the head of a
// backup stream. Every field is little-endian at a fixed offset, whatever
// the host; the decoder checks every offset and length against the bytes it
// was given, since reparse data read back from a volume is hostile input.
#pragma once

#include "platform/platform.h"

// ------------------------------------------------------------ size limits
// Characters of an absolute path in the product's path buffers, terminator
// included.
const DWORD FullPathChars = 8192;
// The most reparse data a reparse point holds (MAXIMUM_REPARSE_DATA_BUFFER_SIZE).
const DWORD MaxReparseDataBytes = 16384;

// ------------------------------------------------------------ little-endian fields
inline DWORD GetLE16(const BYTE* at) {
  return static_cast<DWORD>(at[0]) | (static_cast<DWORD>(at[1]) << 8);
}
inline DWORD GetLE32(const BYTE* at) { return GetLE16(at) | (GetLE16(at + 2) << 16); }
inline void PutLE16(BYTE* at, DWORD value) {
  at[0] = static_cast<BYTE>(value & 0xFF);
  at[1] = static_cast<BYTE>((value >> 8) & 0xFF);
}
inline void PutLE32(BYTE* at, DWORD value) {
  PutLE16(at, value & 0xFFFF);
  PutLE16(at + 2, value >> 16);
}

// ------------------------------------------------------------ reparse data
// REPARSE_DATA_BUFFER: tag, length of the data after the 8-byte header, a
// reserved field; then, for mount points and symbolic links, the offsets and
// lengths (in bytes, from the start of the path buffer) of the substitute
// and print names. A symbolic link has a flags field before its path buffer.
const DWORD ReparseTagAt = 0;
const DWORD ReparseDataLengthAt = 4;
const DWORD ReparseReservedAt = 6;
const DWORD ReparseHeaderBytes = 8;
const DWORD SubstituteNameOffsetAt = 8;
const DWORD SubstituteNameLengthAt = 10;
const DWORD PrintNameOffsetAt = 12;
const DWORD PrintNameLengthAt = 14;
const DWORD MountPointPathBufferAt = 16;
const DWORD SymbolicLinkFlagsAt = 16;
const DWORD SymbolicLinkPathBufferAt = 20;
// SYMLINK_FLAG_RELATIVE: the substitute name is relative to the link's folder.
const DWORD SymbolicLinkFlagRelative = 1;

// Writes mount-point reparse data in the one layout native NTFS accepts: the
// substitute name at offset 0 of the path buffer, the print name right after
// it, both terminated, and the data length ending at the print name's
// terminator. Returns the size of the record in bytes, or 0 when it would not
// fit in capacity bytes (nothing is written then).
inline DWORD EncodeMountPoint(const WCHAR* substitute, DWORD substituteChars, const WCHAR* print,
                              DWORD printChars, BYTE* out, DWORD capacity) {
  const DWORD substituteBytes = 2 * substituteChars;
  const DWORD printBytes = 2 * printChars;
  const DWORD total = MountPointPathBufferAt + substituteBytes + 2 + printBytes + 2;
  if (substituteChars > capacity || printChars > capacity || total > capacity ||
      total - ReparseHeaderBytes > 0xFFFF) {
    return 0;
  }
  PutLE32(out + ReparseTagAt, IO_REPARSE_TAG_MOUNT_POINT);
  PutLE16(out + ReparseDataLengthAt, total - ReparseHeaderBytes);
  PutLE16(out + ReparseReservedAt, 0);
  PutLE16(out + SubstituteNameOffsetAt, 0);
  PutLE16(out + SubstituteNameLengthAt, substituteBytes);
  PutLE16(out + PrintNameOffsetAt, substituteBytes + 2);
  PutLE16(out + PrintNameLengthAt, printBytes);
  BYTE* at = out + MountPointPathBufferAt;
  for (DWORD i = 0; i < substituteChars; ++i, at += 2) {
    PutLE16(at, substitute[i]);
  }
  PutLE16(at, 0);
  at += 2;
  for (DWORD i = 0; i < printChars; ++i, at += 2) {
    PutLE16(at, print[i]);
  }
  PutLE16(at, 0);
  return total;
}

// A name inside reparse data: its first byte and its length in bytes, both
// within the data. Names may start at any byte, so they are read with GetLE16.
struct ReparseName {
  const BYTE* at;
  DWORD bytes;
};

// The layout reparse data has, once its tag and length are checked.
struct ReparseRecord {
  DWORD tag;
  DWORD flags;       // a symbolic link's flags; 0 for a mount point
  DWORD pathBuffer;  // where the names' offsets count from
};

// Reads the head of mount-point or symbolic-link reparse data of `bytes`
// bytes. False for any other tag and for data too short for its layout.
inline bool DecodeReparse(const BYTE* data, DWORD bytes, ReparseRecord* record) {
  if (bytes < MountPointPathBufferAt) {
    return false;
  }
  record->tag = GetLE32(data + ReparseTagAt);
  if (record->tag == IO_REPARSE_TAG_MOUNT_POINT) {
    record->pathBuffer = MountPointPathBufferAt;
    record->flags = 0;
    return true;
  }
  if (record->tag == IO_REPARSE_TAG_SYMLINK && bytes >= SymbolicLinkPathBufferAt) {
    record->pathBuffer = SymbolicLinkPathBufferAt;
    record->flags = GetLE32(data + SymbolicLinkFlagsAt);
    return true;
  }
  return false;
}

// One of the two names of decoded reparse data: offsetAt and lengthAt are
// SubstituteNameOffsetAt and SubstituteNameLengthAt, or the print name's.
// False when the name reaches past the data.
inline bool ReparseNameOf(const BYTE* data, DWORD bytes, const ReparseRecord& record,
                          DWORD offsetAt, DWORD lengthAt, ReparseName* name) {
  const DWORD offset = GetLE16(data + offsetAt);
  // The last byte of an odd length is part of no character.
  const DWORD length = GetLE16(data + lengthAt) & ~static_cast<DWORD>(1);
  if (record.pathBuffer > bytes || offset > bytes - record.pathBuffer ||
      length > bytes - record.pathBuffer - offset) {
    return false;
  }
  name->at = data + record.pathBuffer + offset;
  name->bytes = length;
  return true;
}

// True when a name in NT or long-path form, after its "\??\" or "\\?\",
// names a volume's root folder: "Volume{...}\", in any case, with no other
// backslash. charAt(i) gives the name's i-th of `chars` characters. The mount
// manager writes a mounted folder's substitute name this way.
template <class CharAt>
bool IsVolumeRootName(CharAt charAt, DWORD chars) {
  const char volume[] = "volume{";
  const DWORD lead = sizeof volume - 1;
  if (chars <= lead || charAt(chars - 1) != '\\') {
    return false;
  }
  for (DWORD i = 0; i < lead; ++i) {
    DWORD c = charAt(i);
    if (c >= 'A' && c <= 'Z') {
      c += 'a' - 'A';
    }
    if (c != static_cast<DWORD>(volume[i])) {
      return false;
    }
  }
  for (DWORD i = lead; i + 1 < chars; ++i) {
    if (charAt(i) == '\\') {
      return false;
    }
  }
  return true;
}

// True for mount-point reparse data whose substitute name is a volume's root
// ("\??\Volume{...}\"): a mounted folder, not a junction to a directory.
inline bool NamesVolumeRoot(const BYTE* data, DWORD bytes) {
  ReparseRecord record;
  ReparseName name;
  if (!DecodeReparse(data, bytes, &record) || record.tag != IO_REPARSE_TAG_MOUNT_POINT ||
      !ReparseNameOf(data, bytes, record, SubstituteNameOffsetAt, SubstituteNameLengthAt, &name)) {
    return false;
  }
  const DWORD chars = name.bytes / 2;
  const BYTE* at = name.at;
  const char nt[] = "\\??\\";
  const DWORD prefix = sizeof nt - 1;
  for (DWORD i = 0; i < prefix; ++i) {
    if (i >= chars || GetLE16(at + 2 * static_cast<size_t>(i)) != static_cast<DWORD>(nt[i])) {
      return false;
    }
  }
  const BYTE* rest = at + 2 * static_cast<size_t>(prefix);
  return IsVolumeRootName([rest](DWORD i) { return GetLE16(rest + 2 * static_cast<size_t>(i)); },
                          chars - prefix);
}

// ------------------------------------------------------------ backup stream
// The fixed head of a WIN32_STREAM_ID: stream id, attributes, 64-bit size of
// the data that follows, size of the stream name (none here).
const DWORD StreamIdAt = 0;
const DWORD StreamAttributesAt = 4;
const DWORD StreamSizeAt = 8;
const DWORD StreamNameSizeAt = 16;
const DWORD StreamHeadBytes = 20;

inline void EncodeStreamHead(BYTE* out, DWORD streamId, DWORD dataBytes) {
  PutLE32(out + StreamIdAt, streamId);
  PutLE32(out + StreamAttributesAt, 0);
  PutLE32(out + StreamSizeAt, dataBytes);
  PutLE32(out + StreamSizeAt + 4, 0);
  PutLE32(out + StreamNameSizeAt, 0);
}
