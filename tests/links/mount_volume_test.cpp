// Volume mount points: the directory reaches the system with exactly one
// trailing backslash added when it has none, the volume path unchanged, and
// missing functions or unusable directories stop before any system call.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "links/links.h"
#include "platform/probe.h"
#include "tests/support.h"

namespace {

class MountVolumeTest : public lbtest::SimTest {
 protected:
  void SetUp() override {
    lbtest::SimTest::SetUp();
    sim::AddVolume(u'D');
    sim::MakeFile(u"D:\\on-d.txt");
    sim::MakeDirs(u"C:\\mnt");
  }
  // Arguments of the logged calls of one function.
  static std::vector<std::string> ArgsOf(const std::string& name) {
    std::vector<std::string> out;
    for (const sim::Call& c : sim::Calls()) {
      if (c.name == name) out.push_back(c.args);
    }
    return out;
  }
  static std::string Quoted(const std::u16string& path) { return "\"" + sim::U8(path) + "\""; }
};

// No trailing backslash: one is added; one or two: handed over unchanged. The
// result is the system's verdict on what it was given.
TEST_F(MountVolumeTest, TrailingBackslashReachesTheSystemAsExpected) {
  ProbeCapabilities();
  const std::string volume = Quoted(sim::VolumeGuidPath(u'D'));
  struct Case {
    const char16_t* given;
    const char* handed;
  };
  const Case cases[] = {{u"C:\\mnt", "\"C:\\mnt\\\""},
                        {u"C:\\mnt\\", "\"C:\\mnt\\\""},
                        {u"C:\\mnt\\\\", "\"C:\\mnt\\\\\""}};
  for (const Case& c : cases) {
    SCOPED_TRACE(sim::U8(c.given));
    sim::ClearCalls();
    DWORD result = MountVolume(u"D:\\", c.given);
    std::vector<sim::Call> calls = sim::Calls();
    std::vector<std::string> set = ArgsOf("SetVolumeMountPointW");
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0], std::string(c.handed) + ", " + volume);
    for (const sim::Call& call : calls) {
      if (call.name == "SetVolumeMountPointW") {
        EXPECT_EQ(result, call.result == "1" ? 0u : call.lastError);
      }
    }
    sim::ClearCalls();
    DWORD removed = UnmountVolume(c.given);
    EXPECT_EQ(ArgsOf("DeleteVolumeMountPointW"), std::vector<std::string>{c.handed});
    if (result == 0) EXPECT_EQ(removed, 0u);
  }
  EXPECT_EQ(sim::Inspect(u"C:\\mnt").reparseTag, 0u);
}

// 258 characters without a backslash fill the 260-character buffer exactly;
// one more is ERROR_FILENAME_EXCED_RANGE and an empty directory
// ERROR_INVALID_NAME, both without a system call. With its own backslash a
// longer path goes to the system unchanged.
TEST_F(MountVolumeTest, MountDirectoryLengthLimits) {
  ProbeCapabilities();
  const std::u16string fits = u"C:\\" + std::u16string(255, u'm');
  const std::u16string over = fits + u"m";
  ASSERT_EQ(fits.size(), 258u);

  sim::ClearCalls();
  MountVolume(u"D:\\", fits.c_str());
  UnmountVolume(fits.c_str());
  EXPECT_EQ(ArgsOf("SetVolumeMountPointW"),
            std::vector<std::string>{Quoted(fits + u"\\") + ", " + Quoted(sim::VolumeGuidPath(u'D'))});
  EXPECT_EQ(ArgsOf("DeleteVolumeMountPointW"), std::vector<std::string>{Quoted(fits + u"\\")});

  sim::ClearCalls();
  EXPECT_EQ(MountVolume(u"D:\\", over.c_str()), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(UnmountVolume(over.c_str()), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
  EXPECT_EQ(MountVolume(u"D:\\", u""), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(UnmountVolume(u""), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(sim::TotalCalls(), 0u);

  const std::u16string ownBackslash = over + u"\\";
  UnmountVolume(ownBackslash.c_str());
  EXPECT_EQ(ArgsOf("DeleteVolumeMountPointW"), std::vector<std::string>{Quoted(ownBackslash)});
}

// A missing function gives 1 and no system call at all, GetLastError
// included: the mount needs both GetVolumeNameForVolumeMountPointW and
// SetVolumeMountPointW, the unmount DeleteVolumeMountPointW.
TEST_F(MountVolumeTest, MissingFunctionsCallNothing) {
  const char* missing[] = {"GetVolumeNameForVolumeMountPointW", "SetVolumeMountPointW"};
  for (const char* name : missing) {
    SCOPED_TRACE(name);
    ResetCapabilities();
    sim::SetExportPresent("GetVolumeNameForVolumeMountPointW", true);
    sim::SetExportPresent("SetVolumeMountPointW", true);
    sim::SetExportPresent(name, false);
    ProbeCapabilities();
    sim::ClearCalls();
    EXPECT_EQ(MountVolume(u"D:\\", u"C:\\mnt"), 1u);
    EXPECT_EQ(sim::TotalCalls(), 0u);
  }
  sim::SetExportPresent("DeleteVolumeMountPointW", false);
  ResetCapabilities();
  ProbeCapabilities();
  sim::ClearCalls();
  EXPECT_EQ(UnmountVolume(u"C:\\mnt"), 1u);
  EXPECT_EQ(sim::TotalCalls(), 0u);
  EXPECT_EQ(sim::Inspect(u"C:\\mnt").reparseTag, 0u);
}

// The volume path goes to the system as written: without its backslash the
// system refuses it, that refusal is the result and nothing is mounted.
TEST_F(MountVolumeTest, VolumePathUnchanged) {
  ProbeCapabilities();
  sim::ClearCalls();
  SetLastError(0xdeadbeef);
  EXPECT_EQ(MountVolume(u"D:", u"C:\\mnt"), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(ArgsOf("GetVolumeNameForVolumeMountPointW"), std::vector<std::string>{"\"D:\", 260"});
  EXPECT_EQ(sim::CallCount("SetVolumeMountPointW"), 0u);
  EXPECT_EQ(sim::Inspect(u"C:\\mnt").reparseTag, 0u);
}

}  // namespace
