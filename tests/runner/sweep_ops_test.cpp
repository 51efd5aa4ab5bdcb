// Fault-site sweeps: every operation is run once cleanly, then again with its
// 1st platform call failing, its 2nd, and so on until a run injects no fault.
// Each faulted run must end with the documented result for that failure,
// leave the volume as it was (or, where a call's failure is harmless, as the
// clean run left it), and leak no handle or backup context. Every sweep runs
// twice: with a coded failure, and with one that leaves the last error as it
// was (0 here), as GetFullPathNameW("") and stub functions fail; then any
// non-zero result will do, but 0 only where the failure was harmless.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "clone/clone.h"
#include "links/links.h"
#include "platform/probe.h"
#include "support/fresh_process.h"
#include "support/record_bytes.h"
#include "support/volume_snapshot.h"
#include "tests/support.h"

namespace {

// No link operation produces this code by itself, so a result carrying it
// can only be the injected failure handed through.
const DWORD Injected = 1816;  // ERROR_NOT_ENOUGH_QUOTA

// What the volumes hold, without file ids: ids are never reused, so they
// differ between two runs that make the same thing.
typedef support::Snapshot Volume;

Volume Everything() { return support::WithoutIds(support::TakeAll()); }

std::string Describe(const Volume& a, const Volume& b) {
  std::string out;
  for (const auto& kv : a) {
    auto it = b.find(kv.first);
    if (it == b.end()) out += " only-before:" + sim::U8(kv.first);
    else if (!(it->second == kv.second)) out += " differs:" + sim::U8(kv.first);
  }
  for (const auto& kv : b) {
    if (a.find(kv.first) == a.end()) out += " only-after:" + sim::U8(kv.first);
  }
  return out;
}

void FreshProcess() { support::FreshProcess(); }

// The platform calls fault injection counts, in the order made.
std::vector<sim::Call> FaultableCalls() {
  std::vector<sim::Call> out;
  for (const auto& c : sim::Calls()) {
    if (c.faultable) out.push_back(c);
  }
  return out;
}

// A call that releases something: when it fails, the object stays with the
// system (a handle CloseHandle could not close, a context an aborting
// BackupWrite did not free) and the caller has no second way to release it.
bool Releases(const sim::Call& c) {
  return c.name == "CloseHandle" || c.name == "FindClose" ||
         (c.name == "BackupWrite" && c.args.find("abort") != std::string::npos);
}


struct Outcome {
  DWORD result;
  Volume before;
  Volume after;
};

struct Operation {
  std::function<void()> setUp;
  std::function<DWORD()> run;
  // Results other than 0 and Injected that a failure of `call` documentedly
  // gives, with the volume left as it was.
  std::function<bool(const std::string& call, DWORD result)> otherResult;
  // A failed run may leave this state instead of the one it found (a step
  // already completed by design); null: only the state it found.
  std::function<bool(const std::string& call, const Outcome& o, const Volume& clean)> partial;
};

// A path is removed from a state, with everything below it.
Volume Without(const Volume& v, const std::u16string& path) {
  Volume out;
  for (const auto& kv : v) {
    if (kv.first == path || kv.first.compare(0, path.size() + 1, path + u"\\") == 0) continue;
    out.insert(kv);
  }
  return out;
}

// Every entry after a partial clone is as it was before or as the clean run
// made it, and nothing that was there is gone.
bool PartOfClean(const Outcome& o, const Volume& clean) {
  for (const auto& kv : o.after) {
    auto was = o.before.find(kv.first);
    auto good = clean.find(kv.first);
    bool asBefore = was != o.before.end() && was->second == kv.second;
    bool asClean = good != clean.end() && good->second == kv.second;
    if (!asBefore && !asClean) return false;
  }
  for (const auto& kv : o.before) {
    if (o.after.find(kv.first) == o.after.end() && clean.find(kv.first) != clean.end()) return false;
  }
  return true;
}

// Runs the sweep; returns the number of fault sites found.
size_t Sweep(const Operation& op) {
  FreshProcess();
  op.setUp();
  Volume cleanBefore = Everything();
  sim::ClearCalls();
  EXPECT_EQ(op.run(), 0u) << "the operation fails without any fault";
  Volume clean = Everything();
  size_t sites = FaultableCalls().size();
  EXPECT_EQ(sim::OpenHandleCount(), 0u);

  size_t n = 1;
  for (bool silent : {false, true}) {
  for (n = 1;; ++n) {
    FreshProcess();
    op.setUp();
    Outcome o;
    o.before = Everything();
    int contexts = sim::LiveBackupContexts();
    sim::ClearCalls();
    if (silent) {
      sim::FailNthCallSilently(static_cast<int>(n));
      SetLastError(0);
    } else {
      sim::FailNthCall(static_cast<int>(n), Injected);
      SetLastError(0xdeadbeef);
    }
    o.result = op.run();
    if (sim::FaultsFired() == 0) break;
    std::vector<sim::Call> calls = FaultableCalls();
    if (n > calls.size()) {
      ADD_FAILURE() << "fault " << n << " fired beyond the logged calls";
      continue;
    }
    std::string call = calls[n - 1].name;
    SCOPED_TRACE(std::string(silent ? "silent " : "") + "fault at call " + std::to_string(n) + ": " +
                 sim::FormatCall(calls[n - 1]));
    size_t mayStay = Releases(calls[n - 1]) ? 1 : 0;
    EXPECT_LE(sim::OpenHandleCount(), mayStay) << "handle leaked";
    EXPECT_LE(sim::LiveBackupContexts() - contexts, static_cast<int>(mayStay)) << "backup context left alive";

    o.after = Everything();
    if (o.result == 0) {
      // The failure was harmless: the whole effect is there.
      EXPECT_TRUE(o.after == clean) << Describe(clean, o.after);
      continue;
    }
    EXPECT_TRUE(silent || o.result == Injected || (op.otherResult && op.otherResult(call, o.result)))
        << "result " << o.result;
    bool asFound = o.after == o.before;
    // A read of the command file that fails once the line has run ends the
    // run with its error; the line's work stays.
    bool readAfterLine = call == "fgetws" && o.after == clean;
    bool allowed = asFound || readAfterLine || (op.partial && op.partial(call, o, clean));
    EXPECT_TRUE(allowed) << Describe(o.before, o.after);
  }
  }
  // Every call of the clean run was a fault site (plus, at most, calls that
  // only a failure path makes).
  EXPECT_GE(n - 1, sites);
  EXPECT_EQ(cleanBefore.size() > 0, true);
  return n - 1;
}

// ------------------------------------------------------------ set-ups

void WorkVolume() {
  sim::MakeFile(u"C:\\target\\t.txt");
  sim::MakeDirs(u"C:\\target2");
  sim::MakeDirs(u"C:\\work\\empty");
  sim::MakeFile(u"C:\\keep\\k.txt");
}

void PlantJunction(const std::u16string& at, const std::u16string& target) {
  sim::MakeDirs(at);
  sim::PlantReparse(at, support::JunctionRecord(target));
}

// The probe's own calls can fail too: without an entry point the operation
// reports 1 (ERROR_INVALID_FUNCTION for the link functions), without the
// privilege switched on the system refuses with ERROR_PRIVILEGE_NOT_HELD;
// a command file that cannot be opened gives 1.
bool RunnerResult(const std::string& call, DWORD result) {
  (void)call;
  return result == 1 || result == ERROR_PRIVILEGE_NOT_HELD;
}

// ------------------------------------------------------------ the sweeps

class FaultSweep : public lbtest::SimTest {};

// Directory and file symbolic links through the runner: the link is made
// whole or not at all.
TEST_F(FaultSweep, SymbolicLinkLines) {
  for (const char16_t* line : {u" d \"C:\\work\\dl\" \"C:\\target\"\r\n",
                               u" f \"C:\\work\\fl\" \"C:\\target\\t.txt\"\r\n"}) {
    SCOPED_TRACE(sim::U8(line));
    Operation op{WorkVolume, [line] { return lbtest::RunCommands(line); }, RunnerResult, nullptr};
    EXPECT_GT(Sweep(op), 10u);
  }
}

// Junction lines: a new junction, one re-pointed in place, and l (remove,
// then make): a failed junction leaves no directory it made; l's removal is
// a completed step and stays done.
TEST_F(FaultSweep, JunctionLines) {
  auto withJunction = [] {
    WorkVolume();
    PlantJunction(u"C:\\work\\j", u"C:\\target");
  };
  // When the open fails after the directory was made, that directory stays
  // as an ordinary empty one (see JunctionOpenFailure below).
  auto leftBehind = [](const std::string& call, const Outcome& o, const std::u16string& path) {
    if (call != "CreateFileW") return false;
    auto it = o.after.find(path);
    return Without(o.after, path) == Without(o.before, path) && it != o.after.end() &&
           it->second.isDirectory && it->second.reparseTag == 0;
  };
  auto jOpenFailure = [leftBehind](const std::string& call, const Outcome& o, const Volume&) {
    return leftBehind(call, o, u"C:\\work\\new");
  };
  EXPECT_GT(Sweep({WorkVolume, [] { return lbtest::RunCommands(u" j \"C:\\work\\new\" \"C:\\target\"\n"); },
                   RunnerResult, jOpenFailure}),
            10u);
  EXPECT_GT(Sweep({withJunction,
                   [] { return lbtest::RunCommands(u" j \"C:\\work\\j\" \"C:\\target2\"\n"); },
                   RunnerResult, nullptr}),
            10u);
  EXPECT_GT(Sweep({withJunction, [] { return lbtest::RunCommands(u" k \"C:\\work\\j\" \"x\"\n"); },
                   RunnerResult, nullptr}),
            5u);
  auto removed = [leftBehind](const std::string& call, const Outcome& o, const Volume&) {
    return o.after == Without(o.before, u"C:\\work\\j") || leftBehind(call, o, u"C:\\work\\j");
  };
  EXPECT_GT(Sweep({withJunction,
                   [] { return lbtest::RunCommands(u" l \"C:\\work\\j\" \"C:\\target2\"\n"); },
                   RunnerResult, removed}),
            10u);
}

// Mount and unmount lines: m mounts whole or not at all; n removes the
// directory even when the unmount failed, and reports the unmount's code.
TEST_F(FaultSweep, MountLines) {
  auto withD = [] {
    WorkVolume();
    sim::AddVolume(u'D');
    sim::MakeFile(u"D:\\d.txt");
  };
  EXPECT_GT(Sweep({withD, [] { return lbtest::RunCommands(u" m \"D:\\\" \"C:\\work\\empty\"\n"); },
                   RunnerResult, nullptr}),
            10u);
  auto mounted = [withD] {
    withD();
    ASSERT_TRUE(sim::SetVolumeMountPointW(u"C:\\work\\empty\\", sim::VolumeGuidPath(u'D').c_str()));
  };
  // Unmounted but not removed: the directory stays, now an ordinary one.
  auto unmountedOnly = [](const std::string&, const Outcome& o, const Volume&) {
    auto it = o.after.find(u"C:\\work\\empty");
    return Without(o.after, u"C:\\work\\empty") == Without(o.before, u"C:\\work\\empty") &&
           it != o.after.end() && it->second.isDirectory && it->second.reparseTag == 0;
  };
  auto directoryGone = [unmountedOnly](const std::string& call, const Outcome& o, const Volume& c) {
    return o.after == Without(o.before, u"C:\\work\\empty") || unmountedOnly(call, o, c);
  };
  EXPECT_GT(Sweep({mounted, [] { return lbtest::RunCommands(u" n \"C:\\work\\empty\" \"x\"\n"); },
                   RunnerResult, directoryGone}),
            10u);
}

// The c line (symbolic links, prefixed paths): a failure costs only what it
// hit; everything made is what the clean run makes, nothing else changes.
// The directory link in the source brings in the identity reads that tell a
// cycle; a failure there only means the link is entered unchecked. (A
// directory link, not a junction: a junction to a drive path whose listing
// fails is passed over silently, which would make that fault look harmless.)
TEST_F(FaultSweep, CloneLine) {
  auto tree = [] {
    WorkVolume();
    sim::MakeFile(u"C:\\src\\a.txt");
    sim::MakeFile(u"C:\\src\\sub\\b.txt");
    sim::MakeFile(u"C:\\src\\sub\\deeper\\c.txt");
    sim::SetPrivilegeEnabled(u"SeCreateSymbolicLinkPrivilege", true);
    ASSERT_TRUE(sim::CreateSymbolicLinkW(u"C:\\src\\sub\\link", u"C:\\src\\sub\\deeper",
                                         SYMBOLIC_LINK_FLAG_DIRECTORY));
    sim::SetPrivilegeEnabled(u"SeCreateSymbolicLinkPrivilege", false);
    sim::MakeDirs(u"C:\\dst");
  };
  auto part = [](const std::string&, const Outcome& o, const Volume& clean) {
    return PartOfClean(o, clean);
  };
  EXPECT_GT(Sweep({tree, [] { return lbtest::RunCommands(u" c \"C:\\dst\" \"C:\\src\"\n"); },
                   RunnerResult, part}),
            20u);
}

// The clone called directly in hard-link mode on plain paths, through
// CreateHardLinkW and through the backup stream: the result is the last
// recorded failure's code, each record names a path the run did not make.
TEST_F(FaultSweep, HardLinkClone) {
  for (bool backup : {false, true}) {
    SCOPED_TRACE(backup ? "backup stream" : "CreateHardLinkW");
    auto tree = [backup] {
      WorkVolume();
      sim::MakeFile(u"C:\\src\\a.txt");
      sim::MakeFile(u"C:\\src\\sub\\b.txt");
      sim::MakeDirs(u"C:\\dst");
      if (backup) sim::SetExportPresent("CreateHardLinkW", false);
      ProbeCapabilities();
    };
    auto run = [] {
      DWORD counter = 0;
      FailureList failures;
      DWORD result = CloneTree(u"C:\\src", u"C:\\dst", counter, 1, LinkKindHard, 0, failures, nullptr);
      DWORD last = 0;
      for (const auto& r : failures) {
        if (r.errorCode != 0) last = r.errorCode;
        EXPECT_NE(r.path.find(u"C:\\"), std::u16string::npos);
      }
      if (!failures.empty()) EXPECT_EQ(result, last);
      return result;
    };
    // The backup method reports a file it cannot open for writing as
    // ERROR_FILE_NOT_FOUND.
    auto other = [backup](const std::string& call, DWORD result) {
      return backup && call == "CreateFileW" && result == ERROR_FILE_NOT_FOUND;
    };
    auto part = [](const std::string&, const Outcome& o, const Volume& clean) {
      return PartOfClean(o, clean);
    };
    EXPECT_GT(Sweep({tree, run, other, part}), 15u);
  }
}

// The backup-stream hard link on its own: either a complete second name, or
// nothing, the context released and the file closed.
TEST_F(FaultSweep, HardLinkByBackup) {
  auto setUp = [] {
    WorkVolume();
    ProbeCapabilities();
  };
  auto run = [] {
    return MakeHardLinkByBackup(u"C:\\target\\t.txt", u"C:\\work\\link.txt") ? 0u : GetLastError();
  };
  auto other = [](const std::string& call, DWORD result) {
    return call == "CreateFileW" && result == ERROR_FILE_NOT_FOUND;
  };
  EXPECT_GT(Sweep({setUp, run, other, nullptr}), 5u);

  // A BackupWrite that reports fewer bytes than it was given: a write fault,
  // the context released, no second name.
  for (int nth = 1; nth <= 2; ++nth) {
    FreshProcess();
    setUp();
    int contexts = sim::LiveBackupContexts();
    sim::ShortBackupWrite(nth, 2);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(MakeHardLinkByBackup(u"C:\\target\\t.txt", u"C:\\work\\link.txt"), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_WRITE_FAULT));
    EXPECT_FALSE(sim::Inspect(u"C:\\work\\link.txt").exists);
    EXPECT_EQ(sim::Inspect(u"C:\\target\\t.txt").linkCount, 1u);
    EXPECT_EQ(sim::LiveBackupContexts(), contexts);
    EXPECT_EQ(sim::OpenHandleCount(), 0u);
  }
}

// When the junction's directory is made but cannot be opened, the open's
// error is the result and the new directory stays as an ordinary empty one:
// callers rely on that documented outcome (it can be reused by a retry).
TEST_F(FaultSweep, JunctionOpenFailure) {
  WorkVolume();
  sim::FailCall("CreateFileW", 1, ERROR_SHARING_VIOLATION);
  EXPECT_EQ(MakeJunction(u"C:\\work\\new", u"C:\\target"), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  sim::NodeInfo info = sim::Inspect(u"C:\\work\\new");
  EXPECT_TRUE(info.exists && info.isDirectory);
  EXPECT_EQ(info.reparseTag, 0u);
}

// A listing that ends on an error other than ERROR_NO_MORE_FILES is a failure
// of the level: the source level is recorded with that code, as for a listing
// that cannot start, and the code becomes the level's result.
TEST_F(FaultSweep, ListingErrorMidway) {
  sim::MakeFile(u"C:\\src\\a.txt");
  sim::MakeFile(u"C:\\src\\b.txt");
  sim::MakeDirs(u"C:\\dst");
  ProbeCapabilities();
  sim::FailCall("FindNextFileW", 2, ERROR_NOT_ENOUGH_MEMORY);
  DWORD counter = 0;
  FailureList failures;
  DWORD result = CloneTree(u"C:\\src", u"C:\\dst", counter, 1, LinkKindSymbolic, 1, failures, nullptr);
  EXPECT_EQ(result, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].path, std::u16string(u"\\\\?\\C:\\src"));
  EXPECT_EQ(failures[0].errorCode, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
}

}  // namespace
