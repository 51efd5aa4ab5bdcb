// Reparse points, links, the backup link stream and volume mount points of
// the simulated volumes.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/record_bytes.h"
#include "tests/support.h"

namespace {

using Bytes = std::vector<uint8_t>;

using support::At16;
using support::At32;
std::u16string TextAt(const Bytes& v, size_t at, size_t bytes) {
  std::u16string s;
  for (size_t i = 0; i < bytes; i += 2) s.push_back(char16_t(At16(v, at + i)));
  return s;
}

// A junction record as the junction writer lays it out.
Bytes Junction(const std::u16string& sub, const std::u16string& print) {
  Bytes v;
  const uint16_t snl = uint16_t(sub.size() * 2), pnl = uint16_t(print.size() * 2);
  support::Append32(v, IO_REPARSE_TAG_MOUNT_POINT);
  support::Append16(v, uint16_t(snl + pnl + 12));
  support::Append16(v, 0);
  support::Append16(v, 0);
  support::Append16(v, snl);
  support::Append16(v, uint16_t(snl + 2));
  support::Append16(v, pnl);
  support::AppendName(v, sub);
  support::Append16(v, 0);
  support::AppendName(v, print);
  support::Append16(v, 0);
  return v;
}

// The name fields of a symbolic-link record, read by their offsets.
struct SymlinkFields {
  std::u16string substitute, print;
  uint32_t flags = 0;
};
SymlinkFields ReadSymlink(const Bytes& v) {
  SymlinkFields f;
  EXPECT_GE(v.size(), 20u);
  if (v.size() < 20) return f;
  EXPECT_EQ(At32(v, 0), IO_REPARSE_TAG_SYMLINK);
  EXPECT_EQ(At16(v, 4) + 8u, v.size()) << "ReparseDataLength";
  f.substitute = TextAt(v, 20 + At16(v, 8), At16(v, 10));
  f.print = TextAt(v, 20 + At16(v, 12), At16(v, 14));
  f.flags = At32(v, 16);
  return f;
}

class SimLinks : public lbtest::SimTest {
 protected:
  HANDLE OpenDir(const char16_t* path, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    HANDLE h = CreateFileW(path, access, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << sim::U8(path) << " error " << GetLastError();
    return h;
  }
  // FSCTL_SET_REPARSE_POINT on the path; returns 0 or the error.
  DWORD SetReparse(const char16_t* path, const Bytes& data, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    HANDLE h = OpenDir(path, access);
    DWORD got = 0xdeadbeef;
    SetLastError(0xdeadbeef);
    BOOL ok = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, const_cast<uint8_t*>(data.data()), DWORD(data.size()),
                              nullptr, 0, &got, nullptr);
    DWORD e = ok ? 0 : GetLastError();
    CloseHandle(h);
    return e;
  }
  static void EnableSymlinks() { sim::SetPrivilegeEnabled(u"SeCreateSymbolicLinkPrivilege", true); }
};

// FSCTL_SET_REPARSE_POINT validates the buffer and the file as NTFS does.
TEST_F(SimLinks, SetReparseValidation) {
  sim::MakeDirs(u"C:\\j");
  const Bytes good = Junction(u"\\??\\C:\\t", u"C:\\t");
  Bytes big = good;
  big.resize(MAXIMUM_REPARSE_DATA_BUFFER_SIZE + 8);
  big[4] = uint8_t((big.size() - 8) & 0xff);
  big[5] = uint8_t((big.size() - 8) >> 8);
  Bytes lengthOff = good;
  lengthOff[4] += 2;
  Bytes nameOutside = good;
  nameOutside[10] = 0x40;  // SubstituteNameLength past the buffer
  Bytes tagZero = good;
  std::memset(tagZero.data(), 0, 4);
  struct {
    const char* what;
    Bytes data;
    DWORD error;
  } cases[] = {
      {"over 16 KiB", big, ERROR_INVALID_REPARSE_DATA},
      {"shorter than the head", Bytes(good.begin(), good.begin() + 6), ERROR_INVALID_REPARSE_DATA},
      {"length field off by two", lengthOff, ERROR_INVALID_REPARSE_DATA},
      {"name outside the buffer", nameOutside, ERROR_INVALID_REPARSE_DATA},
      {"tag zero", tagZero, ERROR_REPARSE_TAG_INVALID},
  };
  for (auto& c : cases) EXPECT_EQ(SetReparse(u"C:\\j", c.data), c.error) << c.what;
  EXPECT_EQ(sim::Inspect(u"C:\\j").reparseTag, 0u) << "a refused buffer leaves the directory alone";

  // Write access is needed; FILE_WRITE_ATTRIBUTES alone is enough.
  EXPECT_EQ(SetReparse(u"C:\\j", good, GENERIC_READ), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(SetReparse(u"C:\\j", good, FILE_WRITE_ATTRIBUTES), 0u);

  // A handle that is no file: ERROR_INVALID_HANDLE.
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(DeviceIoControl(INVALID_HANDLE_VALUE, FSCTL_SET_REPARSE_POINT, const_cast<uint8_t*>(good.data()),
                               DWORD(good.size()), nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

// Mount-point data is taken in one layout only: substitute name at offset 0,
// print name right after its terminator, both terminated, nothing after.
TEST_F(SimLinks, MountPointDataLayoutIsStrict) {
  sim::MakeDirs(u"C:\\j");
  const std::u16string sub = u"\\??\\C:\\t", print = u"C:\\t";
  const uint16_t snl = uint16_t(sub.size() * 2), pnl = uint16_t(print.size() * 2);
  // Builds a record from its four name fields and the path buffer's bytes.
  auto record = [](uint16_t so, uint16_t sl, uint16_t po, uint16_t pl, const Bytes& names) {
    Bytes v;
    support::Append32(v, IO_REPARSE_TAG_MOUNT_POINT);
    support::Append16(v, uint16_t(8 + names.size()));
    support::Append16(v, 0);
    for (uint16_t x : {so, sl, po, pl}) support::Append16(v, x);
    v.insert(v.end(), names.begin(), names.end());
    return v;
  };
  auto text = [](std::initializer_list<std::u16string> parts) {
    Bytes v;
    for (const auto& p : parts) support::AppendName(v, p);
    return v;
  };
  const std::u16string nul(1, u'\0');
  const struct {
    const char* what;
    Bytes data;
  } refused[] = {
      {"print name first", record(uint16_t(pnl + 2), snl, 0, pnl, text({print, nul, sub, nul}))},
      {"no terminators", record(0, snl, snl, pnl, text({sub, print}))},
      {"print name not terminated", record(0, snl, uint16_t(snl + 2), pnl, text({sub, nul, print, u"x"}))},
      {"padding after the print name", record(0, snl, uint16_t(snl + 2), pnl, text({sub, nul, print, nul, nul}))},
      {"gap between the names", record(0, snl, uint16_t(snl + 4), pnl, text({sub, nul, nul, print, nul}))},
  };
  for (const auto& c : refused) EXPECT_EQ(SetReparse(u"C:\\j", c.data), DWORD(ERROR_INVALID_REPARSE_DATA)) << c.what;
  EXPECT_EQ(sim::Inspect(u"C:\\j").reparseTag, 0u);
  const Bytes strict = record(0, snl, uint16_t(snl + 2), pnl, text({sub, nul, print, nul}));
  EXPECT_EQ(strict, Junction(sub, print));
  EXPECT_EQ(SetReparse(u"C:\\j", strict), 0u);
}

// A mount point goes only on an empty directory; an existing reparse point
// takes new data of its own tag only.
TEST_F(SimLinks, SetReparseTargetRules) {
  sim::MakeDirs(u"C:\\full\\sub");
  sim::MakeFile(u"C:\\file");
  sim::MakeDirs(u"C:\\j");
  const Bytes first = Junction(u"\\??\\C:\\one", u"C:\\one");
  const Bytes second = Junction(u"\\??\\C:\\other\\two", u"C:\\other\\two");
  EXPECT_EQ(SetReparse(u"C:\\full", first), DWORD(ERROR_DIR_NOT_EMPTY));
  HANDLE f = CreateFileW(u"C:\\file", GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE);
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(DeviceIoControl(f, FSCTL_SET_REPARSE_POINT, const_cast<uint8_t*>(first.data()), DWORD(first.size()),
                               nullptr, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_DIRECTORY));
  CloseHandle(f);

  ASSERT_EQ(SetReparse(u"C:\\j", first), 0u);
  sim::NodeInfo info = sim::Inspect(u"C:\\j");
  EXPECT_EQ(info.attributes, DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_EQ(info.reparseData, first);
  EXPECT_EQ(SetReparse(u"C:\\j", second), 0u);
  EXPECT_EQ(sim::Inspect(u"C:\\j").reparseData, second) << "the same tag replaces the data";

  EnableSymlinks();
  Bytes link;
  support::Append32(link, IO_REPARSE_TAG_SYMLINK);
  support::Append16(link, 12 + 2);
  support::Append16(link, 0);
  for (uint16_t x : {0, 2, 0, 2}) support::Append16(link, x);
  support::Append32(link, SYMLINK_FLAG_RELATIVE);
  support::AppendName(link, u"x");
  EXPECT_EQ(SetReparse(u"C:\\j", link), DWORD(ERROR_REPARSE_TAG_MISMATCH));
}

// FSCTL_GET_REPARSE_POINT: size codes, partial copies and the exact bytes.
TEST_F(SimLinks, GetReparseSizes) {
  sim::MakeDirs(u"C:\\j");
  sim::MakeDirs(u"C:\\plain");
  const Bytes data = Junction(u"\\??\\C:\\some\\target", u"C:\\some\\target");
  ASSERT_EQ(SetReparse(u"C:\\j", data), 0u);
  HANDLE h = OpenDir(u"C:\\j", GENERIC_READ);
  HANDLE p = OpenDir(u"C:\\plain", GENERIC_READ);
  uint8_t out[MAXIMUM_REPARSE_DATA_BUFFER_SIZE];
  auto get = [&](HANDLE which, void* buf, DWORD size, DWORD* got) {
    SetLastError(0xdeadbeef);
    return DeviceIoControl(which, FSCTL_GET_REPARSE_POINT, nullptr, 0, buf, size, got, nullptr);
  };
  DWORD got = 0xdeadbeef;
  EXPECT_FALSE(get(h, nullptr, 0, &got));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_USER_BUFFER));
  EXPECT_FALSE(get(p, out, sizeof out, &got));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_A_REPARSE_POINT));
  got = 0xdeadbeef;
  EXPECT_FALSE(get(h, out, 27, &got));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(got, 0xdeadbeefu) << "nothing reported for a buffer below 28 bytes";
  std::memset(out, 0xcc, sizeof out);
  EXPECT_FALSE(get(h, out, 28, &got));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
  EXPECT_EQ(got, 28u);
  EXPECT_EQ(Bytes(out, out + 28), Bytes(data.begin(), data.begin() + 28));
  EXPECT_EQ(out[28], 0xcc) << "nothing past the buffer size";
  EXPECT_TRUE(get(h, out, sizeof out, &got));
  ASSERT_EQ(got, data.size());
  EXPECT_EQ(Bytes(out, out + got), data);
  // FSCTL_DELETE_REPARSE_POINT, like any control code no caller uses, stops
  // the run instead of answering.
  EXPECT_THROW(DeviceIoControl(h, 0x000900ACu, out, 8, nullptr, 0, &got, nullptr), sim::NotModelled);
  CloseHandle(h);
  CloseHandle(p);
}

// CreateSymbolicLinkW needs the privilege enabled and stores the target as
// an NT path (absolute) or as given (relative); the print name is the text.
TEST_F(SimLinks, SymbolicLinkCreation) {
  sim::MakeDirs(u"C:\\target");
  SetLastError(0xdeadbeef);
  EXPECT_EQ(sim::CreateSymbolicLinkW(u"C:\\link", u"C:\\target", SYMBOLIC_LINK_FLAG_DIRECTORY), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PRIVILEGE_NOT_HELD));
  EXPECT_FALSE(sim::Inspect(u"C:\\link").exists) << "a refused link leaves no name behind";

  EnableSymlinks();
  sim::AddVolume(u'D');
  struct {
    const char16_t* link;
    const char16_t* target;
    DWORD flags;
    const char* substitute;
    uint32_t linkFlags;
  } cases[] = {
      {u"C:\\d1", u"C:\\target", 1, "\\??\\C:\\target", 0},
      {u"C:\\d2", u"C:/target/./x/..", 1, "\\??\\C:\\target", 0},
      {u"C:\\d3", u"\\\\?\\D:\\a\\..\\b", 1, "\\??\\D:\\a\\..\\b", 0},
      {u"C:\\d4", u"\\\\server\\share\\dir", 1, "\\??\\UNC\\server\\share\\dir", 0},
      {u"C:\\f1", u"target\\file.txt", 0, "target\\file.txt", SYMLINK_FLAG_RELATIVE},
      {u"C:\\f2", u"..\\up", 0, "..\\up", SYMLINK_FLAG_RELATIVE},
  };
  for (auto& c : cases) {
    SetLastError(0xdeadbeef);
    ASSERT_EQ(sim::CreateSymbolicLinkW(c.link, c.target, c.flags), 1) << sim::U8(c.link) << " " << GetLastError();
    sim::NodeInfo info = sim::Inspect(c.link);
    EXPECT_EQ(info.isDirectory, c.flags == 1) << sim::U8(c.link);
    EXPECT_EQ(info.reparseTag, IO_REPARSE_TAG_SYMLINK);
    EXPECT_EQ(info.attributes, (c.flags == 1 ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_ARCHIVE) |
                                   FILE_ATTRIBUTE_REPARSE_POINT);
    SymlinkFields f = ReadSymlink(info.reparseData);
    EXPECT_EQ(sim::U8(f.substitute), c.substitute) << sim::U8(c.link);
    EXPECT_EQ(f.print, std::u16string(c.target)) << sim::U8(c.link);
    EXPECT_EQ(f.flags, c.linkFlags) << sim::U8(c.link);
  }
  // A dangling target is accepted; a taken name or a missing directory not.
  EXPECT_EQ(sim::CreateSymbolicLinkW(u"C:\\dangling", u"C:\\nowhere", 0), 1);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(sim::CreateSymbolicLinkW(u"C:\\d1", u"C:\\target", 1), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(sim::CreateSymbolicLinkW(u"C:\\missing\\l", u"C:\\target", 1), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(sim::CreateSymbolicLinkW(u"C:\\empty", u"", 0), 0);
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_REPARSE_DATA));
  EXPECT_FALSE(sim::Inspect(u"C:\\empty").exists);
}

// The unprivileged-create flag: refused with ERROR_INVALID_PARAMETER before
// Windows 10 build 14972 whatever else is wrong; from that build on it makes
// links without the privilege only with Developer Mode on. A made link leaves
// the last error at 0.
TEST_F(SimLinks, UnprivilegedCreateFlagFollowsBuildAndDeveloperMode) {
  const DWORD kFlag = SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE;
  const struct {
    DWORD major, minor, build;
    bool developerMode;
    DWORD flags;
    DWORD error;  // 0: made
  } cases[] = {
      {10, 0, 14393, true, kFlag | 1, ERROR_INVALID_PARAMETER},
      {10, 0, 14972, true, kFlag, 0},
      {10, 0, 0, false, kFlag, ERROR_PRIVILEGE_NOT_HELD},
      {10, 0, 0, true, 0, ERROR_PRIVILEGE_NOT_HELD},
  };
  for (const auto& c : cases) {
    sim::Reset();
    sim::SetTokenPrivileges({});
    sim::SetWindowsVersion(c.major, c.minor, c.build);
    sim::SetDeveloperMode(c.developerMode);
    SetLastError(0xdeadbeef);
    const BOOLEAN made = sim::CreateSymbolicLinkW(u"C:\\link", u"C:\\t", c.flags);
    const std::string what = std::to_string(c.major) + "." + std::to_string(c.build) + " mode " +
                             std::to_string(c.developerMode) + " flags " + std::to_string(c.flags);
    EXPECT_EQ(made, c.error == 0 ? 1 : 0) << what;
    EXPECT_EQ(GetLastError(), c.error) << what;
    EXPECT_EQ(sim::Inspect(u"C:\\link").exists, c.error == 0) << what;
  }
  // The flag is checked before the names: a taken name on an old system is
  // ERROR_INVALID_PARAMETER with the flag, ERROR_ALREADY_EXISTS without.
  sim::Reset();
  sim::SetWindowsVersion(6, 0);
  sim::MakeDirs(u"C:\\taken");
  EXPECT_FAILS_WITH(sim::CreateSymbolicLinkW(u"C:\\taken", u"C:\\t", kFlag | 1), 0, ERROR_INVALID_PARAMETER);
  EXPECT_FAILS_WITH(sim::CreateSymbolicLinkW(u"C:\\taken", u"C:\\t", 1), 0, ERROR_ALREADY_EXISTS);
  // GetVersionExW reports the chosen build.
  sim::SetWindowsVersion(10, 0, 14393);
  OSVERSIONINFOW v = {};
  v.dwOSVersionInfoSize = sizeof v;
  ASSERT_TRUE(GetVersionExW(&v));
  EXPECT_EQ(v.dwBuildNumber, 14393u);
}

// CreateHardLinkW adds a name to the same file, with the documented refusals.
TEST_F(SimLinks, HardLinks) {
  sim::MakeFile(u"C:\\a\\file");
  sim::MakeDirs(u"C:\\dir");
  sim::AddVolume(u'D');
  sim::AddShare(u"srv", u"c", u"C:\\");
  sim::AddShare(u"srv", u"a", u"C:\\a");
  ASSERT_TRUE(sim::CreateHardLinkW(u"C:\\dir\\second", u"C:\\a\\file", nullptr));
  sim::NodeInfo one = sim::Inspect(u"C:\\a\\file"), two = sim::Inspect(u"C:\\dir\\second");
  EXPECT_EQ(one.fileId, two.fileId);
  EXPECT_EQ(two.linkCount, 2u);
  struct {
    const char16_t* newName;
    const char16_t* existing;
    DWORD error;
  } refusals[] = {
      {u"C:\\DIR\\SECOND", u"C:\\a\\file", ERROR_ALREADY_EXISTS},
      {u"C:\\dir", u"C:\\a\\file", ERROR_ALREADY_EXISTS},
      {u"C:\\x", u"C:\\dir", ERROR_ACCESS_DENIED},
      {u"C:\\x", u"C:\\a\\nothing", ERROR_FILE_NOT_FOUND},
      {u"C:\\nodir\\x", u"C:\\a\\file", ERROR_PATH_NOT_FOUND},
      {u"D:\\x", u"C:\\a\\file", ERROR_NOT_SAME_DEVICE},
      // A share reaches its folder through the redirector, not as the volume.
      {u"\\\\srv\\c\\x", u"C:\\a\\file", ERROR_NOT_SAME_DEVICE},
      {u"C:\\x", u"\\\\srv\\c\\a\\file", ERROR_NOT_SAME_DEVICE},
      {u"\\\\srv\\a\\x", u"\\\\srv\\c\\a\\file", ERROR_NOT_SAME_DEVICE},
  };
  for (auto& r : refusals) {
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(sim::CreateHardLinkW(r.newName, r.existing, nullptr)) << sim::U8(r.newName);
    EXPECT_EQ(GetLastError(), r.error) << sim::U8(r.newName) << " <- " << sim::U8(r.existing);
  }
  EXPECT_EQ(sim::Inspect(u"C:\\a\\file").linkCount, 2u);
  EXPECT_TRUE(sim::CreateHardLinkW(u"\\\\srv\\c\\third", u"\\\\?\\UNC\\srv\\c\\a\\file", nullptr))
      << "one share is one device";
  EXPECT_EQ(sim::Inspect(u"C:\\a\\file").linkCount, 3u);

  // A file symbolic link gets a second name itself, not its target.
  EnableSymlinks();
  ASSERT_EQ(sim::CreateSymbolicLinkW(u"C:\\sl", u"C:\\a\\file", 0), 1);
  ASSERT_TRUE(sim::CreateHardLinkW(u"C:\\sl2", u"C:\\sl", nullptr));
  sim::NodeInfo sl2 = sim::Inspect(u"C:\\sl2");
  EXPECT_EQ(sl2.reparseTag, IO_REPARSE_TAG_SYMLINK);
  EXPECT_EQ(sl2.fileId, sim::Inspect(u"C:\\sl").fileId);
  EXPECT_EQ(sim::Inspect(u"C:\\a\\file").linkCount, 3u);
}

class SimBackupLink : public SimLinks {
 protected:
  void SetUp() override {
    SimLinks::SetUp();
    sim::MakeFile(u"C:\\src\\file");
    sim::MakeDirs(u"C:\\out");
  }
  static Bytes Head(DWORD stream, uint64_t size) {
    Bytes v;
    support::Append32(v, stream);
    support::Append32(v, 0);
    support::Append32(v, uint32_t(size));
    support::Append32(v, uint32_t(size >> 32));
    support::Append32(v, 0);
    return v;
  }
  static Bytes Name(const std::u16string& s) {
    Bytes v;
    support::AppendName(v, s);
    support::Append16(v, 0);
    return v;
  }
  HANDLE OpenSource(DWORD access = GENERIC_WRITE) {
    return CreateFileW(u"C:\\src\\file", access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  }
  BOOL Write(HANDLE h, Bytes data, DWORD* written, void** ctx) {
    SetLastError(0xdeadbeef);
    return BackupWrite(h, data.data(), DWORD(data.size()), written, FALSE, FALSE, ctx);
  }
  void Abort(HANDLE h, void** ctx) {
    DWORD n = 0;
    EXPECT_TRUE(BackupWrite(h, nullptr, 0, &n, TRUE, FALSE, ctx));
    EXPECT_EQ(*ctx, nullptr);
  }
};

// The link stream may arrive in one call or split anywhere; the link is made
// once its data is complete, and the abort call frees the context.
TEST_F(SimBackupLink, LinkStreamMakesHardLink) {
  const Bytes name = Name(u"C:\\out\\link");
  for (size_t split : {size_t(20), size_t(7), size_t(25), size_t(20 + name.size())}) {
    DeleteFileW(u"C:\\out\\link");
    Bytes all = Head(BACKUP_LINK, name.size());
    all.insert(all.end(), name.begin(), name.end());
    HANDLE h = OpenSource();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    void* ctx = nullptr;
    DWORD written = 0;
    ASSERT_TRUE(Write(h, Bytes(all.begin(), all.begin() + split), &written, &ctx)) << split;
    EXPECT_EQ(written, split);
    EXPECT_NE(ctx, nullptr);
    EXPECT_EQ(sim::LiveBackupContexts(), 1);
    if (split < all.size()) {
      EXPECT_FALSE(sim::Inspect(u"C:\\out\\link").exists) << "no link before the data is complete";
      ASSERT_TRUE(Write(h, Bytes(all.begin() + split, all.end()), &written, &ctx)) << split;
      EXPECT_EQ(written, all.size() - split);
    }
    sim::NodeInfo link = sim::Inspect(u"C:\\out\\link");
    EXPECT_TRUE(link.exists) << split;
    EXPECT_EQ(link.fileId, sim::Inspect(u"C:\\src\\file").fileId);
    EXPECT_EQ(link.linkCount, 2u);
    Abort(h, &ctx);
    EXPECT_EQ(sim::LiveBackupContexts(), 0);
    CloseHandle(h);
  }
}

// Aborting before the data is complete makes no link; a short-write fault
// reports fewer bytes; the link's own errors come from the data call.
TEST_F(SimBackupLink, AbortShortWriteAndErrors) {
  const Bytes name = Name(u"C:\\out\\link");
  HANDLE h = OpenSource();
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  void* ctx = nullptr;
  DWORD written = 0;
  ASSERT_TRUE(Write(h, Head(BACKUP_LINK, name.size()), &written, &ctx));
  Abort(h, &ctx);
  EXPECT_FALSE(sim::Inspect(u"C:\\out\\link").exists);
  EXPECT_EQ(sim::LiveBackupContexts(), 0);

  sim::ShortBackupWrite(1, 12);
  ASSERT_TRUE(Write(h, Head(BACKUP_LINK, name.size()), &written, &ctx));
  EXPECT_EQ(written, 12u);
  Abort(h, &ctx);

  sim::MakeFile(u"C:\\out\\taken");
  const Bytes taken = Name(u"C:\\out\\taken");
  ASSERT_TRUE(Write(h, Head(BACKUP_LINK, taken.size()), &written, &ctx));
  EXPECT_FALSE(Write(h, taken, &written, &ctx));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ALREADY_EXISTS));
  Abort(h, &ctx);
  CloseHandle(h);
  EXPECT_EQ(sim::LiveBackupContexts(), 0);
}

// BackupWrite needs a file handle with write access.
TEST_F(SimBackupLink, HandleMustBeWritableFile) {
  const Bytes head = Head(BACKUP_LINK, 4);
  void* ctx = nullptr;
  DWORD written = 0;
  HANDLE ro = OpenSource(GENERIC_READ);
  ASSERT_NE(ro, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(Write(ro, head, &written, &ctx));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  CloseHandle(ro);
  HANDLE dir = OpenDir(u"C:\\out");
  EXPECT_FALSE(Write(dir, head, &written, &ctx));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  CloseHandle(dir);
  EXPECT_FALSE(Write(INVALID_HANDLE_VALUE, head, &written, &ctx));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_EQ(ctx, nullptr);
  EXPECT_EQ(sim::LiveBackupContexts(), 0);
}

// Volume names: roots and mounted folders have one, other paths the
// documented errors.
TEST_F(SimLinks, VolumeNameQueries) {
  sim::MakeDirs(u"C:\\plain");
  WCHAR buf[MAX_PATH];
  auto query = [&](const char16_t* path, DWORD chars = MAX_PATH) {
    SetLastError(0xdeadbeef);
    return sim::GetVolumeNameForVolumeMountPointW(path, buf, chars) ? 0u : GetLastError();
  };
  ASSERT_EQ(query(u"C:\\"), 0u);
  EXPECT_EQ(std::u16string(buf), sim::VolumeGuidPath(u'C'));
  EXPECT_EQ(std::u16string(buf).size(), 49u);
  EXPECT_EQ(query(u"C:\\", 49), DWORD(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(query(u"C:\\", 0), DWORD(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(query(u"C:"), DWORD(ERROR_INVALID_NAME));
  EXPECT_EQ(query(u"C:\\plain"), DWORD(ERROR_INVALID_NAME));
  EXPECT_EQ(query(u"C:\\plain\\"), DWORD(ERROR_NOT_A_REPARSE_POINT));
  EXPECT_EQ(query(u"C:\\nothing\\"), DWORD(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(query(u"Q:\\"), DWORD(ERROR_FILE_NOT_FOUND));
  // Through a share, even one of a volume root, no volume is named.
  sim::AddShare(u"srv", u"c", u"C:\\");
  EXPECT_EQ(query(u"\\\\srv\\c\\"), DWORD(ERROR_NOT_SUPPORTED));
  EXPECT_EQ(query(u"\\\\?\\UNC\\srv\\c\\plain\\"), DWORD(ERROR_NOT_SUPPORTED));
}

// SetVolumeMountPointW mounts a volume on an empty directory; paths through
// it reach the other volume; DeleteVolumeMountPointW leaves the directory.
TEST_F(SimLinks, MountSetFollowDelete) {
  sim::AddVolume(u'D');
  sim::MakeDirs(u"C:\\mnt");
  sim::MakeFile(u"C:\\busy\\f");
  const std::u16string d = sim::VolumeGuidPath(u'D');
  auto set = [&](const char16_t* at, const std::u16string& vol) {
    SetLastError(0xdeadbeef);
    return sim::SetVolumeMountPointW(at, vol.c_str()) ? 0u : GetLastError();
  };
  EXPECT_EQ(set(u"C:\\mnt", d), DWORD(ERROR_INVALID_NAME));
  EXPECT_EQ(set(u"C:\\mnt\\", u"D:\\"), DWORD(ERROR_INVALID_NAME));
  EXPECT_EQ(set(u"C:\\mnt\\", u"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\"),
            DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(set(u"C:\\busy\\", d), DWORD(ERROR_DIR_NOT_EMPTY));
  EXPECT_EQ(set(u"C:\\none\\", d), DWORD(ERROR_FILE_NOT_FOUND));
  sim::AddShare(u"srv", u"c", u"C:\\");
  EXPECT_EQ(set(u"\\\\srv\\c\\mnt\\", d), DWORD(ERROR_NOT_SUPPORTED));
  ASSERT_EQ(set(u"C:\\mnt\\", d), 0u);
  EXPECT_EQ(set(u"C:\\mnt\\", d), DWORD(ERROR_DIR_NOT_EMPTY)) << "already a mounted folder";

  sim::NodeInfo mnt = sim::Inspect(u"C:\\mnt");
  EXPECT_EQ(mnt.attributes, DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  EXPECT_EQ(mnt.reparseData, Junction(u"\\??\\" + d.substr(4), u""));
  WCHAR buf[MAX_PATH];
  ASSERT_TRUE(sim::GetVolumeNameForVolumeMountPointW(u"C:/mnt/../mnt/.\\", buf, MAX_PATH));
  EXPECT_EQ(std::u16string(buf), d);

  // A file made through the mounted folder lands on D:.
  HANDLE f = CreateFileW(u"C:\\mnt\\made.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  ASSERT_NE(f, INVALID_HANDLE_VALUE) << GetLastError();
  CloseHandle(f);
  EXPECT_TRUE(sim::Inspect(u"D:\\made.txt").exists);
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(sim::GetVolumeNameForVolumeMountPointW(u"C:\\mnt\\made.txt\\", buf, MAX_PATH));

  EXPECT_FAILS_WITH(sim::DeleteVolumeMountPointW(u"C:\\mnt"), FALSE, ERROR_INVALID_NAME);
  EXPECT_FAILS_WITH(sim::DeleteVolumeMountPointW(u"\\\\srv\\c\\mnt\\"), FALSE, ERROR_NOT_SUPPORTED);
  ASSERT_TRUE(sim::DeleteVolumeMountPointW(u"C:\\mnt\\"));
  mnt = sim::Inspect(u"C:\\mnt");
  EXPECT_TRUE(mnt.exists);
  EXPECT_EQ(mnt.attributes, DWORD(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_TRUE(sim::List(u"C:\\mnt").empty());
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(sim::DeleteVolumeMountPointW(u"C:\\mnt\\"));
  EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_A_REPARSE_POINT));
}

// Only an elevated administrator changes mount points; DeleteVolumeMountPointW
// on a junction to a directory fails and leaves the junction as it was.
TEST_F(SimLinks, MountPointsNeedElevationAndDeleteRefusesJunctions) {
  sim::AddVolume(u'D');
  sim::MakeDirs(u"C:\\mnt");
  sim::MakeDirs(u"C:\\j");
  sim::MakeDirs(u"C:\\t");
  const Bytes junction = Junction(u"\\??\\C:\\t", u"C:\\t");
  ASSERT_EQ(SetReparse(u"C:\\j", junction), 0u);
  const std::u16string d = sim::VolumeGuidPath(u'D');

  sim::SetElevated(false);
  EXPECT_FAILS_WITH(sim::SetVolumeMountPointW(u"C:\\mnt\\", d.c_str()), FALSE, ERROR_ACCESS_DENIED);
  EXPECT_EQ(sim::Inspect(u"C:\\mnt").reparseTag, 0u);
  EXPECT_FAILS_WITH(sim::DeleteVolumeMountPointW(u"C:\\j\\"), FALSE, ERROR_ACCESS_DENIED);
  // Asking which volume a folder mounts needs no elevation.
  WCHAR buf[MAX_PATH];
  EXPECT_TRUE(sim::GetVolumeNameForVolumeMountPointW(u"D:\\", buf, MAX_PATH));

  sim::SetElevated(true);
  EXPECT_FAILS_WITH(sim::DeleteVolumeMountPointW(u"C:\\j\\"), FALSE, ERROR_INVALID_PARAMETER);
  EXPECT_EQ(sim::Inspect(u"C:\\j").reparseData, junction);
  ASSERT_TRUE(sim::SetVolumeMountPointW(u"C:\\mnt\\", d.c_str()));
  sim::SetElevated(false);
  EXPECT_FAILS_WITH(sim::DeleteVolumeMountPointW(u"C:\\mnt\\"), FALSE, ERROR_ACCESS_DENIED);
  EXPECT_EQ(sim::Inspect(u"C:\\mnt").reparseTag, IO_REPARSE_TAG_MOUNT_POINT);
  sim::SetElevated(true);
  EXPECT_TRUE(sim::DeleteVolumeMountPointW(u"C:\\mnt\\"));
}

// GetFileInformationByHandle: the volume serial number and file index name
// a file wherever it is reached from (hard links, junctions, mount points);
// a handle that is no open file fails with ERROR_INVALID_HANDLE.
TEST_F(SimLinks, FileIdentityByHandle) {
  sim::AddVolume(u'D');
  sim::MakeFile(u"C:\\dir\\one");
  sim::MakeDirs(u"C:\\mnt");
  sim::MakeDirs(u"D:\\inner");
  ASSERT_TRUE(sim::CreateHardLinkW(u"C:\\two", u"C:\\dir\\one", nullptr));
  sim::MakeDirs(u"C:\\j");
  sim::PlantReparse(u"C:\\j", Junction(u"\\??\\C:\\dir", u"C:\\dir"));
  ASSERT_TRUE(sim::SetVolumeMountPointW(u"C:\\mnt\\", sim::VolumeGuidPath(u'D').c_str()));

  struct Id {
    DWORD serial, high, low, links, attributes;
    bool operator==(const Id& o) const { return serial == o.serial && high == o.high && low == o.low; }
  };
  auto identity = [](const char16_t* path, DWORD flags) {
    Id id{};
    HANDLE h = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, flags, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << sim::U8(path);
    if (h == INVALID_HANDLE_VALUE) return id;
    BY_HANDLE_FILE_INFORMATION info;
    memset(&info, 0xcc, sizeof info);
    SetLastError(0xdeadbeef);
    EXPECT_TRUE(GetFileInformationByHandle(h, &info));
    EXPECT_EQ(GetLastError(), 0xdeadbeefu) << "success leaves the last error";
    EXPECT_EQ(info.ftLastWriteTime.dwLowDateTime, 0u) << "every member is written";
    id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow, info.nNumberOfLinks,
          info.dwFileAttributes};
    CloseHandle(h);
    return id;
  };
  const DWORD dir = FILE_FLAG_BACKUP_SEMANTICS;
  const Id one = identity(u"C:\\dir\\one", 0);
  EXPECT_EQ(one.links, 2u);
  EXPECT_EQ(one.attributes, DWORD(FILE_ATTRIBUTE_ARCHIVE));
  EXPECT_TRUE(identity(u"C:\\two", 0) == one);
  EXPECT_TRUE(identity(u"C:\\j\\one", 0) == one);
  EXPECT_FALSE(identity(u"C:\\dir", dir) == one);
  EXPECT_TRUE(identity(u"C:\\j", dir) == identity(u"C:\\dir", dir)) << "a junction opens its target";
  const Id link = identity(u"C:\\j", dir | FILE_FLAG_OPEN_REPARSE_POINT);
  EXPECT_FALSE(link == identity(u"C:\\dir", dir));
  EXPECT_EQ(link.attributes, DWORD(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
  // Through the mount point: D:'s root, with D:'s serial number.
  const Id mounted = identity(u"C:\\mnt\\", dir);
  EXPECT_TRUE(mounted == identity(u"D:\\", dir));
  EXPECT_NE(mounted.serial, identity(u"C:\\", dir).serial);
  EXPECT_EQ(identity(u"C:\\mnt\\inner", dir).serial, mounted.serial);

  BY_HANDLE_FILE_INFORMATION info;
  EXPECT_FAILS_WITH(GetFileInformationByHandle(INVALID_HANDLE_VALUE, &info), FALSE, ERROR_INVALID_HANDLE);
  EXPECT_FAILS_WITH(GetFileInformationByHandle(GetCurrentProcess(), &info), FALSE, ERROR_INVALID_HANDLE);
  HANDLE h = CreateFileW(u"C:\\two", FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(h, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(CloseHandle(h));
  EXPECT_FAILS_WITH(GetFileInformationByHandle(h, &info), FALSE, ERROR_INVALID_HANDLE);  // closed
}

}  // namespace
