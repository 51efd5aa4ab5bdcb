// The simulated process: loader, version, token privileges, threads and
// critical sections.
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "tests/support.h"

namespace {

class SimProcess : public lbtest::SimTest {};

const HANDLE kSelf = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));

// ------------------------------------------------------------ loader

// kernel32 loads under any spelling the loader accepts, as a module handle
// above 32 that is no kernel handle; each optional export resolves to the
// simulation's function while present, else ERROR_PROC_NOT_FOUND; other
// modules and a failing loader give ERROR_MOD_NOT_FOUND.
TEST_F(SimProcess, LoaderAndExports) {
  HMODULE k = LoadLibraryW(u"kernel32.dll");
  ASSERT_GT(reinterpret_cast<uintptr_t>(k), 32u);
  EXPECT_EQ(LoadLibraryW(u"KERNEL32"), k);
  EXPECT_EQ(sim::OpenHandleCount(), 0u) << "a module handle is no kernel handle";
  const std::pair<const char*, void*> exports[] = {
      {"CreateHardLinkW", reinterpret_cast<void*>(&sim::CreateHardLinkW)},
      {"CreateSymbolicLinkW", reinterpret_cast<void*>(&sim::CreateSymbolicLinkW)},
      {"GetVolumeNameForVolumeMountPointW", reinterpret_cast<void*>(&sim::GetVolumeNameForVolumeMountPointW)},
      {"SetVolumeMountPointW", reinterpret_cast<void*>(&sim::SetVolumeMountPointW)},
      {"DeleteVolumeMountPointW", reinterpret_cast<void*>(&sim::DeleteVolumeMountPointW)},
      {"CreateHardLinkA", nullptr}};
  for (const auto& e : exports) {
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(k, e.first)), e.second) << e.first;
    if (e.second) sim::SetExportPresent(e.first, false);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetProcAddress(k, e.first), nullptr) << e.first;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND)) << e.first;
  }
  SetLastError(0xdeadbeef);
  EXPECT_EQ(GetProcAddress(reinterpret_cast<HMODULE>(0x1000), "CreateHardLinkW"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(LoadLibraryW(u"kernel33.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  sim::SetLoadLibraryFails(true);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(LoadLibraryW(u"kernel32.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

// ------------------------------------------------------------ version

// Only the record's own size is accepted; the record gets the configured
// version with its build and the NT platform id, and the last error stays.
TEST_F(SimProcess, GetVersionExRecordSizesAndContents) {
  alignas(8) unsigned char raw[600];
  auto* info = reinterpret_cast<OSVERSIONINFOW*>(raw);
  for (DWORD size : {0u, 138u, 275u, 280u, 552u}) {
    memset(raw, 0, sizeof raw);
    info->dwOSVersionInfoSize = size;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetVersionExW(info)) << size;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER)) << size;
    EXPECT_EQ(info->dwMajorVersion, 0u) << size;
  }
  const DWORD table[][3] = {{5, 0, 2195}, {5, 2, 3790}, {6, 0, 6002}, {10, 0, 19045}};
  for (const auto& row : table) {
    sim::SetWindowsVersion(row[0], row[1]);
    memset(raw, 0xAB, sizeof raw);
    info->dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    SetLastError(0xdeadbeef);
    ASSERT_TRUE(GetVersionExW(info));
    EXPECT_EQ(GetLastError(), 0xdeadbeefu);
    EXPECT_EQ(info->dwMajorVersion * 100 + info->dwMinorVersion, row[0] * 100 + row[1]);
    EXPECT_EQ(info->dwBuildNumber, row[2]);
    EXPECT_EQ(info->dwPlatformId, 2u);
    EXPECT_EQ(raw[sizeof(OSVERSIONINFOW)], 0xAB) << "wrote past a 276-byte record";
  }
}

// ------------------------------------------------------------ token

// A token opened from the pseudo handle is a counted kernel handle; any other
// process handle is refused.
TEST_F(SimProcess, OpenProcessTokenNeedsCurrentProcess) {
  EXPECT_EQ(GetCurrentProcess(), kSelf);
  HANDLE token = nullptr;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(OpenProcessToken(reinterpret_cast<HANDLE>(0x44), TOKEN_QUERY, &token));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
  EXPECT_EQ(sim::OpenHandleKinds(), std::vector<std::string>{"token"});
  EXPECT_TRUE(CloseHandle(token));
}

// Names are matched without case and give the well-known LUIDs; unknown and
// null names, and the symbolic-link right before Windows 6.0, are not found.
TEST_F(SimProcess, LookupPrivilegeValue) {
  const struct {
    const char16_t* name;
    DWORD luid;
  } known[] = {{u"SeCreateTokenPrivilege", 2}, {u"SeBackupPrivilege", 17}, {u"sErEsToRePrIvIlEgE", 18},
               {u"SeCreateSymbolicLinkPrivilege", 35}, {u"SeDelegateSessionUserImpersonatePrivilege", 36}};
  for (const auto& k : known) {
    LUID luid{0xdeadbeef, 0x1234};
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, k.name, &luid)) << sim::U8(k.name);
    EXPECT_EQ(luid.LowPart, k.luid);
    EXPECT_EQ(luid.HighPart, 0);
  }
  LUID luid{};
  EXPECT_TRUE(LookupPrivilegeValueW(u"", u"SeBackupPrivilege", &luid));
  for (const char16_t* bad : {u"SeBogusPrivilege", u"SeBackupPrivilegeX", u"", static_cast<const char16_t*>(nullptr)}) {
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(LookupPrivilegeValueW(nullptr, bad, &luid));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
  }

  sim::SetWindowsVersion(5, 1);
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(LookupPrivilegeValueW(nullptr, u"SeCreateSymbolicLinkPrivilege", &luid));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_SUCH_PRIVILEGE));
  EXPECT_TRUE(LookupPrivilegeValueW(nullptr, u"SeBackupPrivilege", &luid));
}

// A one-entry TOKEN_PRIVILEGES record as the probe builds it.
TOKEN_PRIVILEGES One(DWORD luid, DWORD attributes) {
  TOKEN_PRIVILEGES tp{};
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Luid.LowPart = luid;
  tp.Privileges[0].Attributes = attributes;
  return tp;
}

// A record with room for several entries, reached by offset.
struct Many {
  alignas(4) unsigned char bytes[4 + 12 * 4] = {};
  TOKEN_PRIVILEGES* tp() { return reinterpret_cast<TOKEN_PRIVILEGES*>(bytes); }
  void Set(std::initializer_list<LUID_AND_ATTRIBUTES> entries) {
    DWORD n = 0;
    for (const auto& e : entries) memcpy(bytes + 4 + 12 * n++, &e, 12);
    memcpy(bytes, &n, 4);
  }
  DWORD Count() const { return tp_const()->PrivilegeCount; }
  DWORD Luid(DWORD i) const {
    LUID_AND_ATTRIBUTES la;
    memcpy(&la, bytes + 4 + 12 * i, 12);
    return la.Luid.LowPart;
  }
  const TOKEN_PRIVILEGES* tp_const() const { return reinterpret_cast<const TOKEN_PRIVILEGES*>(bytes); }
};
const DWORD kOn = SE_PRIVILEGE_ENABLED;

class SimToken : public SimProcess {
 protected:
  void SetUp() override {
    SimProcess::SetUp();
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token_));
  }
  void TearDown() override {
    if (token_) CloseHandle(token_);
    SimProcess::TearDown();
  }
  HANDLE token_ = nullptr;
};

// Enabling sets ERROR_SUCCESS and reports the change with the old
// attributes. The probe's two-step pattern: a first call with attributes 0
// turns an enabled privilege off and reports it enabled; handing that record
// back turns it on again. A privilege already off reports no change (count 0,
// length 4).
TEST_F(SimToken, EnableDisableAndRestore) {
  TOKEN_PRIVILEGES in = One(17, SE_PRIVILEGE_ENABLED), prev{};
  DWORD len = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  ASSERT_TRUE(AdjustTokenPrivileges(token_, FALSE, &in, sizeof prev, &prev, &len));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_TRUE(sim::PrivilegeEnabled(u"SeBackupPrivilege"));
  EXPECT_FALSE(sim::PrivilegeEnabled(u"SeRestorePrivilege"));
  EXPECT_EQ(len, 16u);
  ASSERT_EQ(prev.PrivilegeCount, 1u);
  EXPECT_EQ(prev.Privileges[0].Luid.LowPart, 17u);
  EXPECT_EQ(prev.Privileges[0].Attributes, 0u);

  sim::SetPrivilegeEnabled(u"SeRestorePrivilege", true);
  in = One(18, 0);
  ASSERT_TRUE(AdjustTokenPrivileges(token_, FALSE, &in, sizeof prev, &prev, &len));
  EXPECT_FALSE(sim::PrivilegeEnabled(u"SeRestorePrivilege"));
  ASSERT_EQ(prev.PrivilegeCount, 1u);
  EXPECT_EQ(prev.Privileges[0].Attributes, static_cast<DWORD>(SE_PRIVILEGE_ENABLED));
  SetLastError(0xdeadbeef);
  ASSERT_TRUE(AdjustTokenPrivileges(token_, FALSE, &prev, len, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), 0u);
  EXPECT_TRUE(sim::PrivilegeEnabled(u"SeRestorePrivilege"));

  in = One(35, 0);
  prev = One(99, 99);
  ASSERT_TRUE(AdjustTokenPrivileges(token_, FALSE, &in, sizeof prev, &prev, &len));
  EXPECT_EQ(prev.PrivilegeCount, 0u);
  EXPECT_EQ(len, 4u);
}

// A privilege the token lacks: TRUE with ERROR_NOT_ALL_ASSIGNED, the token
// unchanged; held ones in the same request still change.
TEST_F(SimToken, NotHeldSucceedsWithNotAllAssigned) {
  sim::SetTokenPrivileges({u"SeBackupPrivilege"});
  TOKEN_PRIVILEGES in = One(35, SE_PRIVILEGE_ENABLED), prev{};
  DWORD len = 0xdeadbeef;
  SetLastError(0xdeadbeef);
  EXPECT_TRUE(AdjustTokenPrivileges(token_, FALSE, &in, sizeof prev, &prev, &len));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
  EXPECT_FALSE(sim::PrivilegeEnabled(u"SeCreateSymbolicLinkPrivilege"));
  EXPECT_FALSE(sim::PrivilegeHeld(u"SeCreateSymbolicLinkPrivilege"));
  EXPECT_EQ(prev.PrivilegeCount, 0u);

  Many req;
  req.Set({{{35, 0}, kOn}, {{17, 0}, kOn}});
  SetLastError(0xdeadbeef);
  EXPECT_TRUE(AdjustTokenPrivileges(token_, FALSE, req.tp(), 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ALL_ASSIGNED));
  EXPECT_TRUE(sim::PrivilegeEnabled(u"SeBackupPrivilege"));
}

// The previous state lists only what changed, in request order; a buffer too
// small fails with ERROR_INSUFFICIENT_BUFFER, the size needed, no change.
// Without a previous-state buffer the length is not written.
TEST_F(SimToken, PreviousStateOnlyChangesAndBufferTooSmall) {
  sim::SetPrivilegeEnabled(u"SeRestorePrivilege", true);
  Many req, prev;
  req.Set({{{17, 0}, kOn}, {{18, 0}, kOn}, {{35, 0}, kOn}});
  DWORD len = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(AdjustTokenPrivileges(token_, FALSE, req.tp(), 16, prev.tp(), &len));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  EXPECT_EQ(len, 28u);
  EXPECT_FALSE(sim::PrivilegeEnabled(u"SeBackupPrivilege"));
  EXPECT_FALSE(sim::PrivilegeEnabled(u"SeCreateSymbolicLinkPrivilege"));

  ASSERT_TRUE(AdjustTokenPrivileges(token_, FALSE, req.tp(), 28, prev.tp(), &len));
  EXPECT_EQ(len, 28u);
  ASSERT_EQ(prev.Count(), 2u);
  EXPECT_EQ(prev.Luid(0), 17u);
  EXPECT_EQ(prev.Luid(1), 35u);

  TOKEN_PRIVILEGES in = One(17, 0);
  len = 0xdeadbeef;
  ASSERT_TRUE(AdjustTokenPrivileges(token_, FALSE, &in, 0, nullptr, &len));
  EXPECT_EQ(len, 0xdeadbeefu);
  EXPECT_FALSE(sim::PrivilegeEnabled(u"SeBackupPrivilege"));
}

// Adjusting needs TOKEN_ADJUST_PRIVILEGES; reporting needs TOKEN_QUERY too;
// a handle that is no token is refused.
TEST_F(SimProcess, AdjustTokenPrivilegesChecksAccess) {
  HANDLE queryOnly = nullptr, adjustOnly = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &queryOnly));
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &adjustOnly));
  TOKEN_PRIVILEGES in = One(17, SE_PRIVILEGE_ENABLED), prev{};
  DWORD len = 0;
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(AdjustTokenPrivileges(queryOnly, FALSE, &in, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(AdjustTokenPrivileges(adjustOnly, FALSE, &in, sizeof prev, &prev, &len));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(sim::PrivilegeEnabled(u"SeBackupPrivilege"));
  SetLastError(0xdeadbeef);
  EXPECT_FALSE(AdjustTokenPrivileges(reinterpret_cast<HANDLE>(0x7777), FALSE, &in, 0, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(AdjustTokenPrivileges(adjustOnly, FALSE, &in, 0, nullptr, nullptr));
  EXPECT_TRUE(sim::PrivilegeEnabled(u"SeBackupPrivilege"));
  CloseHandle(queryOnly);
  CloseHandle(adjustOnly);
}

// ------------------------------------------------------------ threads

// A one-shot gate that a worker waits at until the test opens it.
struct Gate {
  std::mutex m;
  std::condition_variable cv;
  bool open = false;
  void Open() {
    std::lock_guard<std::mutex> g(m);
    open = true;
    cv.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> g(m);
    cv.wait(g, [this] { return open; });
  }
};

struct GatedJob {
  Gate gate;
  Gate finished;
  DWORD firstError = 1;
  std::atomic<int> ran{0};
};

DWORD WINAPI GatedWorker(LPVOID p) {
  auto* job = static_cast<GatedJob*>(p);
  job->firstError = GetLastError();
  SetLastError(ERROR_FILE_EXISTS);
  job->gate.Wait();
  job->ran++;
  job->finished.Open();
  return 42;
}

// A thread runs at once with last error 0 of its own; while it runs a timed
// wait times out; once it ends, the wait succeeds.
TEST_F(SimProcess, ThreadWaitAndOwnLastError) {
  GatedJob job;
  SetLastError(0xdeadbeef);
  HANDLE h = CreateThread(nullptr, 0, GatedWorker, &job, 0, nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(sim::OpenHandleKinds(), std::vector<std::string>{"thread"});
  EXPECT_EQ(WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  job.gate.Open();
  EXPECT_EQ(WaitForSingleObject(h, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(job.ran.load(), 1);
  EXPECT_EQ(job.firstError, 0u);
  EXPECT_EQ(GetLastError(), 0xdeadbeefu) << "the worker's SetLastError leaked to this thread";
  EXPECT_TRUE(CloseHandle(h));
  SetLastError(0xdeadbeef);
  EXPECT_EQ(WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_FAILED));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// Closing the handle does not stop the thread; a failing CreateThread gives
// NULL with the error and runs nothing.
TEST_F(SimProcess, ThreadOutlivesHandleAndCreateCanFail) {
  GatedJob job;
  HANDLE h = CreateThread(nullptr, 0, GatedWorker, &job, 0, nullptr);
  ASSERT_NE(h, nullptr);
  EXPECT_TRUE(CloseHandle(h));
  job.gate.Open();
  job.finished.Wait();
  EXPECT_EQ(job.ran.load(), 1);

  GatedJob never;
  sim::FailCall("CreateThread", 1, ERROR_NOT_ENOUGH_MEMORY);
  SetLastError(0xdeadbeef);
  EXPECT_EQ(CreateThread(nullptr, 0, GatedWorker, &never, 0, nullptr), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(never.ran.load(), 0);
}

int Recurse(int depth) {
  volatile char frame[1024];
  frame[0] = static_cast<char>(depth);
  if (depth == 0) return frame[0];
  return Recurse(depth - 1) + frame[0];
}

DWORD WINAPI DeepWorker(LPVOID out) {
  *static_cast<int*>(out) = Recurse(700);
  return 0;
}

DWORD WINAPI StackSizeWorker(LPVOID out) {
  pthread_attr_t attr;
  size_t size = 0;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
  }
  *static_cast<size_t*>(out) = size;
  return 0;
}

size_t HostStackOf(SIZE_T stackSize) {
  size_t size = 0;
  HANDLE h = CreateThread(nullptr, stackSize, StackSizeWorker, &size, 0, nullptr);
  EXPECT_NE(h, nullptr);
  if (!h) return 0;
  WaitForSingleObject(h, INFINITE);
  CloseHandle(h);
  return size;
}

// The default stack holds about 700 KiB of frames, as a 1 MiB Windows stack
// does; a larger commit size grows the reservation to whole MiB.
TEST_F(SimProcess, ThreadStackSizes) {
  int sum = -1;
  HANDLE h = CreateThread(nullptr, 0, DeepWorker, &sum, 0, nullptr);
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(WaitForSingleObject(h, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(sum, Recurse(700)) << "the deep recursion did not finish";
  CloseHandle(h);

  // The host may hand a thread a cached stack somewhat larger than asked
  // for, so sizes are compared as lower and upper bounds.
  size_t byDefault = HostStackOf(0);
  EXPECT_GE(byDefault, size_t{1} << 20);
  EXPECT_GE(HostStackOf(64 << 10), byDefault) << "a small commit keeps the default reservation";
  EXPECT_GE(HostStackOf((2 << 20) + 1), 3 * byDefault);
}

// Uses of these calls that the simulation does not model stop the run rather
// than answer differently from Windows.
TEST(SimProcessDeathTest, UnmodelledUsesAbort) {
  alignas(8) unsigned char raw[300] = {};
  auto* info = reinterpret_cast<OSVERSIONINFOW*>(raw);
  info->dwOSVersionInfoSize = 284;
  EXPECT_DEATH(GetVersionExW(info), "OSVERSIONINFOEXW");
  HMODULE k = LoadLibraryW(u"kernel32.dll");
  EXPECT_DEATH(GetProcAddress(k, reinterpret_cast<LPCSTR>(static_cast<uintptr_t>(7))), "ordinal");
  HANDLE token = nullptr;
  EXPECT_DEATH(OpenProcessToken(kSelf, GENERIC_READ, &token), "generic");
  LUID luid{};
  EXPECT_DEATH(LookupPrivilegeValueW(u"\\\\elsewhere", u"SeBackupPrivilege", &luid), "another machine");
  ASSERT_TRUE(OpenProcessToken(kSelf, TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  EXPECT_DEATH(AdjustTokenPrivileges(token, TRUE, nullptr, 0, nullptr, nullptr), "DisableAllPrivileges");
  CloseHandle(token);
  DWORD id = 0;
  EXPECT_DEATH(CreateThread(nullptr, 0, DeepWorker, nullptr, 4 /* CREATE_SUSPENDED */, nullptr), "flags");
  EXPECT_DEATH(CreateThread(nullptr, 0, DeepWorker, nullptr, 0, &id), "thread ids");
}

// ------------------------------------------------------------ critical sections

struct Shared {
  CRITICAL_SECTION cs;
  int counter = 0;
};

DWORD WINAPI EnterOnce(LPVOID p) {
  auto* s = static_cast<Shared*>(p);
  EnterCriticalSection(&s->cs);
  s->counter = 1;
  LeaveCriticalSection(&s->cs);
  return 0;
}

// A critical section excludes other threads until its owner's last Leave;
// the owner may enter again; a thread blocked in EnterCriticalSection does not
// hold the world, so the owner keeps making calls meanwhile.
TEST_F(SimProcess, CriticalSectionRecursionAndNoWorldDeadlock) {
  Shared s;
  InitializeCriticalSection(&s.cs);
  EnterCriticalSection(&s.cs);
  EnterCriticalSection(&s.cs);
  HANDLE h = CreateThread(nullptr, 0, EnterOnce, &s, 0, nullptr);
  ASSERT_NE(h, nullptr);
  while (sim::CallCount("EnterCriticalSection") < 3) std::this_thread::yield();
  // The worker is inside EnterCriticalSection now.
  EXPECT_NE(LoadLibraryW(u"kernel32.dll"), nullptr);
  LeaveCriticalSection(&s.cs);
  EXPECT_EQ(WaitForSingleObject(h, 0), static_cast<DWORD>(WAIT_TIMEOUT));
  EXPECT_EQ(s.counter, 0);
  LeaveCriticalSection(&s.cs);
  EXPECT_EQ(WaitForSingleObject(h, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_EQ(s.counter, 1);
  CloseHandle(h);
  DeleteCriticalSection(&s.cs);
}

}  // namespace
