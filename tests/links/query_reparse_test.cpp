// QueryReparseTarget and IsDriveJunction on the simulated volume.
#include <cstdint>
#include <string>
#include <vector>

#include "links/links.h"
#include "platform/probe.h"
#include "support/record_bytes.h"
#include "tests/support.h"

namespace {

class QueryTest : public lbtest::SimTest {};


// Mount-point data laid out as the junction writer lays it out: substitute
// name at offset 0, print name behind its terminator.
std::vector<uint8_t> MountPoint(const std::u16string& sub, const std::u16string& print) {
  std::vector<uint8_t> v;
  support::Append32(v, IO_REPARSE_TAG_MOUNT_POINT);
  support::Append16(v, uint32_t(sub.size() * 2 + print.size() * 2 + 12));
  support::Append16(v, 0);
  support::Append16(v, 0);
  support::Append16(v, uint32_t(sub.size() * 2));
  support::Append16(v, uint32_t(sub.size() * 2 + 2));
  support::Append16(v, uint32_t(print.size() * 2));
  support::AppendName(v, sub);
  support::Append16(v, 0);
  support::AppendName(v, print);
  support::Append16(v, 0);
  return v;
}

// Mount-point data with every header field chosen by the test.
std::vector<uint8_t> RawMountPoint(uint32_t subOffset, uint32_t subLength, const std::u16string& body) {
  std::vector<uint8_t> v;
  support::Append32(v, IO_REPARSE_TAG_MOUNT_POINT);
  support::Append16(v, uint32_t(body.size() * 2 + 8));
  support::Append16(v, 0);
  support::Append16(v, subOffset);
  support::Append16(v, subLength);
  support::Append16(v, 0);
  support::Append16(v, 0);
  support::AppendName(v, body);
  return v;
}

// Symbolic-link data with the print name first, as CreateSymbolicLinkW
// stores it, so the offsets decide which name is read.
std::vector<uint8_t> SymbolicLink(const std::u16string& sub, const std::u16string& print) {
  std::vector<uint8_t> v;
  support::Append32(v, IO_REPARSE_TAG_SYMLINK);
  support::Append16(v, uint32_t(sub.size() * 2 + print.size() * 2 + 12));
  support::Append16(v, 0);
  support::Append16(v, uint32_t(print.size() * 2));
  support::Append16(v, uint32_t(sub.size() * 2));
  support::Append16(v, 0);
  support::Append16(v, uint32_t(print.size() * 2));
  support::Append32(v, 0);
  support::AppendName(v, print);
  support::AppendName(v, sub);
  return v;
}

// A caller's target buffer of the documented 8192 characters, filled with a
// sentinel so that "left untouched" can be seen.
struct Target {
  std::vector<WCHAR> chars = std::vector<WCHAR>(8192, u'Z');
  WCHAR* get() { return chars.data(); }
  std::u16string text() const {
    size_t n = 0;
    while (n < chars.size() && chars[n] != 0) ++n;
    return std::u16string(chars.data(), n);
  }
  bool untouched() const {
    for (WCHAR c : chars)
      if (c != u'Z') return false;
    return true;
  }
};

// Plants data on a new directory C:\r<n> and queries it; the directory's
// path is left in lastPlanted.
std::u16string lastPlanted;
ReparseKind QueryPlanted(const std::vector<uint8_t>& data, Target* target) {
  static int serial = 0;
  lastPlanted = u"C:\\r" + sim::W(std::to_string(++serial));
  sim::MakeDirs(lastPlanted);
  sim::PlantReparse(lastPlanted, data);
  return QueryReparseTarget(lastPlanted.c_str(), target ? target->get() : nullptr);
}

// Entries without the reparse attribute are answered from their attributes
// alone, and a missing path is tried and refused at the open.
TEST_F(QueryTest, NonReparseEntriesAreNoneWithoutBeingOpened) {
  sim::MakeDirs(u"C:\\dir");
  sim::MakeFile(u"C:\\dir\\file.txt");
  for (const char16_t* path : {u"C:\\dir", u"C:\\dir\\file.txt"}) {
    sim::ClearCalls();
    Target t;
    EXPECT_EQ(QueryReparseTarget(path, t.get()), ReparseKindNone) << sim::U8(path);
    EXPECT_TRUE(t.untouched());
    EXPECT_EQ(sim::CallCount("CreateFileW"), 0u) << sim::U8(path);
    EXPECT_FALSE(IsDriveJunction(path, nullptr));
  }

  sim::ClearCalls();
  Target t;
  EXPECT_EQ(QueryReparseTarget(u"C:\\missing", t.get()), ReparseKindNone);
  EXPECT_TRUE(t.untouched());
  EXPECT_EQ(sim::CallCount("CreateFileW"), 1u) << "INVALID_FILE_ATTRIBUTES passes the attribute test";
  EXPECT_EQ(sim::CallCount("DeviceIoControl"), 0u);
}

// A mount point whose substitute name holds a colon is a drive junction; the
// target text starts at the drive letter.
TEST_F(QueryTest, DriveJunctionGivesTheDrivePath) {
  Target t;
  EXPECT_EQ(QueryPlanted(MountPoint(u"\\??\\D:\\data", u"D:\\data"), &t), ReparseKindDriveJunction);
  EXPECT_EQ(sim::U8(t.text()), "D:\\data");
  EXPECT_TRUE(IsDriveJunction(lastPlanted.c_str(), nullptr));

  Target root;
  EXPECT_EQ(QueryPlanted(MountPoint(u"\\??\\D:\\", u"D:\\"), &root), ReparseKindDriveJunction);
  EXPECT_EQ(sim::U8(root.text()), "D:\\");
}

// The junction writer and the query agree on the layout.
TEST_F(QueryTest, JunctionMadeByTheWriterReadsBack) {
  ProbeCapabilities();
  sim::MakeDirs(u"C:\\data");
  ASSERT_EQ(MakeJunction(u"C:\\j", u"C:\\data"), 0u);
  sim::ClearCalls();
  Target t;
  EXPECT_EQ(QueryReparseTarget(u"C:\\j", t.get()), ReparseKindDriveJunction);
  EXPECT_EQ(sim::U8(t.text()), "C:\\data");
  std::vector<std::string> expected = {"GetFileAttributesW", "CreateFileW", "DeviceIoControl",
                                       "CloseHandle"};
  EXPECT_EQ(sim::CallNames(), expected);
}

// Without a colon the mount point is a volume mount point (or a UNC
// junction), and the NT prefix "\??\" comes back as "\\?\".
TEST_F(QueryTest, VolumeMountPointAndUncJunctionGiveLongPathForm) {
  Target unc;
  EXPECT_EQ(QueryPlanted(MountPoint(u"\\??\\UNC\\srv\\share", u"\\\\srv\\share"), &unc),
            ReparseKindVolumeMount);
  EXPECT_EQ(sim::U8(unc.text()), "\\\\?\\UNC\\srv\\share");
  EXPECT_FALSE(IsDriveJunction(lastPlanted.c_str(), nullptr));

  sim::AddVolume(u'D');
  sim::MakeDirs(u"C:\\mnt");
  ASSERT_TRUE(sim::SetVolumeMountPointW(u"C:\\mnt\\", sim::VolumeGuidPath(u'D').c_str()));
  Target vol;
  EXPECT_EQ(QueryReparseTarget(u"C:\\mnt", vol.get()), ReparseKindVolumeMount);
  EXPECT_EQ(vol.text(), sim::VolumeGuidPath(u'D'));
  EXPECT_FALSE(IsDriveJunction(u"C:\\mnt", nullptr));
}

// A symbolic link reports its print name, found through its own offsets.
TEST_F(QueryTest, SymbolicLinkGivesItsPrintName) {
  sim::SetPrivilegeEnabled(u"SeCreateSymbolicLinkPrivilege", true);
  sim::MakeFile(u"C:\\target.txt");
  ASSERT_TRUE(sim::CreateSymbolicLinkW(u"C:\\link", u"C:\\target.txt", 0));
  Target t;
  EXPECT_EQ(QueryReparseTarget(u"C:\\link", t.get()), ReparseKindSymbolicLink);
  EXPECT_EQ(sim::U8(t.text()), "C:\\target.txt");
  EXPECT_FALSE(IsDriveJunction(u"C:\\link", nullptr));

  Target planted;
  EXPECT_EQ(QueryPlanted(SymbolicLink(u"\\??\\E:\\x", u"E:\\print"), &planted), ReparseKindSymbolicLink);
  EXPECT_EQ(sim::U8(planted.text()), "E:\\print");
}

// Names are cut at their stated length, whatever follows them in the data.
TEST_F(QueryTest, NamesEndAtTheirLength) {
  // "\??\Volume{1}" directly followed by "C:\x", no terminator between.
  Target t;
  EXPECT_EQ(QueryPlanted(RawMountPoint(0, 13 * 2, u"\\??\\Volume{1}C:\\x"), &t), ReparseKindVolumeMount);
  EXPECT_EQ(sim::U8(t.text()), "\\\\?\\Volume{1}");

  Target empty;
  EXPECT_EQ(QueryPlanted(MountPoint(u"", u""), &empty), ReparseKindVolumeMount);
  EXPECT_EQ(empty.text(), u"");

  // An odd byte length copies the whole characters only.
  Target odd;
  EXPECT_EQ(QueryPlanted(RawMountPoint(0, 7, u"\\??\\D:\\zz"), &odd), ReparseKindVolumeMount);
  EXPECT_EQ(sim::U8(odd.text()), "\\\\?");
}

// Data that is not a recognised, well-formed record is None, and the caller's
// buffer is not written.
TEST_F(QueryTest, MalformedOrForeignDataIsNoneAndLeavesTargetUntouched) {
  struct Case {
    const char* what;
    std::vector<uint8_t> data;
  };
  std::vector<Case> cases;
  cases.push_back({"length past the returned bytes", RawMountPoint(0, 40, u"\\??\\D:\\")});
  cases.push_back({"offset past the returned bytes", RawMountPoint(200, 2, u"\\??\\D:\\")});
  cases.push_back({"largest offset and length", RawMountPoint(0xFFFE, 0xFFFE, u"x")});
  cases.push_back({"colon first: no drive letter", MountPoint(u":\\data", u"")});
  std::vector<uint8_t> shortHeader = {0x03, 0x00, 0x00, 0xA0, 0, 0, 0, 0, 0, 0, 0, 0};
  cases.push_back({"header cut short", shortHeader});
  std::vector<uint8_t> symlinkNoFlags = SymbolicLink(u"", u"");
  symlinkNoFlags.resize(18);
  cases.push_back({"symbolic link without its flags field", symlinkNoFlags});
  std::vector<uint8_t> printPastEnd = SymbolicLink(u"\\??\\E:\\x", u"E:\\x");
  printPastEnd[14] = 0xF0;  // PrintNameLength
  cases.push_back({"print name past the returned bytes", printPastEnd});
  std::vector<uint8_t> foreign = MountPoint(u"\\??\\D:\\data", u"");
  foreign[3] = 0x20;  // tag 0x20000003: bit 31 clear, not Microsoft's
  cases.push_back({"tag without bit 31", foreign});
  std::vector<uint8_t> otherTag = MountPoint(u"\\??\\D:\\data", u"");
  otherTag[0] = 0x13;  // 0xA0000013: a Microsoft tag that is neither kind
  cases.push_back({"other Microsoft tag", otherTag});

  for (const Case& c : cases) {
    Target t;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(QueryPlanted(c.data, &t), ReparseKindNone) << c.what;
    EXPECT_TRUE(t.untouched()) << c.what;
    EXPECT_EQ(sim::OpenHandleCount(), 0u) << c.what;
  }
}

// The name buffer holds 8191 characters and a terminator; one more is refused
// even though the data holds it.
TEST_F(QueryTest, NameBufferLimit) {
  std::u16string longest = u"\\??\\" + std::u16string(8191 - 4, u'v');
  Target t;
  EXPECT_EQ(QueryPlanted(MountPoint(longest, u""), &t), ReparseKindVolumeMount);
  EXPECT_EQ(t.text().size(), 8191u);
  EXPECT_EQ(t.chars[8191], 0);

  Target over;
  EXPECT_EQ(QueryPlanted(MountPoint(longest + u"v", u""), &over), ReparseKindNone);
  EXPECT_TRUE(over.untouched());
}

// A failing open or control call is None, and the handle is closed.
TEST_F(QueryTest, FailedCallsAreNone) {
  sim::MakeDirs(u"C:\\r");
  sim::PlantReparse(u"C:\\r", MountPoint(u"\\??\\D:\\data", u"D:\\data"));

  sim::FailCall("DeviceIoControl", 1, ERROR_ACCESS_DENIED);
  Target t;
  EXPECT_EQ(QueryReparseTarget(u"C:\\r", t.get()), ReparseKindNone);
  EXPECT_TRUE(t.untouched());
  EXPECT_EQ(sim::CallCount("CloseHandle"), 1u);

  sim::FailCall("CreateFileW", 1, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(QueryReparseTarget(u"C:\\r", t.get()), ReparseKindNone);
  EXPECT_TRUE(t.untouched());
  EXPECT_EQ(sim::FaultsFired(), 2);
}

}  // namespace
