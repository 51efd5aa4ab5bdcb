// Clone roots in every shape a user can type: drive roots, trailing
// separators, "\\?\" and "\\.\" paths, server shares in both spellings,
// relative paths, "." and ".." components and forward slashes, with and
// without the long-path prefix, for symbolic and hard links.
#include <string>
#include <vector>

#include "clone/clone.h"
#include "links/links.h"
#include "platform/probe.h"
#include "support/fresh_process.h"
#include "tests/support.h"

namespace {

struct RootCase {
  const char* what;
  const char16_t* source;
  const char16_t* dest;
  bool prefix;
  // Both roots on one volume: hard links can be made.
  bool sameVolume;
  // Where the mirror lands, as a drive path ending in a backslash.
  const char16_t* mirror;
  // The source root as the clone builds file paths on it (the target of a
  // file symbolic link), the form verbose output prints it in, and the form
  // records name the destination root in; each ends in a backslash.
  const char* builtSource;
  const char* shownSource;
  const char* shownDest;
};

// C:\src and F:\src hold a.txt and sub\b.txt, and so does the root of D:;
// E: is empty; "\\srv\share" is C:\.
void Trees() {
  sim::AddVolume(u'D');
  sim::AddVolume(u'E');
  sim::AddVolume(u'F');
  for (const char16_t* root : {u"C:\\src\\", u"F:\\src\\", u"D:\\"}) {
    sim::MakeFile(std::u16string(root) + u"a.txt");
    sim::MakeFile(std::u16string(root) + u"sub\\b.txt");
  }
  sim::MakeDirs(u"C:\\dst");
  sim::AddShare(u"srv", u"share", u"C:\\");
}

const std::vector<RootCase>& Cases() {
  static const std::vector<RootCase> cases = {
      {"drive paths", u"C:\\src", u"C:\\dst", true, true, u"C:\\dst\\", "\\\\?\\C:\\src\\", "C:\\src\\",
       "C:\\dst\\"},
      {"trailing separators", u"C:\\src\\", u"C:\\dst\\", true, true, u"C:\\dst\\", "\\\\?\\C:\\src\\",
       "C:\\src\\", "C:\\dst\\"},
      {"drive root to drive root", u"D:\\", u"E:\\", true, false, u"E:\\", "\\\\?\\D:\\", "D:\\", "E:\\"},
      {"into a drive root", u"F:\\src", u"F:\\", true, true, u"F:\\", "\\\\?\\F:\\src\\", "F:\\src\\",
       "F:\\"},
      {"long-path roots", u"\\\\?\\C:\\src", u"\\\\?\\C:\\dst", true, true, u"C:\\dst\\",
       "\\\\?\\C:\\src\\", "C:\\src\\", "C:\\dst\\"},
      {"long-path roots with separators", u"\\\\?\\C:\\src\\", u"\\\\?\\C:\\dst\\", true, true,
       u"C:\\dst\\", "\\\\?\\C:\\src\\", "C:\\src\\", "C:\\dst\\"},
      {"device roots", u"\\\\.\\C:\\src", u"\\\\.\\C:\\dst", true, true, u"C:\\dst\\",
       "\\\\.\\C:\\src\\", "C:\\src\\", "C:\\dst\\"},
      {"server share", u"\\\\srv\\share\\src", u"\\\\srv\\share\\dst", true, true, u"C:\\dst\\",
       "\\\\?\\UNC\\srv\\share\\src\\", "\\\\srv\\share\\src\\", "\\\\srv\\share\\dst\\"},
      {"long-path server share", u"\\\\?\\UNC\\srv\\share\\src", u"\\\\?\\UNC\\srv\\share\\dst\\", true,
       true, u"C:\\dst\\", "\\\\?\\UNC\\srv\\share\\src\\", "\\\\srv\\share\\src\\",
       "\\\\srv\\share\\dst\\"},
      {"relative", u"src", u"dst", true, true, u"C:\\dst\\", "\\\\?\\C:\\src\\", "C:\\src\\", "C:\\dst\\"},
      {"dot components", u"C:\\src\\sub\\..", u"C:\\dst\\.", true, true, u"C:\\dst\\", "\\\\?\\C:\\src\\",
       "C:\\src\\", "C:\\dst\\"},
      {"forward slashes", u"C:/src/", u"C:/dst", true, true, u"C:\\dst\\", "\\\\?\\C:\\src\\",
       "C:\\src\\", "C:\\dst\\"},
      {"plain drive paths", u"C:\\src", u"C:\\dst", false, true, u"C:\\dst\\", "C:\\src\\", "C:\\src\\",
       "C:\\dst\\"},
      {"plain trailing separators", u"C:\\src\\", u"C:\\dst\\", false, true, u"C:\\dst\\", "C:\\src\\",
       "C:\\src\\", "C:\\dst\\"},
      {"plain drive roots", u"D:\\", u"E:\\", false, false, u"E:\\", "D:\\", "D:\\", "E:\\"},
      {"plain long-path roots", u"\\\\?\\C:\\src\\", u"\\\\?\\C:\\dst", false, true, u"C:\\dst\\",
       "\\\\?\\C:\\src\\", "\\\\?\\C:\\src\\", "\\\\?\\C:\\dst\\"},
      {"plain server share", u"\\\\srv\\share\\src", u"\\\\srv\\share\\dst\\", false, true, u"C:\\dst\\",
       "\\\\srv\\share\\src\\", "\\\\srv\\share\\src\\", "\\\\srv\\share\\dst\\"},
      {"plain forward slashes", u"C:/src/sub/../", u"./dst/", false, true, u"C:\\dst\\", "C:\\src\\",
       "C:\\src\\", "C:\\dst\\"},
  };
  return cases;
}

class CloneRoots : public lbtest::SimTest {
 protected:
  DWORD Clone(const RootCase& c, LinkKind kind) {
    sim::TakeStdout();
    failures.clear();
    counter = 0;
    return CloneTree(c.source, c.dest, counter, 0, kind, c.prefix ? 1 : 0, failures, nullptr);
  }
  DWORD counter = 0;
  FailureList failures;
};

// Every shape mirrors the whole tree: the subdirectory is made, each file is
// linked to its source under the built root without a doubled separator,
// verbose lines and records show the roots without the prefix (a share as
// "\\srv\share"), and a second run records the existing file under the
// destination's shown form.
TEST_F(CloneRoots, EveryShapeMirrorsTheTree) {
  for (const RootCase& c : Cases()) {
    for (LinkKind kind : {LinkKindSymbolic, LinkKindHard}) {
      if (kind == LinkKindHard && !c.sameVolume) continue;
      SCOPED_TRACE(std::string(c.what) + (kind == LinkKindHard ? ", hard links" : ", symbolic links"));
      support::FreshProcess();
      Trees();
      ProbeCapabilities();
      const std::u16string mirror = c.mirror;

      ASSERT_EQ(Clone(c, kind), 0u) << lbtest::Records(failures).size() << " records, first: "
                                    << (failures.empty() ? "" : lbtest::Records(failures)[0]);
      EXPECT_EQ(counter, 2u);
      EXPECT_TRUE(sim::Inspect(mirror + u"sub").isDirectory);
      if (kind == LinkKindSymbolic) {
        EXPECT_EQ(lbtest::LinkTarget(mirror + u"a.txt"), std::string(c.builtSource) + "a.txt");
        EXPECT_EQ(lbtest::LinkTarget(mirror + u"sub\\b.txt"), std::string(c.builtSource) + "sub\\b.txt");
      } else {
        sim::NodeInfo link = sim::Inspect(mirror + u"a.txt");
        EXPECT_EQ(link.linkCount, 2u);
        EXPECT_EQ(link.reparseTag, 0u);
        EXPECT_EQ(sim::Inspect(mirror + u"sub\\b.txt").linkCount, 2u);
      }
      EXPECT_EQ(sim::TakeStdout(), std::string(c.shownSource) + "a.txt\r\n" + c.shownSource + "sub\\b.txt\r\n");

      EXPECT_EQ(Clone(c, kind), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
      EXPECT_EQ(lbtest::Records(failures), std::vector<std::string>{std::string(c.shownDest) + "a.txt=183"});
      EXPECT_EQ(sim::TakeStdout(), "ERROR: Couldn't create already existing " + std::string(c.shownDest) +
                                       "a.txt\r\n");
      EXPECT_EQ(sim::OpenHandleCount(), 0u);
    }
  }
}

// A source that cannot be listed is recorded whole, prefix included, and
// printed in its shown form; for a share that is "\\srv\share\...".
TEST_F(CloneRoots, UnlistableShareRootIsRecordedInBothForms) {
  Trees();
  ProbeCapabilities();
  EXPECT_EQ(CloneTree(u"\\\\srv\\share\\nosrc", u"C:\\dst", counter, 0, LinkKindSymbolic, 1, failures,
                      nullptr),
            static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(lbtest::Records(failures), std::vector<std::string>{"\\\\?\\UNC\\srv\\share\\nosrc=3"});
  EXPECT_EQ(sim::TakeStdout(), "ERROR: Failed to enumerate files in \\\\srv\\share\\nosrc\r\n");
}

// A root whose listing fails is recorded, a drive junction too (dangling, or
// denied). An empty volume root lists nothing, not even "." and "..": an
// empty level, at the root as where it is mounted inside the source.
TEST_F(CloneRoots, RootListings) {
  const struct {
    const char16_t* source;
    DWORD denied, result;
    std::vector<std::string> records;
  } cases[] = {
      {u"C:\\gone", 0, ERROR_PATH_NOT_FOUND, {"\\\\?\\C:\\gone=3"}},
      {u"C:\\compat", ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED, {"\\\\?\\C:\\compat=5"}},
      {u"E:\\", 0, 0, {}},
      {u"C:\\mounts", 0, 0, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(sim::U8(c.source));
    support::FreshProcess();
    Trees();
    ProbeCapabilities();
    ASSERT_EQ(MakeJunction(u"C:\\gone", u"Q:\\data"), 0u);
    ASSERT_EQ(MakeJunction(u"C:\\compat", u"C:\\src"), 0u);
    sim::MakeDirs(u"C:\\mounts\\e");
    ASSERT_TRUE(sim::SetVolumeMountPointW(u"C:\\mounts\\e\\", sim::VolumeGuidPath(u'E').c_str()));
    if (c.denied != 0) sim::FailCall("FindFirstFileW", 1, c.denied);
    failures.clear();
    EXPECT_EQ(CloneTree(c.source, u"C:\\dst", counter, 1, LinkKindSymbolic, 1, failures, nullptr), c.result);
    EXPECT_EQ(lbtest::Records(failures), c.records);
  }
}

// A server nobody answers for fails the listing with ERROR_BAD_NETPATH, as
// every call on an unreachable share does.
TEST_F(CloneRoots, UnreachableServer) {
  Trees();
  ProbeCapabilities();
  EXPECT_EQ(CloneTree(u"\\\\nobody\\share\\src", u"C:\\dst", counter, 1, LinkKindSymbolic, 1, failures,
                      nullptr),
            53u);
  EXPECT_TRUE(sim::List(u"C:\\dst").empty());
}

// A root whose long-path form does not fit is refused before anything is
// made: a share grows by six characters ("\\" becomes "\\?\UNC\").
TEST_F(CloneRoots, ShareRootAtTheLengthLimit) {
  Trees();
  ProbeCapabilities();
  // 8195 characters with "\\?\UNC\", four of them kept for "\*.*".
  std::u16string fits = u"\\\\srv\\share\\" + std::u16string(8195 - 4 - 6 - 12, u'x');
  std::u16string over = fits + u"x";
  EXPECT_EQ(CloneTree(over.c_str(), u"C:\\dst", counter, 1, LinkKindSymbolic, 1, failures, nullptr),
            static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(sim::CallCount("FindFirstFileW"), 0u);
  EXPECT_NE(CloneTree(fits.c_str(), u"C:\\dst", counter, 1, LinkKindSymbolic, 1, failures, nullptr),
            static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(sim::CallCount("FindFirstFileW"), 1u);
}

// Once the long-path prefix turns normalisation off, a doubled separator is
// an empty name that Windows refuses with ERROR_INVALID_NAME (Wine happens to
// accept it, so its end-to-end runs cannot show this): appending a name to a
// drive root must not double the separator.
TEST_F(CloneRoots, DoubledSeparatorAfterPrefixIsRefused) {
  Trees();
  WIN32_FIND_DATAW found;
  SetLastError(0xdeadbeef);
  EXPECT_EQ(FindFirstFileW(u"\\\\?\\D:\\\\*.*", &found), INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_FAILS_WITH(CreateDirectoryW(u"\\\\?\\C:\\dst\\\\x", nullptr), FALSE, ERROR_INVALID_NAME);
  HANDLE find = FindFirstFileW(u"\\\\?\\D:\\*.*", &found);
  EXPECT_NE(find, INVALID_HANDLE_VALUE);
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
}

}  // namespace
