// The NTFS record vocabulary against bytes written out by hand: the encoders
// must produce exactly these, the decoder must read them and refuse every
// field that points outside the data.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "platform/ntfs_records.h"

namespace {

// A junction to C:\x: tag 0xA0000003, data length 0x24 (36 bytes after the header), reserved 0; the
// substitute name "\??\C:\x" at 0 (16 bytes), the print name "C:\x" at 18
// (8 bytes), each followed by a zero unit.
const std::vector<BYTE> JunctionToCx = {
    0x03, 0x00, 0x00, 0xA0, 0x24, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x12, 0x00, 0x08, 0x00,
    '\\', 0,    '?',  0,    '?',  0,    '\\', 0,    'C',  0,    ':',  0,    '\\', 0,    'x',  0,
    0,    0,    'C',  0,    ':',  0,    '\\', 0,    'x',  0,    0,    0};

TEST(NtfsRecords, MountPointEncodesTheNativeLayout) {
  const WCHAR substitute[] = TEXT("\\??\\C:\\x");
  const WCHAR print[] = TEXT("C:\\x");
  std::vector<BYTE> out(64, 0xEE);
  DWORD bytes = EncodeMountPoint(substitute, 8, print, 4, out.data(), static_cast<DWORD>(out.size()));
  ASSERT_EQ(bytes, JunctionToCx.size());
  EXPECT_EQ(std::vector<BYTE>(out.begin(), out.begin() + bytes), JunctionToCx);
  EXPECT_EQ(out[bytes], 0xEE) << "written past the record";

  // One byte too little room: nothing is written.
  std::vector<BYTE> tight(JunctionToCx.size() - 1, 0xEE);
  EXPECT_EQ(EncodeMountPoint(substitute, 8, print, 4, tight.data(), static_cast<DWORD>(tight.size())), 0u);
  EXPECT_EQ(tight, std::vector<BYTE>(JunctionToCx.size() - 1, 0xEE));
}

TEST(NtfsRecords, DecoderReadsBothLayouts) {
  ReparseRecord record;
  ASSERT_TRUE(DecodeReparse(JunctionToCx.data(), static_cast<DWORD>(JunctionToCx.size()), &record));
  EXPECT_EQ(record.tag, 0xA0000003u);
  EXPECT_EQ(record.pathBuffer, 16u);
  ReparseName name;
  ASSERT_TRUE(ReparseNameOf(JunctionToCx.data(), static_cast<DWORD>(JunctionToCx.size()), record,
                            PrintNameOffsetAt, PrintNameLengthAt, &name));
  EXPECT_EQ(name.at - JunctionToCx.data(), 34);
  EXPECT_EQ(name.bytes, 8u);

  // A relative symbolic link "a": tag 0xA000000C, flags 1, both names "a".
  const std::vector<BYTE> link = {0x0C, 0x00, 0x00, 0xA0, 0x10, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00,
                                   0x04, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00, 0x00, 'a',  0,    0,    0,
                                   'a',  0,    0,    0};
  ASSERT_TRUE(DecodeReparse(link.data(), static_cast<DWORD>(link.size()), &record));
  EXPECT_EQ(record.flags, SymbolicLinkFlagRelative);
  EXPECT_EQ(record.pathBuffer, 20u);
  ASSERT_TRUE(ReparseNameOf(link.data(), static_cast<DWORD>(link.size()), record, SubstituteNameOffsetAt,
                            SubstituteNameLengthAt, &name));
  EXPECT_EQ(GetLE16(name.at), static_cast<DWORD>('a'));
}

// Hostile data: too short for its layout, another tag, names past the end,
// an odd length whose last byte lies outside.
TEST(NtfsRecords, DecoderRefusesWhatReachesOutside) {
  ReparseRecord record;
  EXPECT_FALSE(DecodeReparse(JunctionToCx.data(), 15, &record));
  std::vector<BYTE> data = JunctionToCx;
  data[0] = 0x04;  // IO_REPARSE_TAG_HSM-like, not understood
  EXPECT_FALSE(DecodeReparse(data.data(), static_cast<DWORD>(data.size()), &record));
  // A symbolic-link tag on 16..19 bytes has no room for its flags.
  data = JunctionToCx;
  data[0] = 0x0C;
  EXPECT_FALSE(DecodeReparse(data.data(), 19, &record));

  ReparseName name;
  const DWORD size = static_cast<DWORD>(JunctionToCx.size());
  ASSERT_TRUE(DecodeReparse(JunctionToCx.data(), size, &record));
  data = JunctionToCx;
  PutLE16(data.data() + PrintNameOffsetAt, 0xFFFF);
  EXPECT_FALSE(ReparseNameOf(data.data(), size, record, PrintNameOffsetAt, PrintNameLengthAt, &name));
  data = JunctionToCx;
  PutLE16(data.data() + PrintNameLengthAt, 0xFFFE);
  EXPECT_FALSE(ReparseNameOf(data.data(), size, record, PrintNameOffsetAt, PrintNameLengthAt, &name));
  // Print name at 18 with 10 bytes ends exactly at the end: within. With 11
  // bytes the odd byte would be outside, but it is part of no character.
  data = JunctionToCx;
  PutLE16(data.data() + PrintNameLengthAt, 10);
  EXPECT_TRUE(ReparseNameOf(data.data(), size, record, PrintNameOffsetAt, PrintNameLengthAt, &name));
  PutLE16(data.data() + PrintNameLengthAt, 11);
  ASSERT_TRUE(ReparseNameOf(data.data(), size, record, PrintNameOffsetAt, PrintNameLengthAt, &name));
  EXPECT_EQ(name.bytes, 10u);
  PutLE16(data.data() + PrintNameLengthAt, 12);
  EXPECT_FALSE(ReparseNameOf(data.data(), size, record, PrintNameOffsetAt, PrintNameLengthAt, &name));
}

// A mounted folder's data names a volume's root, "\??\Volume{...}\", in any
// case; a folder on a volume, short data or another tag do not.
TEST(NtfsRecords, NamesVolumeRootTellsMountedFolders) {
  const std::pair<const WCHAR*, bool> rows[] = {
      {TEXT("\\??\\Volume{1b0c0044-5eed-4a11-9c0d-0000d15c0044}\\"), true},
      {TEXT("\\??\\vOLUME{1b0c0044-5eed-4a11-9c0d-0000d15c0044}\\"), true},
      {TEXT("\\??\\Volume{1b0c0044-5eed-4a11-9c0d-0000d15c0044}\\dir"), false},
  };
  for (const auto& row : rows) {
    DWORD chars = 0;
    while (row.first[chars] != 0) ++chars;
    std::vector<BYTE> data(MountPointPathBufferAt + 2 * chars + 4);
    const DWORD size = static_cast<DWORD>(data.size());
    EXPECT_EQ(NamesVolumeRoot(data.data(), EncodeMountPoint(row.first, chars, TEXT(""), 0, data.data(), size)),
              row.second);
    EXPECT_FALSE(NamesVolumeRoot(data.data(), size - 6)) << "the name's last character cut off";
    data[0] = 0x0C;
    EXPECT_FALSE(NamesVolumeRoot(data.data(), size));
  }
}

// The head of a BACKUP_LINK stream of 10 bytes: id 5, no attributes, a
// 64-bit size, no stream name.
TEST(NtfsRecords, StreamHead) {
  BYTE head[StreamHeadBytes + 1];
  head[StreamHeadBytes] = 0xEE;
  EncodeStreamHead(head, 5, 10);
  const std::vector<BYTE> want = {5, 0, 0, 0, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(std::vector<BYTE>(head, head + StreamHeadBytes), want);
  EXPECT_EQ(head[StreamHeadBytes], 0xEE);
}

}  // namespace
