// Byte vectors of NTFS records for tests, fuzz targets and tools, built
// field by field through the product's record vocabulary, so that hostile
// records (lengths that disagree, names outside the data) can be written as
// easily as well-formed ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/ntfs_records.h"

namespace support {

typedef std::vector<uint8_t> Bytes;

inline void Append16(Bytes& v, uint32_t value) {
  v.resize(v.size() + 2);
  PutLE16(&v[v.size() - 2], value);
}
inline void Append32(Bytes& v, uint32_t value) {
  v.resize(v.size() + 4);
  PutLE32(&v[v.size() - 4], value);
}
// The name's UTF-16 units, without a terminator.
inline void AppendName(Bytes& v, const std::u16string& name) {
  for (char16_t c : name) Append16(v, c);
}
// Writes a field at a fixed offset, growing the vector to hold it.
inline void Put16At(Bytes& v, size_t at, uint32_t value) {
  if (v.size() < at + 2) v.resize(at + 2);
  PutLE16(&v[at], value);
}
inline void Put32At(Bytes& v, size_t at, uint32_t value) {
  if (v.size() < at + 4) v.resize(at + 4);
  PutLE32(&v[at], value);
}
inline uint32_t At16(const Bytes& v, size_t at) { return GetLE16(v.data() + at); }
inline uint32_t At32(const Bytes& v, size_t at) { return GetLE32(v.data() + at); }

// The UTF-16LE units of a run of bytes (a command or results file), in order;
// an odd last byte forms no unit and is left out.
inline std::u16string UnitsOf(const uint8_t* data, size_t size) {
  std::u16string units;
  for (size_t i = 0; i + 1 < size; i += 2) units.push_back(static_cast<char16_t>(GetLE16(data + i)));
  return units;
}
inline std::u16string UnitsOf(const Bytes& v) { return UnitsOf(v.data(), v.size()); }

// Well-formed mount-point data (a junction), in the layout the product's
// encoder writes: substitute name "\??\" + target, print name target.
inline Bytes JunctionRecord(const std::u16string& target) {
  const std::u16string substitute = u"\\??\\" + target;
  Bytes v(MountPointPathBufferAt + 2 * substitute.size() + 2 * target.size() + 4);
  v.resize(EncodeMountPoint(substitute.data(), static_cast<DWORD>(substitute.size()), target.data(),
                            static_cast<DWORD>(target.size()), v.data(), static_cast<DWORD>(v.size())));
  return v;
}

// Symbolic-link data: flags, then the substitute and print names, each
// terminated, in that order.
inline Bytes SymbolicLinkRecord(const std::u16string& substitute, const std::u16string& print,
                                uint32_t flags) {
  Bytes v;
  Append32(v, IO_REPARSE_TAG_SYMLINK);
  Append16(v, static_cast<uint32_t>(12 + 2 * substitute.size() + 2 * print.size() + 4));
  Append16(v, 0);
  Append16(v, 0);
  Append16(v, static_cast<uint32_t>(2 * substitute.size()));
  Append16(v, static_cast<uint32_t>(2 * substitute.size() + 2));
  Append16(v, static_cast<uint32_t>(2 * print.size()));
  Append32(v, flags);
  AppendName(v, substitute);
  Append16(v, 0);
  AppendName(v, print);
  Append16(v, 0);
  return v;
}

}  // namespace support
