// The tree clone on its worker thread: progress posts, cancellation, and the
// hand-over of results to the sink's owner.
#include <stdio.h>

#include <cstring>
#include <string>
#include <vector>

#include "clone/clone.h"
#include "tests/support.h"

namespace clonetest {
// Heap allocation counter of the test binary (clone_alloc_test.cpp).
void WatchSize(size_t bytes);
long long WatchedAllocated();
size_t WatchedLive();
}  // namespace clonetest

namespace {

// The owner's side of a sink, as an embedding caller keeps it.
class WorkerTest : public lbtest::CloneTestBase {
 protected:
  void SetUp() override {
    lbtest::CloneTestBase::SetUp();
    InitializeCriticalSection(&sink.lock);
    memset(sink.mailbox, 0, sizeof sink.mailbox);
    sink.cancelRequested = 0;
    sink.workerThread = reinterpret_cast<HANDLE>(0x5a5a);
    sink.workerResult = 0xdeadbeef;
  }
  void TearDown() override {
    DeleteCriticalSection(&sink.lock);
    lbtest::SimTest::TearDown();
  }

  DWORD Start(const char16_t* source = u"C:\\src", const char16_t* dest = u"C:\\dst") {
    return CloneTree(source, dest, counter, 1, LinkKindSymbolic, 1, failures, &sink);
  }
  // Waits for the worker and closes its handle; only then are the counter,
  // the list and the result the owner's to read.
  void Join() {
    ASSERT_NE(sink.workerThread, nullptr);
    EXPECT_EQ(WaitForSingleObject(sink.workerThread, INFINITE), WAIT_OBJECT_0);
    CloseHandle(sink.workerThread);
  }
  // The owner asks for cancellation, under the lock, while the double holds
  // the worker at a call, then lets it go on.
  void CancelWhileHeld() {
    sim::WaitUntilHeld();
    EnterCriticalSection(&sink.lock);
    sink.cancelRequested = 1;
    LeaveCriticalSection(&sink.lock);
    sim::ReleaseHeld();
  }
  std::string Mailbox() const { return sim::U8(std::u16string(sink.mailbox, MailboxLength())); }
  size_t MailboxLength() const {
    size_t n = 0;
    while (n < MailboxChars && sink.mailbox[n] != 0) ++n;
    return n;
  }

  ProgressSink sink;
};

// The mailbox takes a path only when empty and not cancelled; it is
// zero-filled behind a short path and has no terminator when full.
TEST_F(WorkerTest, PostProgressMailbox) {
  std::u16string shortPath = u"\\\\?\\C:\\a";
  for (size_t i = 1; i < MailboxChars; ++i) sink.mailbox[i] = u'Z';
  sim::ClearCalls();
  EXPECT_EQ(sink.PostProgress(shortPath.c_str()), 0u);
  EXPECT_EQ(std::u16string(sink.mailbox, shortPath.size()), shortPath);
  for (size_t i = shortPath.size(); i < MailboxChars; ++i) ASSERT_EQ(sink.mailbox[i], 0) << i;
  EXPECT_EQ(sim::CallNames(), (std::vector<std::string>{"EnterCriticalSection", "LeaveCriticalSection"}));

  EXPECT_EQ(sink.PostProgress(u"C:\\other"), static_cast<DWORD>(ERROR_REQUEST_REFUSED));
  EXPECT_EQ(std::u16string(sink.mailbox, shortPath.size()), shortPath);

  sink.cancelRequested = 1;
  sink.mailbox[0] = 0;
  EXPECT_EQ(sink.PostProgress(u"C:\\other"), static_cast<DWORD>(ERROR_REQUEST_ABORTED));
  EXPECT_EQ(sink.mailbox[1], u'\\') << "the mailbox is not written when cancelled";
  sink.cancelRequested = 0;

  for (size_t length : {259u, 260u, 300u}) {
    std::u16string path(length, u'p');
    for (size_t i = 0; i < length; ++i) path[i] = char16_t(u'a' + i % 26);
    memset(sink.mailbox, 0, sizeof sink.mailbox);
    EXPECT_EQ(sink.PostProgress(path.c_str()), 0u);
    EXPECT_EQ(std::u16string(sink.mailbox, MailboxChars).substr(0, std::min<size_t>(length, 260)),
              path.substr(0, 260))
        << length;
    if (length < MailboxChars) {
      EXPECT_EQ(sink.mailbox[length], 0);
    }
  }
}

// The worker looks for cancellation before it lists each directory, so a
// tree of directories alone stops too: asked for before the start, nothing
// is made; asked for while the worker is held making a directory, that
// directory is made and not listed, and every enclosing level stops.
TEST_F(WorkerTest, CancelStopsAtEveryDirectory) {
  sim::MakeDirs(u"C:\\src\\a\\b\\c");
  sim::MakeDirs(u"C:\\src\\d");
  sink.cancelRequested = 1;
  EXPECT_EQ(Start(), 1u);
  Join();
  EXPECT_EQ(sink.workerResult, static_cast<DWORD>(ERROR_REQUEST_ABORTED));
  EXPECT_TRUE(sim::List(u"C:\\dst").empty());
  EXPECT_EQ(sim::CallCount("FindFirstFileW"), 0u);

  sink.cancelRequested = 0;
  sim::HoldAtCall("CreateDirectoryW", 2);
  EXPECT_EQ(Start(), 1u);
  CancelWhileHeld();
  Join();
  EXPECT_EQ(sink.workerResult, static_cast<DWORD>(ERROR_REQUEST_ABORTED));
  EXPECT_TRUE(sim::Inspect(u"C:\\dst\\a\\b").isDirectory);
  EXPECT_FALSE(sim::Inspect(u"C:\\dst\\a\\b\\c").exists);
  EXPECT_FALSE(sim::Inspect(u"C:\\dst\\d").exists);
  EXPECT_TRUE(failures.empty());
}

// A mailbox nobody empties keeps the first file's path; later posts are
// refused and the clone goes on to the end.
TEST_F(WorkerTest, UnemptiedMailboxKeepsFirstPath) {
  sim::MakeFile(u"C:\\src\\a.txt");
  sim::MakeFile(u"C:\\src\\b.txt");
  sim::MakeFile(u"C:\\src\\s\\c.txt");
  EXPECT_EQ(Start(), 1u);
  Join();
  EXPECT_EQ(sink.workerResult, 0u);
  EXPECT_EQ(counter, 3u);
  EXPECT_EQ(Mailbox(), "\\\\?\\C:\\src\\a.txt");
  EXPECT_TRUE(sim::Inspect(u"C:\\dst\\s\\c.txt").exists);
}

// A cancellation the post reports outlives a link failure of the same file:
// the level stops with 1235, not with the failure's code.
TEST_F(WorkerTest, CancelOutlivesFailureOfSameFile) {
  sim::MakeFile(u"C:\\src\\a.txt");
  sim::MakeFile(u"C:\\src\\b.txt");
  sim::FailCall("CreateSymbolicLinkW", 1, ERROR_ACCESS_DENIED);
  sim::HoldAtCall("CreateSymbolicLinkW", 1);
  EXPECT_EQ(CloneTree(u"C:\\src", u"C:\\dst", counter, 0, LinkKindSymbolic, 1, failures, &sink), 1u);
  CancelWhileHeld();
  Join();
  EXPECT_EQ(sink.workerResult, static_cast<DWORD>(ERROR_REQUEST_ABORTED));
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].errorCode, static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(sim::Inspect(u"C:\\dst\\b.txt").exists);
  EXPECT_EQ(sim::TakeStdout(), "ERROR: Failed to create hardlink C:\\dst\\a.txt\r\n");
}

// Failures and the result reach the owner once the thread has ended: a
// quiet re-run over an existing destination records the file and ends
// with 0.
TEST_F(WorkerTest, ResultsAfterThreadEnds) {
  sim::MakeFile(u"C:\\src\\a.txt");
  sim::MakeFile(u"C:\\dst\\a.txt");
  EXPECT_EQ(Start(), 1u);
  Join();
  EXPECT_EQ(sink.workerResult, 0u);
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].errorCode, 183u);
  EXPECT_EQ(sim::U8(failures[0].path), "C:\\dst\\a.txt");
  EXPECT_EQ(counter, 0u);
}

// The trace sink runs on the calling thread as each simulated call returns;
// it stands in for an owner whose cancellation lands right after the worker's
// nth use of the sink's lock (a look per directory, a post per file), which
// makes the stopping point exact.
struct CancelAfterPosts {
  ProgressSink* sink;
  int postsLeft;
};

ssize_t CountPosts(void* cookie, const char* data, size_t size) {
  auto* c = static_cast<CancelAfterPosts*>(cookie);
  std::string line(data, size);
  for (size_t at = line.find("LeaveCriticalSection"); at != std::string::npos;
       at = line.find("LeaveCriticalSection", at + 1)) {
    // Only the worker enters the sink's lock while it runs; the flag is
    // written on the worker's own thread, between two of its uses of it.
    if (--c->postsLeft == 0) c->sink->cancelRequested = 1;
  }
  return static_cast<ssize_t>(size);
}

// Cancelled in the middle of a level: that level stops after the file whose
// post saw it, and so does every enclosing level.
TEST_F(WorkerTest, CancelMidWalkStopsEveryLevel) {
  for (const char16_t* f : {u"C:\\src\\a\\f1", u"C:\\src\\a\\f2", u"C:\\src\\a\\f3", u"C:\\src\\a\\f4",
                            u"C:\\src\\a\\f5", u"C:\\src\\b\\g1", u"C:\\src\\c.txt"})
    sim::MakeFile(f);
  // The root's look, a's look, f1's and f2's posts.
  CancelAfterPosts cancel{&sink, 4};
  cookie_io_functions_t io = {nullptr, &CountPosts, nullptr, nullptr};
  FILE* trace = fopencookie(&cancel, "w", io);
  ASSERT_NE(trace, nullptr);
  setvbuf(trace, nullptr, _IONBF, 0);
  sim::SetTrace(trace);
  EXPECT_EQ(Start(), 1u);
  Join();
  sim::SetTrace(nullptr);
  fclose(trace);
  EXPECT_EQ(sink.workerResult, static_cast<DWORD>(ERROR_REQUEST_ABORTED));
  EXPECT_EQ(counter, 3u) << "f1 and f2 posted, f3's post saw the cancellation";
  EXPECT_EQ(sim::List(u"C:\\dst\\a"), (std::vector<std::u16string>{u"f1", u"f2", u"f3"}));
  EXPECT_FALSE(sim::Inspect(u"C:\\dst\\b").exists);
  EXPECT_FALSE(sim::Inspect(u"C:\\dst\\c.txt").exists);
  EXPECT_EQ(Mailbox(), "\\\\?\\C:\\src\\a\\f1");
}

// A real owner on its own thread: it takes a path out under the lock and
// asks for cancellation while the worker, held by the double as it begins
// its second link, cannot post. The worker then links that file, its post
// sees the cancellation, and the owner reads the results only after the
// thread ended.
TEST_F(WorkerTest, OwnerCancelsWhileWorkerRuns) {
  const int files = 400;
  for (int i = 0; i < files; ++i) sim::MakeFile(u"C:\\src\\f" + sim::W(std::to_string(1000 + i)));
  sim::SetCallLogEnabled(false);
  sim::HoldAtCall("CreateSymbolicLinkW", 2);
  EXPECT_EQ(Start(), 1u);
  sim::WaitUntilHeld();
  EnterCriticalSection(&sink.lock);
  const std::string taken = Mailbox();
  sink.mailbox[0] = 0;
  sink.cancelRequested = 1;
  LeaveCriticalSection(&sink.lock);
  sim::ReleaseHeld();
  Join();
  EXPECT_EQ(taken, "\\\\?\\C:\\src\\f1000") << "the first post always finds the mailbox empty";
  EXPECT_EQ(sink.workerResult, static_cast<DWORD>(ERROR_REQUEST_ABORTED));
  EXPECT_EQ(sim::CallCount("CreateSymbolicLinkW"), 2u);
  EXPECT_EQ(counter, 2u);
  EXPECT_EQ(sim::List(u"C:\\dst"), (std::vector<std::u16string>{u"f1000", u"f1001"}));
  EXPECT_EQ(MailboxLength(), 0u) << "the cancelled post leaves the mailbox as the owner left it";
}

// When no thread can be started the job is released, the sink shows no
// thread, and the thread's error is the result.
TEST_F(WorkerTest, CreateThreadFailure) {
  sim::MakeFile(u"C:\\src\\a.txt");
  sim::FailCall("CreateThread", 1, ERROR_NOT_ENOUGH_MEMORY);
  clonetest::WatchSize(sizeof(CloneJob));
  DWORD returned = Start();
  EXPECT_EQ(returned, 1u);
  EXPECT_EQ(sink.workerThread, nullptr);
  EXPECT_EQ(sink.workerResult, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_FALSE(sim::Inspect(u"C:\\dst\\a.txt").exists);
  EXPECT_EQ(clonetest::WatchedAllocated(), 1) << "the job was allocated";
  EXPECT_EQ(clonetest::WatchedLive(), 0u) << "and released";
  clonetest::WatchSize(0);
}

// A root that cannot be resolved starts no thread.
TEST_F(WorkerTest, UnresolvableRootStartsNoThread) {
  EXPECT_EQ(Start(u""), static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(sink.workerThread, nullptr);
  EXPECT_EQ(sink.workerResult, static_cast<DWORD>(ERROR_INVALID_NAME));
  EXPECT_EQ(sim::CallCount("CreateThread"), 0u);
}

}  // namespace
