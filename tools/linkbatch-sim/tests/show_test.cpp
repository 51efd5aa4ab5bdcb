#include <gtest/gtest.h>

#include "show.h"
#include "sim/sim.h"
#include "support/record_bytes.h"

namespace {

using lbsim::DescribeReparse;
using lbsim::ReparseView;

void PutName(std::vector<uint8_t>* d, size_t at, const std::u16string& s) {
  for (size_t i = 0; i < s.size(); ++i) support::Put16At(*d, at + 2 * i, s[i]);
}

// Reparse data in the Microsoft layout: substitute name first, then the
// print name, both terminated; symlink adds the 4-byte Flags field.
std::vector<uint8_t> Reparse(uint32_t tag, const std::u16string& sub, const std::u16string& print) {
  size_t buffer = tag == IO_REPARSE_TAG_SYMLINK ? 20 : 16;
  uint32_t snl = static_cast<uint32_t>(2 * sub.size());
  uint32_t pnl = static_cast<uint32_t>(2 * print.size());
  std::vector<uint8_t> d(buffer + snl + pnl + 4, 0);
  support::Put32At(d, 0, tag);
  support::Put16At(d, 4, static_cast<uint32_t>(d.size() - 8));
  support::Put16At(d, 8, 0);
  support::Put16At(d, 10, snl);
  support::Put16At(d, 12, snl + 2);
  support::Put16At(d, 14, pnl);
  PutName(&d, buffer, sub);
  PutName(&d, buffer + snl + 2, print);
  return d;
}

// Well-formed data: junctions and symbolic links show their print name, a
// volume mount point its substitute name.
TEST(LinkbatchSimShow, DescribesTheThreeKindsOfLink) {
  ReparseView j = DescribeReparse(Reparse(IO_REPARSE_TAG_MOUNT_POINT, u"\\??\\C:\\data", u"C:\\data"), true);
  EXPECT_EQ(j.kind, "junction");
  EXPECT_TRUE(j.hasTarget);
  EXPECT_EQ(j.target, u"C:\\data");

  std::u16string volume = u"\\??\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\";
  ReparseView m = DescribeReparse(Reparse(IO_REPARSE_TAG_MOUNT_POINT, volume, u""), true);
  EXPECT_EQ(m.kind, "mount");
  EXPECT_EQ(m.target, volume);

  auto link = Reparse(IO_REPARSE_TAG_SYMLINK, u"\\??\\C:\\src", u"C:\\src");
  EXPECT_EQ(DescribeReparse(link, true).kind, "symlink-dir");
  ReparseView f = DescribeReparse(link, false);
  EXPECT_EQ(f.kind, "symlink-file");
  EXPECT_EQ(f.target, u"C:\\src");

  // The name offsets count from PathBuffer and are honoured: print name first.
  std::vector<uint8_t> swapped(20 + 8 + 12, 0);
  support::Put32At(swapped, 0, IO_REPARSE_TAG_SYMLINK);
  support::Put16At(swapped, 4, static_cast<uint32_t>(swapped.size() - 8));
  support::Put16At(swapped, 8, 8);    // substitute name "\??\x" after the print name
  support::Put16At(swapped, 10, 10);
  support::Put16At(swapped, 12, 0);   // print name "abc"
  support::Put16At(swapped, 14, 6);
  PutName(&swapped, 20, u"abc");
  PutName(&swapped, 28, u"\\??\\x");
  EXPECT_EQ(DescribeReparse(swapped, false).target, u"abc");

  ReparseView empty = DescribeReparse(Reparse(IO_REPARSE_TAG_SYMLINK, u"\\??\\C:\\x", u""), false);
  EXPECT_TRUE(empty.hasTarget);
  EXPECT_EQ(empty.target, u"");
}

// Hostile data never reads outside the buffer: a name that does not fit the
// data, or the span ReparseDataLength claims, leaves just the tag.
TEST(LinkbatchSimShow, HostileDataFallsBackToTheTag) {
  auto good = Reparse(IO_REPARSE_TAG_MOUNT_POINT, u"\\??\\C:\\data", u"C:\\data");

  auto pastEnd = good;
  support::Put16At(pastEnd, 14, 0xFFFF);
  auto offsetPastEnd = good;
  support::Put16At(offsetPastEnd, 12, 0xFFFE);
  auto shortClaim = good;
  support::Put16At(shortClaim, 4, 10);
  auto oddLength = good;
  support::Put16At(oddLength, 10, 3);
  auto truncated = good;
  truncated.resize(14);
  auto printCut = good;
  printCut.resize(good.size() - 6);
  for (const auto* d : {&pastEnd, &offsetPastEnd, &shortClaim, &oddLength, &truncated, &printCut}) {
    ReparseView v = DescribeReparse(*d, true);
    EXPECT_EQ(v.kind, "reparse:0xa0000003") << "size " << d->size();
    EXPECT_FALSE(v.hasTarget);
  }

  auto symlinkNoFlags = Reparse(IO_REPARSE_TAG_SYMLINK, u"", u"");
  symlinkNoFlags.resize(18);
  EXPECT_EQ(DescribeReparse(symlinkNoFlags, false).kind, "reparse:0xa000000c");

  std::vector<uint8_t> other(24, 0);
  support::Put32At(other, 0, 0x8000001B);
  EXPECT_EQ(DescribeReparse(other, false).kind, "reparse:0x8000001b");
  EXPECT_EQ(DescribeReparse({0x03, 0x00}, true).kind, "reparse:?");
}

// Output text stays one line per entry and valid UTF-8 whatever a name holds.
TEST(LinkbatchSimShow, PrintableAndHex) {
  EXPECT_EQ(lbsim::Printable(u"a\tb\nc\x7f" u"\u00e9"), "a?b?c?\xc3\xa9");
  EXPECT_EQ(lbsim::Printable(std::u16string(u"x\xd800y\xdc00", 4)), "x?y?");
  EXPECT_EQ(lbsim::Printable(u"\xd83d\xde00"), "\xf0\x9f\x98\x80");
  EXPECT_EQ(lbsim::Printable(std::u16string(u"a\0b", 3)), "a?b");
  EXPECT_EQ(lbsim::HexLine({0x03, 0x00, 0x00, 0xa0, 0xff}), "  03 00 00 a0 ff");
}

class LinkbatchSimTree : public ::testing::Test {
 protected:
  void SetUp() override { sim::Reset(); }
};

// Depth first in enumeration order; a junction that loops back to the root
// is listed, not entered; a file with two names says so on both.
TEST_F(LinkbatchSimTree, ListsDepthFirstWithoutEnteringReparsePoints) {
  sim::MakeDirs(u"C:\\a\\b");
  sim::MakeFile(u"C:\\a\\f.txt");
  ASSERT_TRUE(sim::CreateHardLinkW(u"C:\\a\\g.txt", u"C:\\a\\f.txt", nullptr));
  sim::MakeDirs(u"C:\\loop");
  auto loop = Reparse(IO_REPARSE_TAG_MOUNT_POINT, u"\\??\\C:\\", u"C:\\");
  sim::PlantReparse(u"C:\\loop", loop);
  EXPECT_EQ(lbsim::FormatTree(u'C', false),
            "C:\\\tdir\n"
            "C:\\a\tdir\n"
            "C:\\a\\b\tdir\n"
            "C:\\a\\f.txt\tfile\tlinks=2\n"
            "C:\\a\\g.txt\tfile\tlinks=2\n"
            "C:\\loop\tjunction\t-> C:\\\n");
  EXPECT_EQ(lbsim::FormatTree(u'C', true),
            "C:\\\tdir\n"
            "C:\\a\tdir\n"
            "C:\\a\\b\tdir\n"
            "C:\\a\\f.txt\tfile\tlinks=2\n"
            "C:\\a\\g.txt\tfile\tlinks=2\n"
            "C:\\loop\tjunction\t-> C:\\\n" +
                lbsim::HexLine(loop) + "\n");
}

// Planted garbage shows as the bare tag, with its exact bytes on request.
TEST_F(LinkbatchSimTree, HostileReparseDataOnTheVolume) {
  sim::MakeDirs(u"C:\\bad");
  std::vector<uint8_t> bad = {0x03, 0x00, 0x00, 0xa0, 0x40, 0x00, 0x00, 0x00,
                              0x00, 0x00, 0x40, 0x00, 0x42, 0x00, 0x00, 0x00};
  sim::PlantReparse(u"C:\\bad", bad);
  EXPECT_EQ(lbsim::FormatTree(u'C', true),
            "C:\\\tdir\n"
            "C:\\bad\treparse:0xa0000003\n"
            "  03 00 00 a0 40 00 00 00 00 00 40 00 42 00 00 00\n");
}

}  // namespace
