// The simulated file and directory calls: opening, sharing, creating and
// removing, attributes, the current directory, listings.
#include <string>
#include <vector>

#include "tests/support.h"

namespace {

using Names = std::vector<std::u16string>;

class SimFsFiles : public lbtest::SimTest {};

HANDLE Open(const char16_t* path, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0) {
  return CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
}

// CreateFileW dispositions: what exists afterwards and the last error each
// success leaves.
TEST_F(SimFsFiles, DispositionsCreateOpenAndReportExisting) {
  SetLastError(0xdeadbeef);
  HANDLE h = Open(u"C:\\a.txt", GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  CloseHandle(h);
  sim::NodeInfo info = sim::Inspect(u"C:\\a.txt");
  EXPECT_TRUE(info.exists);
  EXPECT_EQ(info.attributes, static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(info.linkCount, 1u);

  EXPECT_FAILS_WITH(Open(u"C:\\a.txt", GENERIC_READ, 0, CREATE_NEW), INVALID_HANDLE_VALUE, ERROR_FILE_EXISTS);
  for (DWORD disposition : {static_cast<DWORD>(OPEN_ALWAYS), static_cast<DWORD>(CREATE_ALWAYS)}) {
    SetLastError(0xdeadbeef);
    h = Open(u"C:\\A.TXT", GENERIC_READ, 0, disposition);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS)) << disposition;
    CloseHandle(h);
  }
  SetLastError(0xdeadbeef);
  h = Open(u"C:\\new.txt", GENERIC_READ, 0, OPEN_ALWAYS);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0u);
  CloseHandle(h);
  EXPECT_EQ(sim::List(u"C:\\"), (Names{u"a.txt", u"new.txt"}));
}

// Overwriting a file (CREATE_ALWAYS, TRUNCATE_EXISTING) gives it the
// attributes asked for, with ARCHIVE, but is refused when they leave out the
// HIDDEN or SYSTEM it has; opening it keeps its own.
TEST_F(SimFsFiles, OverwriteTakesTheAttributesAskedFor) {
  const DWORD H = FILE_ATTRIBUTE_HIDDEN, S = FILE_ATTRIBUTE_SYSTEM, A = FILE_ATTRIBUTE_ARCHIVE;
  const DWORD rows[][5] = {// has, disposition, asked, error, attributes after
                           {H, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, ERROR_ACCESS_DENIED, A | H},
                           {S, TRUNCATE_EXISTING, 0, ERROR_ACCESS_DENIED, A | S},
                           {H | S, CREATE_ALWAYS, H, ERROR_ACCESS_DENIED, A | H | S},
                           {H, CREATE_ALWAYS, H | S, 0, A | H | S},
                           {0, CREATE_ALWAYS, S, 0, A | S},
                           {H, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, 0, A | H}};
  for (const auto& r : rows) {
    SCOPED_TRACE(::testing::Message() << "has " << r[0] << ", disposition " << r[1] << ", asked " << r[2]);
    DeleteFileW(u"C:\\f");
    CloseHandle(Open(u"C:\\f", GENERIC_WRITE, 0, CREATE_NEW, r[0]));
    SetLastError(0xdeadbeef);
    HANDLE h = Open(u"C:\\f", GENERIC_WRITE, 0, r[1], r[2]);
    EXPECT_EQ(h == INVALID_HANDLE_VALUE ? GetLastError() : 0u, r[3]);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    EXPECT_EQ(sim::Inspect(u"C:\\f").attributes, r[4]);
  }
}

// DOS device names name devices, never entries on the volume, with any
// folder or extension: the machine has no serial or parallel ports, and what
// NUL and CON answer is not modelled. FindFirstFileW answers a device name
// itself once its folder opens. Behind "\\?\" they are ordinary names.
TEST_F(SimFsFiles, DosDeviceNames) {
  sim::MakeDirs(u"C:\\d");
  EXPECT_FAILS_WITH(CreateDirectoryW(u"C:\\d\\COM9", nullptr), FALSE, ERROR_FILE_NOT_FOUND);
  EXPECT_FAILS_WITH(Open(u"C:\\nodir\\lpt1.txt", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE,
                    ERROR_FILE_NOT_FOUND);
  EXPECT_FAILS_WITH(RemoveDirectoryW(u"aux"), FALSE, ERROR_FILE_NOT_FOUND);
  EXPECT_THROW(CreateDirectoryW(u"CON", nullptr), sim::NotModelled);
  EXPECT_THROW(Open(u"C:\\d\\nul.txt", GENERIC_WRITE, 0, CREATE_ALWAYS), sim::NotModelled);
  EXPECT_TRUE(sim::List(u"C:\\d").empty());
  EXPECT_EQ(lbtest::ListPattern(u"C:\\d\\con.txt"), Names{u"con"});
  EXPECT_EQ(lbtest::ListPattern(u"C:\\d\\COM1 "), Names{u"COM1"});
  WIN32_FIND_DATAW data;
  EXPECT_FAILS_WITH(FindFirstFileW(u"C:\\nodir\\nul", &data), INVALID_HANDLE_VALUE, ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(CreateDirectoryW(u"\\\\?\\C:\\d\\con", nullptr));
  EXPECT_EQ(sim::List(u"C:\\d"), Names{u"con"});
}

// CreateFileW failures: missing names, bad names, bad dispositions.
TEST_F(SimFsFiles, CreateFileErrors) {
  sim::MakeFile(u"C:\\f");
  EXPECT_FAILS_WITH(Open(u"C:\\missing", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE,
                    ERROR_FILE_NOT_FOUND);
  EXPECT_FAILS_WITH(Open(u"C:\\missing", GENERIC_WRITE, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE,
                    ERROR_FILE_NOT_FOUND);
  EXPECT_FAILS_WITH(Open(u"C:\\nodir\\x", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE,
                    ERROR_PATH_NOT_FOUND);
  EXPECT_FAILS_WITH(Open(u"C:\\f\\x", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE,
                    ERROR_PATH_NOT_FOUND);
  EXPECT_FAILS_WITH(Open(u"", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE, ERROR_PATH_NOT_FOUND);
  EXPECT_FAILS_WITH(Open(u"C:\\*.*", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE,
                    ERROR_INVALID_NAME);
  EXPECT_FAILS_WITH(Open(u"C:\\a|b", GENERIC_READ, 0, CREATE_NEW), INVALID_HANDLE_VALUE, ERROR_INVALID_NAME);
  EXPECT_FAILS_WITH(Open(u"C:\\f\\", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE,
                    ERROR_INVALID_NAME);
  EXPECT_FAILS_WITH(Open(u"C:\\new\\", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE,
                    ERROR_INVALID_NAME);
  EXPECT_FAILS_WITH(Open(u"C:\\f", GENERIC_READ, 0, 0), INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(Open(u"\\\\server\\share\\f", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE,
                    53);
  EXPECT_FAILS_WITH(Open(u"Q:\\f", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE,
                    ERROR_PATH_NOT_FOUND);

  // NTFS names hold at most 255 units.
  std::u16string longest = u"C:\\" + std::u16string(255, u'n');
  HANDLE h = Open(longest.c_str(), GENERIC_WRITE, 0, CREATE_NEW);
  EXPECT_NE(h, INVALID_HANDLE_VALUE);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  std::u16string tooLong = longest + u"n";
  EXPECT_FAILS_WITH(Open(tooLong.c_str(), GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE,
                    ERROR_INVALID_NAME);
  EXPECT_EQ(sim::List(u"C:\\").size(), 2u);
}

// A directory opens only with FILE_FLAG_BACKUP_SEMANTICS; the handle is a
// "file" object that CloseHandle takes away.
TEST_F(SimFsFiles, DirectoriesNeedBackupSemantics) {
  sim::MakeDirs(u"C:\\d");
  EXPECT_FAILS_WITH(Open(u"C:\\d", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
  EXPECT_FAILS_WITH(Open(u"C:\\d\\", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE,
                    ERROR_PATH_NOT_FOUND);
  EXPECT_FAILS_WITH(Open(u"C:\\d", GENERIC_READ, 0, CREATE_NEW, FILE_FLAG_BACKUP_SEMANTICS),
                    INVALID_HANDLE_VALUE, ERROR_FILE_EXISTS);
  for (const char16_t* path : {u"C:\\d", u"C:\\d\\", u"C:\\", u"\\\\?\\C:\\d"}) {
    HANDLE h = Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << sim::U8(path);
    EXPECT_EQ(sim::OpenHandleKinds(), std::vector<std::string>{"file"});
    EXPECT_TRUE(CloseHandle(h));
  }
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

// Share modes: only data and delete rights take part, in both directions,
// and a closed handle no longer counts.
TEST_F(SimFsFiles, SharingViolations) {
  sim::MakeFile(u"C:\\f");
  HANDLE rw = Open(u"C:\\f", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_NE(rw, INVALID_HANDLE_VALUE);
  EXPECT_FAILS_WITH(Open(u"C:\\f", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE,
                    ERROR_SHARING_VIOLATION);
  HANDLE r = Open(u"C:\\f", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  EXPECT_NE(r, INVALID_HANDLE_VALUE);
  // Attribute-only access never conflicts, whatever the share mode.
  HANDLE attrs = Open(u"C:\\f", FILE_READ_ATTRIBUTES, 0, OPEN_EXISTING);
  EXPECT_NE(attrs, INVALID_HANDLE_VALUE);
  HANDLE none = Open(u"C:\\f", 0, 0, OPEN_EXISTING);
  EXPECT_NE(none, INVALID_HANDLE_VALUE);
  // Delete needs FILE_SHARE_DELETE from every data handle.
  EXPECT_FAILS_WITH(DeleteFileW(u"C:\\f"), FALSE, ERROR_SHARING_VIOLATION);
  for (HANDLE h : {rw, r, attrs, none}) CloseHandle(h);
  HANDLE again = Open(u"C:\\f", GENERIC_READ, 0, OPEN_EXISTING);
  EXPECT_NE(again, INVALID_HANDLE_VALUE);
  CloseHandle(again);
}

// A delete that FILE_SHARE_DELETE lets through while a handle is open takes
// effect when the last handle closes; meanwhile the name is still there.
TEST_F(SimFsFiles, DeleteWithSharedHandleIsPendingUntilClose) {
  sim::MakeDirs(u"C:\\d");
  HANDLE dir = Open(u"C:\\d", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS);
  ASSERT_NE(dir, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(RemoveDirectoryW(u"C:\\d"));
  EXPECT_TRUE(sim::Inspect(u"C:\\d").exists);
  EXPECT_FAILS_WITH(Open(u"C:\\d", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS),
                    INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
  CloseHandle(dir);
  EXPECT_FALSE(sim::Inspect(u"C:\\d").exists);

  sim::MakeDirs(u"C:\\e");
  dir = Open(u"C:\\e", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  EXPECT_FAILS_WITH(RemoveDirectoryW(u"C:\\e"), FALSE, ERROR_SHARING_VIOLATION);
  CloseHandle(dir);
  EXPECT_TRUE(sim::Inspect(u"C:\\e").exists);
}

// CreateDirectoryW: which names it refuses and with which code; the
// full-path rules decide the name it creates.
TEST_F(SimFsFiles, CreateDirectoryCodes) {
  sim::MakeFile(u"C:\\file");
  EXPECT_TRUE(CreateDirectoryW(u"C:\\New", nullptr));
  EXPECT_TRUE(sim::Inspect(u"C:\\new").isDirectory);
  EXPECT_FAILS_WITH(CreateDirectoryW(u"C:\\NEW", nullptr), FALSE, ERROR_ALREADY_EXISTS);
  EXPECT_FAILS_WITH(CreateDirectoryW(u"C:\\file", nullptr), FALSE, ERROR_ALREADY_EXISTS);
  EXPECT_FAILS_WITH(CreateDirectoryW(u"C:\\", nullptr), FALSE, ERROR_ALREADY_EXISTS);
  EXPECT_FAILS_WITH(CreateDirectoryW(u"C:\\no\\such", nullptr), FALSE, ERROR_PATH_NOT_FOUND);
  EXPECT_FAILS_WITH(CreateDirectoryW(u"C:\\wild*", nullptr), FALSE, ERROR_INVALID_NAME);
  EXPECT_FAILS_WITH(CreateDirectoryW(u"C:\\q?", nullptr), FALSE, ERROR_INVALID_NAME);
  EXPECT_FAILS_WITH(CreateDirectoryW(nullptr, nullptr), FALSE, ERROR_PATH_NOT_FOUND);
  EXPECT_FAILS_WITH(CreateDirectoryW(u"", nullptr), FALSE, ERROR_PATH_NOT_FOUND);
  // Trailing dots and spaces go from the last component only.
  EXPECT_TRUE(CreateDirectoryW(u"C:\\dots..", nullptr));
  EXPECT_TRUE(CreateDirectoryW(u"C:\\dots./sub", nullptr));
  EXPECT_FAILS_WITH(CreateDirectoryW(u"C:\\dots../x", nullptr), FALSE, ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(CreateDirectoryW(u"C:\\slash\\", nullptr));
  EXPECT_EQ(sim::List(u"C:\\"), (Names{u"dots", u"file", u"New", u"slash"}));
  EXPECT_EQ(sim::List(u"C:\\dots"), (Names{u"sub"}));
}

// RemoveDirectoryW and DeleteFileW refuse the other kind of entry, missing
// names, non-empty and busy directories, read-only files.
TEST_F(SimFsFiles, RemoveAndDeleteCodes) {
  sim::MakeFile(u"C:\\full\\f");
  sim::MakeDirs(u"C:\\empty");
  EXPECT_FAILS_WITH(RemoveDirectoryW(u"C:\\full"), FALSE, ERROR_DIR_NOT_EMPTY);
  EXPECT_FAILS_WITH(RemoveDirectoryW(u"C:\\full\\f"), FALSE, ERROR_DIRECTORY);
  EXPECT_FAILS_WITH(RemoveDirectoryW(u"C:\\gone"), FALSE, ERROR_FILE_NOT_FOUND);
  EXPECT_FAILS_WITH(RemoveDirectoryW(u"C:\\gone\\x"), FALSE, ERROR_PATH_NOT_FOUND);
  EXPECT_FAILS_WITH(RemoveDirectoryW(u"C:\\bad*"), FALSE, ERROR_INVALID_NAME);
  EXPECT_FAILS_WITH(DeleteFileW(u"C:\\empty"), FALSE, ERROR_ACCESS_DENIED);
  EXPECT_FAILS_WITH(DeleteFileW(u"C:\\gone"), FALSE, ERROR_FILE_NOT_FOUND);
  EXPECT_FAILS_WITH(DeleteFileW(u"C:\\gone\\x"), FALSE, ERROR_PATH_NOT_FOUND);
  EXPECT_FAILS_WITH(DeleteFileW(u""), FALSE, ERROR_PATH_NOT_FOUND);

  HANDLE ro = Open(u"C:\\ro", GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_READONLY);
  ASSERT_NE(ro, INVALID_HANDLE_VALUE);
  CloseHandle(ro);
  EXPECT_EQ(GetFileAttributesW(u"C:\\ro"), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_FAILS_WITH(DeleteFileW(u"C:\\ro"), FALSE, ERROR_ACCESS_DENIED);
  EXPECT_FAILS_WITH(Open(u"C:\\ro", GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE,
                    ERROR_ACCESS_DENIED);

  EXPECT_TRUE(DeleteFileW(u"C:\\FULL\\F"));
  EXPECT_TRUE(RemoveDirectoryW(u"C:\\full"));
  EXPECT_TRUE(RemoveDirectoryW(u"C:\\empty\\"));
  EXPECT_EQ(sim::List(u"C:\\"), (Names{u"ro"}));
  EXPECT_FAILS_WITH(RemoveDirectoryW(u"C:\\"), FALSE, ERROR_ACCESS_DENIED);
}

// Deleting one name of a file leaves the file under its other names, with
// one link fewer.
TEST_F(SimFsFiles, DeleteRemovesOneNameOfAHardLinkedFile) {
  sim::MakeFile(u"C:\\one");
  ASSERT_TRUE(sim::CreateHardLinkW(u"C:\\two", u"C:\\one", nullptr));
  const uint64_t id = sim::Inspect(u"C:\\one").fileId;
  EXPECT_EQ(sim::Inspect(u"C:\\two").linkCount, 2u);
  EXPECT_TRUE(DeleteFileW(u"C:\\one"));
  sim::NodeInfo left = sim::Inspect(u"C:\\two");
  EXPECT_EQ(left.linkCount, 1u);
  EXPECT_EQ(left.fileId, id);
  EXPECT_EQ(sim::List(u"C:\\"), Names{u"two"});
}

// GetFileAttributesW reports the entry's attributes or why it cannot.
TEST_F(SimFsFiles, AttributesAndTheirErrors) {
  sim::MakeFile(u"C:\\d\\f");
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetFileAttributesW(u"C:\\d"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(GetFileAttributesW(u"c:\\D\\F"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_EQ(GetFileAttributesW(u"C:\\"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(GetLastError(), 0xdeadbeefu) << "success leaves the last error";
  EXPECT_FAILS_WITH(GetFileAttributesW(u"C:\\d\\nope"), INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND);
  EXPECT_FAILS_WITH(GetFileAttributesW(u"C:\\nope\\f"), INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND);
  EXPECT_FAILS_WITH(GetFileAttributesW(u"C:\\d\\f\\x"), INVALID_FILE_ATTRIBUTES, ERROR_PATH_NOT_FOUND);
  EXPECT_FAILS_WITH(GetFileAttributesW(u"C:\\d?"), INVALID_FILE_ATTRIBUTES, ERROR_INVALID_NAME);
}

// The current directory: relative paths resolve against it, it must be an
// existing directory, and it cannot be removed while current.
TEST_F(SimFsFiles, CurrentDirectory) {
  WCHAR buf[MAX_PATH];
  EXPECT_EQ(GetFullPathNameW(u".", MAX_PATH, buf, nullptr), 3u);
  EXPECT_EQ(std::u16string(buf), u"C:\\");
  sim::MakeDirs(u"C:\\work\\deep");
  sim::MakeFile(u"C:\\file");
  EXPECT_TRUE(SetCurrentDirectoryW(u"C:\\work\\"));
  EXPECT_EQ(GetFullPathNameW(u".", MAX_PATH, buf, nullptr), 7u) << "kept without its trailing backslash";
  EXPECT_EQ(std::u16string(buf), u"C:\\work");

  EXPECT_TRUE(CreateDirectoryW(u"sub", nullptr));
  EXPECT_TRUE(sim::Inspect(u"C:\\work\\sub").isDirectory);
  EXPECT_FAILS_WITH(RemoveDirectoryW(u"C:\\work"), FALSE, ERROR_SHARING_VIOLATION);
  EXPECT_FAILS_WITH(SetCurrentDirectoryW(u"C:\\file"), FALSE, ERROR_DIRECTORY);
  EXPECT_FAILS_WITH(SetCurrentDirectoryW(u"C:\\none"), FALSE, ERROR_FILE_NOT_FOUND);
  EXPECT_FAILS_WITH(SetCurrentDirectoryW(u"C:\\none\\x"), FALSE, ERROR_PATH_NOT_FOUND);
  EXPECT_TRUE(SetCurrentDirectoryW(u"deep"));
  // The old current directory is free again.
  EXPECT_TRUE(RemoveDirectoryW(u"C:\\work\\sub"));
  EXPECT_TRUE(SetCurrentDirectoryW(u"C:\\"));
  EXPECT_TRUE(RemoveDirectoryW(u"C:\\work\\deep"));
}

// GetFullPathNameW: lengths with and without the terminator, the file part,
// and an empty input that changes nothing.
TEST_F(SimFsFiles, FullPathNameContract) {
  sim::MakeDirs(u"C:\\work");
  ASSERT_TRUE(SetCurrentDirectoryW(u"C:\\work"));
  WCHAR buf[64];
  LPWSTR part = nullptr;
  EXPECT_EQ(GetFullPathNameW(u"a\\b.txt", 64, buf, &part), 15u);
  EXPECT_EQ(std::u16string(buf), u"C:\\work\\a\\b.txt");
  ASSERT_NE(part, nullptr);
  EXPECT_EQ(std::u16string(part), u"b.txt");
  EXPECT_EQ(GetFullPathNameW(u"C:\\x\\", 64, buf, &part), 5u);
  EXPECT_EQ(part, nullptr);
  // A server name alone has no file part; a share name is one.
  EXPECT_EQ(GetFullPathNameW(u"\\\\foo", 64, buf, &part), 5u);
  EXPECT_EQ(part, nullptr);
  EXPECT_EQ(GetFullPathNameW(u"//foo/bar", 64, buf, &part), 9u);
  EXPECT_EQ(part, buf + 6);

  WCHAR small[16];
  small[0] = u'#';
  EXPECT_EQ(GetFullPathNameW(u"a\\b.txt", 15, small, nullptr), 16u);
  EXPECT_EQ(small[0], u'#');
  EXPECT_EQ(GetFullPathNameW(u"a\\b.txt", 16, small, nullptr), 15u);

  LPWSTR untouched = buf;
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetFullPathNameW(u"", 64, buf, &untouched), 0u);
  EXPECT_EQ(GetFullPathNameW(nullptr, 64, buf, &untouched), 0u);
  EXPECT_EQ(GetLastError(), 0xdeadbeefu);
  EXPECT_EQ(untouched, buf);
}

// Names are found case-insensitively and keep the spelling they were made
// with; listings come in NTFS order (ordinal over upcased units).
TEST_F(SimFsFiles, ListingOrderAndCase) {
  const Names made = {u"ea.tmp.tmp", u"Éb.tmp", u"ea", u"..a", u"B", u"_x", u"éa.tmp", u".a", u"a", u"ea.tmp"};
  for (const auto& n : made) {
    std::u16string path = u"C:\\d\\" + n;
    sim::MakeDirs(u"C:\\d");
    HANDLE h = Open(path.c_str(), GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << sim::U8(path);
    CloseHandle(h);
  }
  // A trailing dot survives only in a literal path.
  HANDLE h = Open(u"\\\\?\\C:\\d\\a.", GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  CloseHandle(h);
  const Names expected = {u"..a", u".a", u"a", u"a.", u"B", u"ea", u"ea.tmp", u"ea.tmp.tmp",
                          u"_x", u"éa.tmp", u"Éb.tmp"};
  EXPECT_EQ(sim::List(u"C:\\d"), expected);
  Names withDots = {u".", u".."};
  withDots.insert(withDots.end(), expected.begin(), expected.end());
  DWORD end = 0;
  EXPECT_EQ(lbtest::ListPattern(u"C:\\d\\*", &end), withDots);
  EXPECT_EQ(end, static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_EQ(lbtest::ListPattern(u"C:\\D\\*.*"), withDots);
  EXPECT_FAILS_WITH(Open(u"C:\\d\\EA.TMP", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE,
                    ERROR_FILE_EXISTS);
  // An exact name returns the stored spelling.
  WIN32_FIND_DATAW d;
  h = FindFirstFileW(u"C:\\d\\éB.TMP", &d);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(std::u16string(d.cFileName), u"Éb.tmp");
  FindClose(h);
}

// FindFirstFileW/FindNextFileW/FindClose: the codes for each kind of bad
// pattern, the root without "." and "..", and the last error on success and
// at the end.
TEST_F(SimFsFiles, ListingCodes) {
  sim::MakeFile(u"C:\\d\\f");
  sim::MakeDirs(u"C:\\empty");
  WIN32_FIND_DATAW d;
  EXPECT_EQ(lbtest::ListPattern(u"C:\\*"), (Names{u"d", u"empty"}));
  EXPECT_EQ(lbtest::ListPattern(u"C:\\empty\\*.*"), (Names{u".", u".."}));
  EXPECT_EQ(lbtest::ListPattern(u"C:\\d\\*.txt"), Names{});
  EXPECT_FAILS_WITH(FindFirstFileW(u"C:\\d\\*.txt", &d), INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
  EXPECT_FAILS_WITH(FindFirstFileW(u"C:\\", &d), INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
  EXPECT_FAILS_WITH(FindFirstFileW(u"C:\\d\\", &d), INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
  EXPECT_FAILS_WITH(FindFirstFileW(u"C:\\nope\\", &d), INVALID_HANDLE_VALUE, ERROR_PATH_NOT_FOUND);
  EXPECT_FAILS_WITH(FindFirstFileW(u"C:\\nope", &d), INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
  EXPECT_FAILS_WITH(FindFirstFileW(u"C:\\nope\\*.*", &d), INVALID_HANDLE_VALUE, ERROR_PATH_NOT_FOUND);
  EXPECT_FAILS_WITH(FindFirstFileW(u"C:\\d\\f\\*", &d), INVALID_HANDLE_VALUE, ERROR_DIRECTORY);
  EXPECT_FAILS_WITH(FindFirstFileW(u"\\\\", &d), INVALID_HANDLE_VALUE, ERROR_INVALID_NAME);

  SetLastError(0xdeadbeef);
  HANDLE h = FindFirstFileW(u"C:\\d", &d);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), 0xdeadbeefu) << "a successful FindFirstFileW keeps the last error";
  EXPECT_EQ(std::u16string(d.cFileName), u"d");
  EXPECT_EQ(d.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(sim::OpenHandleKinds(), std::vector<std::string>{"find"});
  EXPECT_FAILS_WITH(FindNextFileW(h, &d), FALSE, ERROR_NO_MORE_FILES);
  EXPECT_FAILS_WITH(CloseHandle(h), FALSE, ERROR_INVALID_HANDLE);
  SetLastError(ERROR_NO_MORE_FILES);
  EXPECT_TRUE(FindClose(h));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_FILES));
  EXPECT_FAILS_WITH(FindClose(h), FALSE, ERROR_INVALID_HANDLE);
  EXPECT_FAILS_WITH(FindNextFileW(h, &d), FALSE, ERROR_INVALID_HANDLE);
}

// Every file call logs itself and fails on demand with the injected code,
// changing nothing.
TEST_F(SimFsFiles, FaultInjectionAndCallLog) {
  sim::MakeDirs(u"C:\\d");
  sim::FailCall("CreateDirectoryW", 1, ERROR_ACCESS_DENIED);
  EXPECT_FAILS_WITH(CreateDirectoryW(u"C:\\x", nullptr), FALSE, ERROR_ACCESS_DENIED);
  EXPECT_FALSE(sim::Inspect(u"C:\\x").exists);
  EXPECT_TRUE(CreateDirectoryW(u"C:\\x", nullptr));

  sim::FailCall("CreateFileW", 1, ERROR_SHARING_VIOLATION);
  EXPECT_FAILS_WITH(Open(u"C:\\f", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE,
                    ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(sim::Inspect(u"C:\\f").exists);
  sim::FailCall("RemoveDirectoryW", 1, 5);
  EXPECT_FAILS_WITH(RemoveDirectoryW(u"C:\\x"), FALSE, 5);
  EXPECT_TRUE(sim::Inspect(u"C:\\x").exists);
  sim::FailCall("GetFileAttributesW", 1, 21);
  EXPECT_FAILS_WITH(GetFileAttributesW(u"C:\\x"), INVALID_FILE_ATTRIBUTES, 21);

  WIN32_FIND_DATAW data;
  HANDLE h = FindFirstFileW(u"C:\\d\\*", &data);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  sim::FailCall("FindNextFileW", 1, 59);
  EXPECT_FAILS_WITH(FindNextFileW(h, &data), FALSE, 59);
  EXPECT_TRUE(FindNextFileW(h, &data));
  EXPECT_EQ(std::u16string(data.cFileName), u"..");
  EXPECT_TRUE(FindClose(h));
  EXPECT_EQ(sim::FaultsFired(), 5);

  sim::ClearCalls();
  SetLastError(0);
  DeleteFileW(u"C:\\nothing");
  std::vector<sim::Call> calls = sim::Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].name, "DeleteFileW");
  EXPECT_EQ(calls[1].args, "\"C:\\nothing\"");
  EXPECT_EQ(calls[1].result, "0");
  EXPECT_EQ(calls[1].lastError, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
