// Simulated threads and critical sections, run on real host threads so that
// the product's worker and its owner truly run at the same time.
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "sim/sim.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#  define SIM_SANITIZED_STACK 1
#elif defined(__has_feature)
#  if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#    define SIM_SANITIZED_STACK 1
#  endif
#endif

namespace {

// CreateThread with stack size 0 takes the size from the executable header,
// 1 MiB by default; a nonzero size is the initial commit and the reservation
// grows to a whole MiB above it.
constexpr size_t kDefaultStack = 1u << 20;
// AddressSanitizer pads every stack frame with red zones (and
// ThreadSanitizer's instrumentation grows frames too), so the same code needs
// several times the stack; the host stack is scaled so that what fits a
// Windows stack still fits here.
#ifdef SIM_SANITIZED_STACK
constexpr size_t kHostStackFactor = 4;
#else
constexpr size_t kHostStackFactor = 1;
#endif

struct ThreadState {
  LPTHREAD_START_ROUTINE start = nullptr;
  LPVOID param = nullptr;
  pthread_t host{};
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
};

struct ThreadObject : sim::HandleObject {
  explicit ThreadObject(std::shared_ptr<ThreadState> s) : state(std::move(s)) {}
  const char* Kind() const override { return "thread"; }
  std::shared_ptr<ThreadState> state;
};

// Every host thread ever started and not yet joined. A thread outlives its
// handle as on Windows; it is joined once it has finished. At exit finished
// threads are joined; one still blocked (a test that never released it) is
// left to the process's end rather than hanging the run.
struct Threads {
  std::vector<std::shared_ptr<ThreadState>> live;
  ~Threads() {
    for (auto& t : live) {
      bool done;
      {
        std::lock_guard<std::mutex> g(t->m);
        done = t->done;
      }
      if (done) {
        pthread_join(t->host, nullptr);
      } else {
        pthread_detach(t->host);
      }
    }
  }
};

Threads& AllThreads() {
  // The world lock must outlive the registry, whose destructor may wait for
  // threads that still take it.
  (void)sim::WorldLock();
  static Threads t;
  return t;
}

// Join every thread that has set its exit code; such a thread only has to
// return from its start routine, so the join does not block on the world.
void ReapFinished() {
  auto& live = AllThreads().live;
  for (size_t i = 0; i < live.size();) {
    bool done;
    {
      std::lock_guard<std::mutex> g(live[i]->m);
      done = live[i]->done;
    }
    if (done) {
      pthread_join(live[i]->host, nullptr);
      live.erase(live.begin() + static_cast<std::ptrdiff_t>(i));
    } else {
      ++i;
    }
  }
}

void* Trampoline(void* arg) {
  // The thread's own reference, handed over by CreateThread.
  std::shared_ptr<ThreadState> self(*static_cast<std::shared_ptr<ThreadState>*>(arg));
  delete static_cast<std::shared_ptr<ThreadState>*>(arg);
  try {
    // A new thread starts with last error 0 (the last error is per thread).
    // Its exit code is not modelled: nothing asks for it.
    self->start(self->param);
  } catch (const sim::ProcessExit& e) {
    // ExitProcess on a worker ends the whole process on Windows; the
    // simulation can only unwind the thread that ran wmain.
    fprintf(stderr, "simulated process: ExitProcess(%u) on a worker thread\n", e.code);
    fflush(stderr);
    abort();
  }
  std::lock_guard<std::mutex> g(self->m);
  self->done = true;
  self->cv.notify_all();
  return nullptr;
}

[[noreturn]] void Misuse(const char* what) {
  fprintf(stderr, "simulated process: %s\n", what);
  fflush(stderr);
  abort();
}

size_t RoundUp(size_t v, size_t unit) { return (v + unit - 1) / unit * unit; }

}  // namespace

namespace sim {

void ResetThreads() {
  // Threads still running keep their place and are joined when they finish;
  // joining here would wait under the world lock they may need.
  ReapFinished();
}

}  // namespace sim

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stackSize, LPTHREAD_START_ROUTINE start,
                           LPVOID param, DWORD flags, LPDWORD threadId) {
  (void)sa;
  sim::CallScope call("CreateThread", std::to_string(stackSize) + ", " + sim::Hex(flags));
  DWORD e;
  if (call.Faulted(&e)) return call.FailAs(e, nullptr, "NULL");
  if (flags != 0) Misuse("CreateThread flags (suspended, stack reservation) are not modelled");
  if (threadId) Misuse("CreateThread thread ids are not modelled");
  if (!start) Misuse("CreateThread without a start routine: the new thread would fault at once");
  ReapFinished();

  const size_t reserve = stackSize <= kDefaultStack ? kDefaultStack : RoundUp(stackSize, kDefaultStack);
  auto state = std::make_shared<ThreadState>();
  state->start = start;
  state->param = param;

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, reserve * kHostStackFactor);
  auto* handoff = new std::shared_ptr<ThreadState>(state);
  int rc = pthread_create(&state->host, &attr, &Trampoline, handoff);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete handoff;
    // No memory for the thread's stack or structures: ERROR_NOT_ENOUGH_MEMORY.
    sim::SetError(ERROR_NOT_ENOUGH_MEMORY);
    call.result = "NULL";
    return nullptr;
  }
  AllThreads().live.push_back(state);
  HANDLE h = sim::NewHandle(std::make_shared<ThreadObject>(state));
  call.result = sim::Hex(reinterpret_cast<uintptr_t>(h));
  return h;
}

DWORD WINAPI WaitForSingleObject(HANDLE h, DWORD milliseconds) {
  sim::CallScope call("WaitForSingleObject",
                      sim::Hex(reinterpret_cast<uintptr_t>(h)) + ", " + std::to_string(milliseconds));
  DWORD e;
  if (call.Faulted(&e)) return call.FailAs(e, WAIT_FAILED, "WAIT_FAILED");
  auto object = sim::LookupHandle(h);
  auto thread = std::dynamic_pointer_cast<ThreadObject>(object);
  if (!thread) {
    // Only thread handles are waited on here; a closed or unknown handle,
    // or an object that cannot be waited on (a token, a search handle):
    // WAIT_FAILED with ERROR_INVALID_HANDLE.
    sim::SetError(ERROR_INVALID_HANDLE);
    call.result = "WAIT_FAILED";
    return WAIT_FAILED;
  }
  std::shared_ptr<ThreadState> s = thread->state;
  // The thread being waited for needs the world to finish.
  call.Unlock();
  std::unique_lock<std::mutex> g(s->m);
  bool signalled;
  if (milliseconds == INFINITE) {
    s->cv.wait(g, [&s] { return s->done; });
    signalled = true;
  } else {
    signalled = s->cv.wait_for(g, std::chrono::milliseconds(milliseconds), [&s] { return s->done; });
  }
  // A thread object is signalled once the thread has ended.
  DWORD r = signalled ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
  call.result = signalled ? "WAIT_OBJECT_0" : "WAIT_TIMEOUT";
  return r;
}

// ------------------------------------------------------------ critical sections
// A critical section is owned by one thread at a time and may be entered
// again by its owner, which must leave it as often. Since Windows XP these
// calls cannot fail, so a fault that falls due on one of them has no effect.
namespace {

struct CriticalSection {
  std::mutex m;
  std::condition_variable cv;
  std::thread::id owner;
  unsigned depth = 0;
};

CriticalSection* Impl(LPCRITICAL_SECTION cs, const char* call) {
  if (!cs || !cs->impl) {
    fprintf(stderr, "simulated process: %s on a critical section that is not initialised\n", call);
    fflush(stderr);
    abort();
  }
  return static_cast<CriticalSection*>(cs->impl);
}

}  // namespace

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION cs) {
  sim::CallScope call("InitializeCriticalSection", sim::Hex(reinterpret_cast<uintptr_t>(cs)));
  if (!cs) Misuse("InitializeCriticalSection(NULL)");
  cs->impl = new CriticalSection;
  call.result = "void";
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION cs) {
  sim::CallScope call("DeleteCriticalSection", sim::Hex(reinterpret_cast<uintptr_t>(cs)));
  CriticalSection* c = Impl(cs, "DeleteCriticalSection");
  {
    std::lock_guard<std::mutex> g(c->m);
    // Deleting a critical section that a thread owns leaves that thread's
    // later Leave undefined on Windows.
    if (c->depth != 0) Misuse("DeleteCriticalSection on a critical section that is still entered");
  }
  delete c;
  cs->impl = nullptr;
  call.result = "void";
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION cs) {
  sim::CallScope call("EnterCriticalSection", sim::Hex(reinterpret_cast<uintptr_t>(cs)));
  CriticalSection* c = Impl(cs, "EnterCriticalSection");
  // The owner may be inside a simulated call and need the world to leave.
  call.Unlock();
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock<std::mutex> g(c->m);
  c->cv.wait(g, [c, self] { return c->depth == 0 || c->owner == self; });
  c->owner = self;
  c->depth++;
  call.result = "void";
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION cs) {
  sim::CallScope call("LeaveCriticalSection", sim::Hex(reinterpret_cast<uintptr_t>(cs)));
  CriticalSection* c = Impl(cs, "LeaveCriticalSection");
  {
    std::lock_guard<std::mutex> g(c->m);
    // Leaving a critical section the thread does not own corrupts it on
    // Windows; stop the run where it happens.
    if (c->depth == 0 || c->owner != std::this_thread::get_id()) {
      Misuse("LeaveCriticalSection by a thread that does not own it");
    }
    if (--c->depth == 0) {
      c->owner = std::thread::id();
      c->cv.notify_one();
    }
  }
  call.result = "void";
}
