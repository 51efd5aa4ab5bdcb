// Heap use of the tree clone: nothing per entry except failure records.
//
// The test binary's operator new and delete are replaced here by thin
// wrappers over malloc and free that count while counting is switched on.
// Every replaceable non-aligned form is replaced, so memory from one family
// is never released through the other (AddressSanitizer checks that).
#include <atomic>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "clone/clone.h"
#include "links/links.h"
#include "platform/probe.h"
#include "support/fresh_process.h"
#include "tests/support.h"

namespace clonetest {

namespace {
std::atomic<bool> counting{false};
std::atomic<long long> allocations{0};

// Allocations of one watched size, and which of them are still live.
std::mutex watchLock;
std::atomic<size_t> watchedSize{0};
long long watchedAllocated = 0;
std::vector<void*>* watchedLive = nullptr;

void* Allocate(size_t bytes) {
  void* p = std::malloc(bytes != 0 ? bytes : 1);
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
  if (p != nullptr && bytes != 0 && bytes == watchedSize.load(std::memory_order_relaxed)) {
    std::lock_guard<std::mutex> g(watchLock);
    if (watchedLive != nullptr && watchedSize == bytes) {
      ++watchedAllocated;
      if (watchedLive->size() < watchedLive->capacity()) watchedLive->push_back(p);
    }
  }
  return p;
}

void Release(void* p) {
  if (p != nullptr && watchedSize != 0) {
    std::lock_guard<std::mutex> g(watchLock);
    if (watchedLive != nullptr) {
      for (size_t i = 0; i < watchedLive->size(); ++i) {
        if ((*watchedLive)[i] == p) {
          (*watchedLive)[i] = watchedLive->back();
          watchedLive->pop_back();
          break;
        }
      }
    }
  }
  std::free(p);
}
}  // namespace

void CountAllocations(bool on) {
  if (on) allocations = 0;
  counting = on;
}
long long AllocationsCounted() { return allocations; }

// Starts watching allocations of exactly `bytes` (0 stops).
void WatchSize(size_t bytes) {
  static std::vector<void*> live;
  std::lock_guard<std::mutex> g(watchLock);
  if (live.capacity() < 64) live.reserve(64);  // allocated before watching starts
  live.clear();
  watchedAllocated = 0;
  watchedLive = &live;
  watchedSize = bytes;
}
long long WatchedAllocated() {
  std::lock_guard<std::mutex> g(watchLock);
  return watchedAllocated;
}
size_t WatchedLive() {
  std::lock_guard<std::mutex> g(watchLock);
  return watchedLive != nullptr ? watchedLive->size() : 0;
}

}  // namespace clonetest

void* operator new(std::size_t bytes) {
  void* p = clonetest::Allocate(bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t bytes) {
  void* p = clonetest::Allocate(bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new(std::size_t bytes, const std::nothrow_t&) noexcept { return clonetest::Allocate(bytes); }
void* operator new[](std::size_t bytes, const std::nothrow_t&) noexcept { return clonetest::Allocate(bytes); }
void operator delete(void* p) noexcept { clonetest::Release(p); }
void operator delete[](void* p) noexcept { clonetest::Release(p); }
void operator delete(void* p, std::size_t) noexcept { clonetest::Release(p); }
void operator delete[](void* p, std::size_t) noexcept { clonetest::Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { clonetest::Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { clonetest::Release(p); }

namespace {

class CloneAllocTest : public lbtest::SimTest {
 protected:
  // A fresh machine holding src with `dirs` subdirectories of `perDir` files
  // each, and an empty C:\dst.
  void FreshTree(int dirs, int perDir) {
    support::FreshProcess();
    ProbeCapabilities();
    for (int d = 0; d < dirs; ++d)
      for (int f = 0; f < perDir; ++f)
        sim::MakeFile(u"C:\\src\\d" + sim::W(std::to_string(d)) + u"\\file" + sim::W(std::to_string(f)));
    sim::MakeDirs(u"C:\\dst");
    sim::SetCallLogEnabled(false);
    sim::ClearCalls();
  }
};

// The same platform calls the clone makes, made directly from fixed buffers:
// the simulation's own heap use, which the clone's count is compared with.
void ReplayLevel(WCHAR* source, size_t srcLen, WCHAR* dest, size_t dstLen) {
  auto append = [](WCHAR* buffer, size_t at, const WCHAR* text) {
    size_t n = 0;
    buffer[at] = u'\\';
    for (; text[n] != 0; ++n) buffer[at + 1 + n] = text[n];
    buffer[at + 1 + n] = 0;
    return at + 1 + n;
  };
  WIN32_FIND_DATAW found;
  append(source, srcLen, u"*.*");
  HANDLE find = FindFirstFileW(source, &found);
  source[srcLen] = 0;
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::u16string name(found.cFileName);
    if (name == u"." || name == u"..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      size_t d = append(dest, dstLen, found.cFileName);
      if (CreateDirectoryW(dest, nullptr)) {
        size_t s = append(source, srcLen, found.cFileName);
        ReplayLevel(source, s, dest, d);
      } else {
        GetLastError();
      }
    } else {
      append(source, srcLen, found.cFileName);
      append(dest, dstLen, found.cFileName);
      if (!MakeSymbolicLink(dest, source, 0)) GetLastError();
    }
    source[srcLen] = 0;
    dest[dstLen] = 0;
  } while (FindNextFileW(find, &found));
  GetLastError();
  FindClose(find);
  SetLastError(0);
}

long long ReplayAllocations() {
  static WCHAR source[CloneBufferChars];
  static WCHAR dest[CloneBufferChars];
  clonetest::CountAllocations(true);
  GetFullPathNameW(u"C:\\dst", ClonePathChars, dest + 4, nullptr);
  GetFullPathNameW(u"C:\\src", ClonePathChars, source + 4, nullptr);
  memcpy(source, u"\\\\?\\", 8);
  memcpy(dest, u"\\\\?\\", 8);
  size_t s = 0, d = 0;
  while (source[s] != 0) ++s;
  while (dest[d] != 0) ++d;
  SetLastError(0);
  ReplayLevel(source, s, dest, d);
  clonetest::CountAllocations(false);
  return clonetest::AllocationsCounted();
}

long long CloneAllocations(DWORD* counter, FailureList* failures, DWORD* result) {
  clonetest::CountAllocations(true);
  *result = CloneTree(u"C:\\src", u"C:\\dst", *counter, 1, LinkKindSymbolic, 1, *failures, nullptr);
  clonetest::CountAllocations(false);
  return clonetest::AllocationsCounted();
}

// Growths of a FailureList receiving n records one by one.
long long ListGrowths(size_t n) {
  FailureList list;
  long long growths = 0;
  for (size_t i = 0; i < n; ++i) {
    if (list.size() == list.capacity()) ++growths;
    list.emplace_back(u"", 0);
  }
  return growths;
}

// Cloning 10,000 files in ten directories allocates exactly what the
// platform calls themselves allocate; when every link fails, each failure
// adds one record (its path string) and the list grows as a vector does.
TEST_F(CloneAllocTest, OnlyFailureRecordsAllocate) {
  FreshTree(10, 1000);
  long long replay = ReplayAllocations();

  FreshTree(10, 1000);
  DWORD counter = 0;
  FailureList failures;
  DWORD result = 1;
  long long clone = CloneAllocations(&counter, &failures, &result);
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(counter, 10000u);
  EXPECT_EQ(clone, replay) << "clone " << clone << " vs platform calls alone " << replay;

  FreshTree(10, 1000);
  sim::FailCall("CreateSymbolicLinkW", 1, ERROR_ACCESS_DENIED, true);
  long long failingReplay = ReplayAllocations();

  FreshTree(10, 1000);
  sim::FailCall("CreateSymbolicLinkW", 1, ERROR_ACCESS_DENIED, true);
  counter = 0;
  long long failingClone = CloneAllocations(&counter, &failures, &result);
  EXPECT_EQ(result, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  ASSERT_EQ(failures.size(), 10000u);
  // "C:\dst\dN\fileM" is longer than a short string holds in place.
  EXPECT_EQ(failingClone - failingReplay, 10000 + ListGrowths(10000));
}

// The worker's job is the one allocation of a worker clone's own, and the
// worker releases it when it ends.
TEST_F(CloneAllocTest, WorkerReleasesItsJob) {
  ProbeCapabilities();
  sim::MakeFile(u"C:\\src\\a.txt");
  sim::MakeDirs(u"C:\\dst");
  ProgressSink sink;
  InitializeCriticalSection(&sink.lock);
  memset(sink.mailbox, 0, sizeof sink.mailbox);
  sink.cancelRequested = 0;
  DWORD counter = 0;
  FailureList failures;
  clonetest::WatchSize(sizeof(CloneJob));
  ASSERT_EQ(CloneTree(u"C:\\src", u"C:\\dst", counter, 1, LinkKindSymbolic, 1, failures, &sink), 1u);
  WaitForSingleObject(sink.workerThread, INFINITE);
  CloseHandle(sink.workerThread);
  EXPECT_EQ(clonetest::WatchedAllocated(), 1);
  EXPECT_EQ(clonetest::WatchedLive(), 0u);
  clonetest::WatchSize(0);
  EXPECT_EQ(sink.workerResult, 0u);
  DeleteCriticalSection(&sink.lock);
}

}  // namespace
