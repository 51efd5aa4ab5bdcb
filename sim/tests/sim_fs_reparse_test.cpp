// The simulated volumes follow junctions, symbolic links and mount points as
// NTFS does, from reparse data written by hand.
#include <string>
#include <vector>

#include "support/record_bytes.h"
#include "tests/support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Names = std::vector<std::u16string>;

class SimFsReparse : public lbtest::SimTest {};

// REPARSE_DATA_BUFFER with the substitute name first and the print name
// right after it, both terminated, as a junction writer lays them out.
Bytes ReparseData(DWORD tag, const std::u16string& sub, const std::u16string& print, int symlinkFlags = -1) {
  Bytes names;
  for (char16_t c : sub) support::Append16(names, c);
  support::Append16(names, 0);
  for (char16_t c : print) support::Append16(names, c);
  support::Append16(names, 0);
  const bool symlink = symlinkFlags >= 0;
  Bytes b;
  support::Append32(b, tag);
  support::Append16(b, static_cast<uint32_t>(names.size() + (symlink ? 12 : 8)));
  support::Append16(b, 0);
  support::Append16(b, 0);
  support::Append16(b, static_cast<uint32_t>(sub.size() * 2));
  support::Append16(b, static_cast<uint32_t>((sub.size() + 1) * 2));
  support::Append16(b, static_cast<uint32_t>(print.size() * 2));
  if (symlink) support::Append32(b, static_cast<uint32_t>(symlinkFlags));
  b.insert(b.end(), names.begin(), names.end());
  return b;
}

void Junction(const std::u16string& at, const std::u16string& substitute) {
  sim::MakeDirs(at);
  sim::PlantReparse(at, ReparseData(IO_REPARSE_TAG_MOUNT_POINT, substitute, u""));
}
void DirLink(const std::u16string& at, const std::u16string& substitute, int flags) {
  sim::MakeDirs(at);
  sim::PlantReparse(at, ReparseData(IO_REPARSE_TAG_SYMLINK, substitute, u"", flags));
}
void FileLink(const std::u16string& at, const std::u16string& substitute, int flags) {
  sim::MakeFile(at);
  sim::PlantReparse(at, ReparseData(IO_REPARSE_TAG_SYMLINK, substitute, u"", flags));
}

HANDLE Open(const char16_t* path, DWORD disposition, DWORD flags) {
  return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     disposition, flags, nullptr);
}

// Opens and closes at once; returns the error, or 0 when it opened.
DWORD OpenError(const char16_t* path, DWORD disposition = OPEN_EXISTING,
                DWORD flags = FILE_FLAG_BACKUP_SEMANTICS) {
  SetLastError(0xdeadbeef);
  HANDLE h = Open(path, disposition, flags);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(h);
  return 0;
}

// A junction is followed on the way through and when opened plainly, but
// its own attributes, listing entry and removal concern the link itself.
TEST_F(SimFsReparse, JunctionIsFollowedExceptAsTheLastName) {
  sim::MakeFile(u"C:\\target\\f");
  Junction(u"C:\\j", u"\\??\\C:\\target");
  EXPECT_EQ(GetFileAttributesW(u"C:\\j"), 0x410u);
  EXPECT_EQ(GetFileAttributesW(u"C:\\j\\f"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));

  HANDLE h = CreateFileW(u"C:\\j\\new", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  EXPECT_EQ(sim::List(u"C:\\target"), (Names{u"f", u"new"}));
  EXPECT_EQ(lbtest::ListPattern(u"C:\\j\\*.*"), (Names{u".", u"..", u"f", u"new"}));
  EXPECT_TRUE(CreateDirectoryW(u"C:\\j\\sub", nullptr));
  EXPECT_TRUE(sim::Inspect(u"C:\\target\\sub").isDirectory);

  WIN32_FIND_DATAW d;
  h = FindFirstFileW(u"C:\\j", &d);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(d.dwFileAttributes, 0x410u);
  EXPECT_EQ(d.dwReserved0, static_cast<DWORD>(IO_REPARSE_TAG_MOUNT_POINT));
  FindClose(h);

  EXPECT_FAILS_WITH(CreateDirectoryW(u"C:\\j", nullptr), FALSE, ERROR_ALREADY_EXISTS);
  EXPECT_FAILS_WITH(DeleteFileW(u"C:\\j"), FALSE, ERROR_ACCESS_DENIED);
  EXPECT_TRUE(RemoveDirectoryW(u"C:\\j"));
  EXPECT_FALSE(sim::Inspect(u"C:\\j").exists);
  EXPECT_EQ(sim::List(u"C:\\target"), (Names{u"f", u"new", u"sub"}));
}

// FILE_FLAG_OPEN_REPARSE_POINT opens the link itself, even a dangling one;
// without it a dangling link is a missing name, and a creating disposition
// creates the target.
TEST_F(SimFsReparse, OpenReparsePointAndDanglingLinks) {
  Junction(u"C:\\dangling", u"\\??\\C:\\nowhere");
  EXPECT_EQ(OpenError(u"C:\\dangling"), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(OpenError(u"C:\\dangling", OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT),
            0u);
  // Through the link the missing target is an intermediate name.
  EXPECT_EQ(OpenError(u"C:\\dangling\\x"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

  FileLink(u"C:\\flink", u"\\??\\C:\\made.txt", 0);
  EXPECT_EQ(OpenError(u"C:\\flink", OPEN_ALWAYS, 0), 0u);
  EXPECT_FALSE(sim::Inspect(u"C:\\made.txt").isDirectory);
  EXPECT_TRUE(sim::Inspect(u"C:\\made.txt").exists);
}

// Symbolic links: absolute NT targets, relative targets against the link's
// directory, and the kind check between link and target.
TEST_F(SimFsReparse, SymbolicLinksAbsoluteAndRelative) {
  sim::MakeFile(u"C:\\data\\in\\file.txt");
  DirLink(u"C:\\links\\abs", u"\\??\\C:\\data", 0);
  DirLink(u"C:\\links\\rel", u"..\\data\\.\\in", SYMLINK_FLAG_RELATIVE);
  DirLink(u"C:\\links\\rooted", u"\\data", SYMLINK_FLAG_RELATIVE);
  FileLink(u"C:\\links\\f", u"..\\data\\in\\file.txt", SYMLINK_FLAG_RELATIVE);
  FileLink(u"C:\\links\\todir", u"\\??\\C:\\data", 0);
  Junction(u"C:\\links\\tofile", u"\\??\\C:\\data\\in\\file.txt");

  EXPECT_EQ(lbtest::ListPattern(u"C:\\links\\abs\\*"), (Names{u".", u"..", u"in"}));
  EXPECT_EQ(lbtest::ListPattern(u"C:\\links\\rel\\*"), (Names{u".", u"..", u"file.txt"}));
  EXPECT_EQ(lbtest::ListPattern(u"C:\\links\\rooted\\in\\*"), (Names{u".", u"..", u"file.txt"}));
  EXPECT_EQ(GetFileAttributesW(u"C:\\links\\abs"), 0x410u);
  EXPECT_EQ(GetFileAttributesW(u"C:\\links\\f"), 0x420u);
  EXPECT_EQ(OpenError(u"C:\\links\\f", OPEN_EXISTING, 0), 0u);
  EXPECT_EQ(OpenError(u"C:\\links\\todir"), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(OpenError(u"C:\\links\\tofile"), static_cast<DWORD>(ERROR_DIRECTORY));

  // Removal takes the link and leaves the target.
  EXPECT_FAILS_WITH(RemoveDirectoryW(u"C:\\links\\f"), FALSE, ERROR_DIRECTORY);
  EXPECT_TRUE(DeleteFileW(u"C:\\links\\f"));
  EXPECT_TRUE(RemoveDirectoryW(u"C:\\links\\rel\\"));
  EXPECT_EQ(sim::List(u"C:\\links"), (Names{u"abs", u"rooted", u"todir", u"tofile"}));
  EXPECT_TRUE(sim::Inspect(u"C:\\data\\in\\file.txt").exists);
}

// Target text that NTFS cannot follow fails the open with the codes
// Windows gives for each kind of bad data.
TEST_F(SimFsReparse, MalformedTargets) {
  sim::MakeDirs(u"C:\\data");
  Junction(u"C:\\bare", u"foobar");
  Junction(u"C:\\dosform", u"C:\\data");
  Junction(u"C:\\longform", u"\\\\?\\C:\\data");
  Junction(u"C:\\dotdot", u"\\??\\C:\\data\\..\\data");
  Junction(u"C:\\dot", u"\\??\\C:\\data\\.\\x");
  DirLink(u"C:\\relnt", u"\\??\\C:\\data", SYMLINK_FLAG_RELATIVE);
  DirLink(u"C:\\fwd", u"./data", SYMLINK_FLAG_RELATIVE);
  DirLink(u"C:\\dbl", u".\\\\data", SYMLINK_FLAG_RELATIVE);
  DirLink(u"C:\\above", u"..\\..\\data", SYMLINK_FLAG_RELATIVE);
  DirLink(u"C:\\trailingdot", u".\\data.", SYMLINK_FLAG_RELATIVE);
  sim::MakeDirs(u"C:\\custom");
  Bytes custom = ReparseData(0x0000BEEFu, u"x", u"");
  sim::PlantReparse(u"C:\\custom", custom);
  sim::MakeDirs(u"C:\\short");
  Bytes cut = ReparseData(IO_REPARSE_TAG_MOUNT_POINT, u"\\??\\C:\\data", u"");
  cut.resize(cut.size() - 6);
  sim::PlantReparse(u"C:\\short", cut);
  Junction(u"C:\\nodrive", u"\\??\\Q:\\data");

  struct Case {
    const char16_t* path;
    DWORD error;
  } cases[] = {
      {u"C:\\bare", ERROR_INVALID_NAME},          {u"C:\\dosform", ERROR_INVALID_NAME},
      {u"C:\\longform", ERROR_INVALID_NAME},      {u"C:\\dotdot", ERROR_INVALID_NAME},
      {u"C:\\dot", ERROR_PATH_NOT_FOUND},         {u"C:\\relnt", ERROR_INVALID_NAME},
      {u"C:\\fwd", ERROR_INVALID_NAME},           {u"C:\\dbl", ERROR_INVALID_NAME},
      {u"C:\\above", ERROR_INVALID_REPARSE_DATA}, {u"C:\\trailingdot", ERROR_FILE_NOT_FOUND},
      {u"C:\\custom", ERROR_CANT_ACCESS_FILE},    {u"C:\\custom\\below", ERROR_CANT_ACCESS_FILE},
      {u"C:\\short", ERROR_INVALID_REPARSE_DATA}, {u"C:\\nodrive", ERROR_PATH_NOT_FOUND},
  };
  for (const Case& c : cases) EXPECT_EQ(OpenError(c.path), c.error) << sim::U8(c.path);
  // The link itself still opens, reports itself and keeps its bytes.
  EXPECT_EQ(OpenError(u"C:\\custom", OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT), 0u);
  EXPECT_EQ(sim::Inspect(u"C:\\custom").reparseData, custom);
  EXPECT_EQ(sim::Inspect(u"C:\\custom").reparseTag, 0x0000BEEFu);
  WIN32_FIND_DATAW d;
  EXPECT_FAILS_WITH(FindFirstFileW(u"C:\\custom\\*", &d), INVALID_HANDLE_VALUE, ERROR_CANT_ACCESS_FILE);
}

// A path may pass 63 reparse points; the 64th, or a loop, is
// ERROR_CANT_RESOLVE_FILENAME.
TEST_F(SimFsReparse, ReparseLimitAndCycles) {
  sim::MakeDirs(u"C:\\end");
  // C:\j1 -> C:\j2 -> ... -> C:\jN -> C:\end
  auto chain = [](int n) {
    for (int i = 1; i <= n; ++i) {
      std::u16string at = u"C:\\c" + sim::W(std::to_string(n)) + u"_" + sim::W(std::to_string(i));
      std::u16string next = i == n ? u"\\??\\C:\\end"
                                   : u"\\??\\C:\\c" + sim::W(std::to_string(n)) + u"_" +
                                         sim::W(std::to_string(i + 1));
      Junction(at, next);
    }
  };
  chain(63);
  chain(64);
  EXPECT_EQ(OpenError(u"C:\\c63_1"), 0u);
  EXPECT_EQ(OpenError(u"C:\\c64_1"), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
  EXPECT_EQ(OpenError(u"C:\\c64_2"), 0u);

  Junction(u"C:\\self", u"\\??\\C:\\self");
  Junction(u"C:\\a", u"\\??\\C:\\b\\x");
  Junction(u"C:\\b", u"\\??\\C:\\a");
  EXPECT_EQ(OpenError(u"C:\\self"), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
  EXPECT_EQ(OpenError(u"C:\\a\\y"), static_cast<DWORD>(ERROR_CANT_RESOLVE_FILENAME));
  WIN32_FIND_DATAW d;
  EXPECT_FAILS_WITH(FindFirstFileW(u"C:\\self\\*.*", &d), INVALID_HANDLE_VALUE, ERROR_CANT_RESOLVE_FILENAME);
  EXPECT_FAILS_WITH(CreateDirectoryW(u"C:\\self\\x", nullptr), FALSE, ERROR_CANT_RESOLVE_FILENAME);
  // Not following the last name: the loop is never entered.
  EXPECT_EQ(GetFileAttributesW(u"C:\\self"), 0x410u);
  EXPECT_TRUE(RemoveDirectoryW(u"C:\\self"));
}

// A mount point leads to the root of another volume: the root lists no
// "." and "..", and the GUID path reaches the same volume.
TEST_F(SimFsReparse, MountPointReachesVolumeRoot) {
  sim::AddVolume(u'D');
  sim::MakeFile(u"D:\\data\\f");
  const std::u16string guid = sim::VolumeGuidPath(u'D');
  ASSERT_EQ(guid.size(), 49u);
  EXPECT_EQ(guid.substr(0, 11), u"\\\\?\\Volume{");
  EXPECT_NE(guid, sim::VolumeGuidPath(u'C'));
  EXPECT_EQ(sim::Volumes(), (std::vector<char16_t>{u'C', u'D'}));
  Junction(u"C:\\mnt", u"\\??\\" + guid.substr(4));

  EXPECT_EQ(lbtest::ListPattern(u"C:\\mnt\\*"), (Names{u"data"}));
  EXPECT_EQ(lbtest::ListPattern(u"C:\\mnt\\data\\*"), (Names{u".", u"..", u"f"}));
  EXPECT_EQ(lbtest::ListPattern((guid + u"data\\*").c_str()), (Names{u".", u"..", u"f"}));
  EXPECT_EQ(OpenError(u"C:\\mnt"), 0u);
  EXPECT_EQ(OpenError(u"C:\\mnt\\"), 0u);
  EXPECT_EQ(GetFileAttributesW(u"C:\\mnt"), 0x410u);
  EXPECT_TRUE(CreateDirectoryW(u"C:\\mnt\\new", nullptr));
  EXPECT_TRUE(sim::Inspect(u"D:\\new").isDirectory);
  // Removing the folder unmounts; the volume keeps its content.
  EXPECT_TRUE(RemoveDirectoryW(u"C:\\mnt\\"));
  EXPECT_FALSE(sim::Inspect(u"C:\\mnt").exists);
  EXPECT_EQ(sim::List(u"D:\\"), (Names{u"data", u"new"}));
  EXPECT_EQ(OpenError(u"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\"),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

// "\\?\" paths are not normalised: "." is just a name that is never found
// and ".." is refused.
TEST_F(SimFsReparse, LongPathPrefixIsLiteral) {
  sim::MakeDirs(u"C:\\a\\b");
  EXPECT_EQ(OpenError(u"\\\\?\\C:\\a\\b"), 0u);
  EXPECT_EQ(OpenError(u"\\\\?\\c:\\A\\B\\"), 0u);
  EXPECT_EQ(OpenError(u"\\\\?\\C:\\a\\.\\b"), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(OpenError(u"\\\\?\\C:\\a\\..\\a"), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(OpenError(u"\\\\?\\C:\\a\\\\b"), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(OpenError(u"\\\\?\\UNC\\server\\share"), 53u);
  EXPECT_TRUE(CreateDirectoryW(u"\\\\?\\C:\\a\\trail. ", nullptr));
  EXPECT_EQ(sim::List(u"C:\\a"), (Names{u"b", u"trail. "}));
}

}  // namespace
