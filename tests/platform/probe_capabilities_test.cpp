// Start-up probe: which optional kernel32 functions are used, the Windows 2000
// flag, and which privileges get switched on in the process token.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/probe.h"
#include "support/fresh_process.h"
#include "tests/support.h"

namespace {

class Probe : public lbtest::SimTest {
 protected:
  // A fresh process on a machine with the given exports and version.
  void Fresh(unsigned exportMask, DWORD major, DWORD minor) {
    support::FreshProcess();
    for (size_t i = 0; i < kExports.size(); ++i) {
      sim::SetExportPresent(kExports[i], (exportMask >> i) & 1);
    }
    sim::SetWindowsVersion(major, minor);
    sim::ClearCalls();
  }
  const std::vector<std::string> kExports = {
      "CreateHardLinkW", "GetVolumeNameForVolumeMountPointW", "SetVolumeMountPointW",
      "DeleteVolumeMountPointW", "CreateSymbolicLinkW"};
};

const std::u16string kBackup = u"SeBackupPrivilege";
const std::u16string kRestore = u"SeRestorePrivilege";
const std::u16string kSymlink = u"SeCreateSymbolicLinkPrivilege";

// The arguments of every logged call of one function, in order.
std::vector<std::string> ArgsOf(const std::string& name) {
  std::vector<std::string> out;
  for (const sim::Call& c : sim::Calls()) {
    if (c.name == name) out.push_back(c.args);
  }
  return out;
}

bool Mentions(const std::vector<std::string>& args, const std::string& text) {
  for (const std::string& a : args) {
    if (a.find(text) != std::string::npos) return true;
  }
  return false;
}

// Every combination of missing exports and of versions 5.0, 5.1 and 6.0:
// each entry is the export or null, the flag is set on 5.0 only, backup and
// restore rights go on exactly when CreateHardLinkW is missing, and the
// symbolic-link right is asked for exactly when CreateSymbolicLinkW is there
// (systems before 6.0 do not know its name, so there it stays off).
TEST_F(Probe, TableFlagAndPrivilegesForEveryCombination) {
  const DWORD versions[][2] = {{5, 0}, {5, 1}, {6, 0}};
  for (unsigned mask = 0; mask < 32; ++mask) {
    for (const auto& v : versions) {
      Fresh(mask, v[0], v[1]);
      ProbeCapabilities();
      SCOPED_TRACE("exports mask " + std::to_string(mask) + ", version " + std::to_string(v[0]) +
                   "." + std::to_string(v[1]));
      EXPECT_EQ(KernelEntryPoints.createHardLink, (mask & 1) ? &sim::CreateHardLinkW : nullptr);
      EXPECT_EQ(KernelEntryPoints.getVolumeNameForVolumeMountPoint,
                (mask & 2) ? &sim::GetVolumeNameForVolumeMountPointW : nullptr);
      EXPECT_EQ(KernelEntryPoints.setVolumeMountPoint,
                (mask & 4) ? &sim::SetVolumeMountPointW : nullptr);
      EXPECT_EQ(KernelEntryPoints.deleteVolumeMountPoint,
                (mask & 8) ? &sim::DeleteVolumeMountPointW : nullptr);
      EXPECT_EQ(KernelEntryPoints.createSymbolicLink,
                (mask & 16) ? &sim::CreateSymbolicLinkW : nullptr);
      EXPECT_EQ(ForceBackupHardLink, (v[0] == 5 && v[1] == 0) ? 1u : 0u);
      const bool backupOnly = !(mask & 1);
      EXPECT_EQ(sim::PrivilegeEnabled(kBackup), backupOnly);
      EXPECT_EQ(sim::PrivilegeEnabled(kRestore), backupOnly);
      EXPECT_EQ(sim::PrivilegeEnabled(kSymlink), (mask & 16) != 0 && v[0] >= 6);
      std::vector<std::string> looked = ArgsOf("LookupPrivilegeValueW");
      EXPECT_EQ(Mentions(looked, "SeBackupPrivilege"), backupOnly);
      EXPECT_EQ(Mentions(looked, "SeRestorePrivilege"), backupOnly);
      EXPECT_EQ(Mentions(looked, "SeCreateSymbolicLinkPrivilege"), (mask & 16) != 0);
      EXPECT_EQ(sim::OpenHandleCount(), 0u) << "token left open";
    }
  }
}

// The order of the probe's calls: module, version, CreateHardLinkW and the
// rights it lacks, the other four exports, then the symbolic-link right.
TEST_F(Probe, CallOrder) {
  Fresh(16, 6, 0);
  ProbeCapabilities();
  std::vector<std::string> sequence;
  for (const sim::Call& c : sim::Calls()) {
    if (c.name == "LoadLibraryW" || c.name == "GetVersionExW") sequence.push_back(c.name);
    if (c.name == "GetProcAddress" || c.name == "LookupPrivilegeValueW") {
      sequence.push_back(c.name + " " + c.args);
    }
  }
  const std::vector<std::string> expected = {
      "LoadLibraryW", "GetVersionExW", "CreateHardLinkW", "SeBackupPrivilege",
      "SeRestorePrivilege", "GetVolumeNameForVolumeMountPointW", "SetVolumeMountPointW",
      "DeleteVolumeMountPointW", "CreateSymbolicLinkW", "SeCreateSymbolicLinkPrivilege"};
  ASSERT_EQ(sequence.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_NE(sequence[i].find(expected[i]), std::string::npos)
        << "call " << i << " is " << sequence[i] << ", expected " << expected[i];
  }
  EXPECT_NE(ArgsOf("LoadLibraryW").at(0).find("kernel32.dll"), std::string::npos);
}

// A module that does not load leaves every entry null and the flag 0, even on
// Windows 2000, and touches no privilege; the link operations then report
// their functions as missing.
TEST_F(Probe, ModuleThatDoesNotLoad) {
  Fresh(31, 5, 0);
  sim::SetLoadLibraryFails(true);
  ProbeCapabilities();
  EXPECT_EQ(KernelEntryPoints.createHardLink, nullptr);
  EXPECT_EQ(KernelEntryPoints.createSymbolicLink, nullptr);
  EXPECT_EQ(KernelEntryPoints.getVolumeNameForVolumeMountPoint, nullptr);
  EXPECT_EQ(KernelEntryPoints.setVolumeMountPoint, nullptr);
  EXPECT_EQ(KernelEntryPoints.deleteVolumeMountPoint, nullptr);
  EXPECT_EQ(ForceBackupHardLink, 0u);
  EXPECT_EQ(sim::CallCount("GetVersionExW"), 0u);
  EXPECT_EQ(sim::CallCount("GetProcAddress"), 0u);
  EXPECT_EQ(sim::CallCount("OpenProcessToken"), 0u);
  EXPECT_FALSE(sim::PrivilegeEnabled(kBackup));
}

// A right that was already on ends on: the first adjustment switches it off
// and reports it, the second switches it back on. Any enable value but 1
// switches it off.
TEST_F(Probe, EnablePrivilegeRoundTrip) {
  sim::SetPrivilegeEnabled(kSymlink, true);
  sim::ClearCalls();
  EXPECT_EQ(EnablePrivilege(kSymlink.c_str(), 1), 1);
  EXPECT_TRUE(sim::PrivilegeEnabled(kSymlink));
  // One-entry records of 16 bytes; the second call passes back the length the
  // first reported (16 for a changed right) with the enabled bit set.
  std::vector<std::string> adjust = ArgsOf("AdjustTokenPrivileges");
  ASSERT_EQ(adjust.size(), 2u);
  EXPECT_NE(adjust[0].find(":0x0}, 16, prev"), std::string::npos) << adjust[0];
  EXPECT_NE(adjust[1].find(":0x2}, 16, NULL"), std::string::npos) << adjust[1];

  EXPECT_EQ(EnablePrivilege(kSymlink.c_str(), 2), 1);
  EXPECT_FALSE(sim::PrivilegeEnabled(kSymlink));
  sim::ClearCalls();
  EXPECT_EQ(EnablePrivilege(kSymlink.c_str(), 0), 1);
  EXPECT_FALSE(sim::PrivilegeEnabled(kSymlink));
  // A right that was off is not reported: the attributes start from 0.
  EXPECT_NE(ArgsOf("AdjustTokenPrivileges").at(1).find(":0x0}, 4, NULL"), std::string::npos);
  EXPECT_EQ(EnablePrivilege(kSymlink.c_str(), 1), 1);
  EXPECT_TRUE(sim::PrivilegeEnabled(kSymlink));
  EXPECT_FALSE(sim::PrivilegeEnabled(kBackup));
}

// A right the token does not hold: 0 after the first adjustment, the token as
// it was. Failing steps close the token and report 0.
TEST_F(Probe, EnablePrivilegeFailures) {
  sim::SetTokenPrivileges({kBackup});
  sim::ClearCalls();
  EXPECT_EQ(EnablePrivilege(kSymlink.c_str(), 1), 0);
  EXPECT_EQ(sim::CallCount("AdjustTokenPrivileges"), 1u);
  EXPECT_FALSE(sim::PrivilegeHeld(kSymlink));
  EXPECT_FALSE(sim::PrivilegeEnabled(kBackup));
  EXPECT_EQ(sim::OpenHandleCount(), 0u);

  EXPECT_EQ(EnablePrivilege(u"SeNoSuchPrivilege", 1), 0);
  EXPECT_EQ(sim::CallCount("AdjustTokenPrivileges"), 1u) << "nothing adjusted for an unknown name";
  EXPECT_EQ(sim::OpenHandleCount(), 0u);

  sim::FailCall("OpenProcessToken", 1, ERROR_ACCESS_DENIED);
  EXPECT_EQ(EnablePrivilege(kBackup.c_str(), 1), 0);
  EXPECT_FALSE(sim::PrivilegeEnabled(kBackup));

  sim::FailCall("AdjustTokenPrivileges", 2, ERROR_ACCESS_DENIED);
  EXPECT_EQ(EnablePrivilege(kBackup.c_str(), 1), 0);
  EXPECT_EQ(sim::OpenHandleCount(), 0u);
}

// The probe runs before the arguments are looked at, so a run with a wrong
// argument count has switched the rights on all the same.
TEST_F(Probe, RunsBeforeArgumentCheck) {
  EXPECT_EQ(lbtest::RunWmain({}), 4294967295u);
  EXPECT_TRUE(sim::PrivilegeEnabled(kSymlink));
  EXPECT_NE(KernelEntryPoints.createSymbolicLink, nullptr);
}

}  // namespace
