// clone-progress: an embedding caller of the tree clone. It clones a source
// tree into an existing destination directory on the clone's worker thread,
// draws one console line of progress from the ProgressSink's mailbox while it
// waits, lets Ctrl+C cancel the clone, and lists the failures at the end.
//
//   clone-progress [--hard] [--cancel-after N] <source> <destination>
//
// It keeps the sink's threading contract: the lock is initialised before the
// clone starts and deleted after the worker ended; the mailbox is read and
// emptied, and cancelRequested set, only under the lock; the FailureList, the
// file counter and workerResult are read only after the worker thread ended.
#include <atomic>

#include "clone/clone.h"
#include "examples/clone-progress/clone_progress.h"
#include "platform/platform.h"
#include "platform/probe.h"

#if !defined(_WIN32)
#  include <signal.h>
#endif

namespace {

const DWORD PollMilliseconds = 100;
// Characters of the progress line after the counter, so the whole line stays
// inside an 80-column console and "\r" can redraw it.
const DWORD PathColumns = 60;
const DWORD PrefixChars = 4;  // "\\?\" in front of the worker's paths
static_assert(PathColumns == 60, "the progress format pads the path to 60 columns");

// Set by the Ctrl+C handler, which runs on a thread of its own (Windows) or
// as a signal handler (host); moved into the sink under its lock by the
// polling loop. A lock-free atomic is safe in both places.
std::atomic<int> interruptRequested(0);

#if defined(_WIN32)
BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
    interruptRequested.store(1);
    return TRUE;  // handled: the process keeps running and cancels cleanly
  }
  return FALSE;
}

void InstallInterruptHandler() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }
void RemoveInterruptHandler() { SetConsoleCtrlHandler(OnConsoleControl, FALSE); }
#else
extern "C" void OnInterruptSignal(int) { interruptRequested.store(1); }

void InstallInterruptHandler() { signal(SIGINT, OnInterruptSignal); }
void RemoveInterruptHandler() { signal(SIGINT, SIG_DFL); }
#endif

struct Options {
  LinkKind kind;
  bool cancelAfterGiven;
  DWORD cancelAfter;
  const WCHAR* source;
  const WCHAR* destination;
};

bool SameText(const WCHAR* a, const WCHAR* b) { return wcscmp(a, b) == 0; }

// Decimal digits only, no sign, at most 9 of them so the value fits a DWORD.
bool ParseCount(const WCHAR* text, DWORD* value) {
  DWORD v = 0;
  DWORD digits = 0;
  for (; text[digits] != 0; ++digits) {
    if (text[digits] < TEXT('0') || text[digits] > TEXT('9') || digits == 9) {
      return false;
    }
    v = v * 10 + static_cast<DWORD>(text[digits] - TEXT('0'));
  }
  if (digits == 0) {
    return false;
  }
  *value = v;
  return true;
}

bool ParseOptions(int argc, WCHAR** argv, Options* options) {
  options->kind = LinkKindSymbolic;
  options->cancelAfterGiven = false;
  options->cancelAfter = 0;
  options->source = NULL;
  options->destination = NULL;
  for (int i = 1; i < argc; ++i) {
    const WCHAR* arg = argv[i];
    if (SameText(arg, TEXT("--hard"))) {
      options->kind = LinkKindHard;
    } else if (SameText(arg, TEXT("--cancel-after"))) {
      if (i + 1 >= argc || !ParseCount(argv[i + 1], &options->cancelAfter)) {
        return false;
      }
      options->cancelAfterGiven = true;
      ++i;
    } else if (arg[0] == TEXT('-') && arg[1] == TEXT('-')) {
      return false;
    } else if (options->source == NULL) {
      options->source = arg;
    } else if (options->destination == NULL) {
      options->destination = arg;
    } else {
      return false;
    }
  }
  return options->source != NULL && options->destination != NULL;
}

void PrintUsage() {
  wprintf(TEXT("usage: clone-progress [--hard] [--cancel-after N] <source> <destination>\n"));
}

// The path as shown: without the long-path prefix, and when too long, its
// last PathColumns - 3 characters behind "...".
void FormatShownPath(const WCHAR* path, WCHAR* shown) {
  if (wcsncmp(path, TEXT("\\\\?\\"), PrefixChars) == 0) {
    path += PrefixChars;
  }
  size_t length = wcslen(path);
  if (length <= PathColumns) {
    swprintf(shown, PathColumns + 1, TEXT("%ls"), path);
  } else {
    swprintf(shown, PathColumns + 1, TEXT("...%ls"), path + (length - (PathColumns - 3)));
  }
}

// One redraw of the progress line. `seen` counts the paths taken from the
// mailbox: a lower bound of the files done, since a post made while the
// mailbox was still full is dropped (the file is linked all the same).
void DrawProgress(DWORD seen, const WCHAR* currentPath) {
  WCHAR shown[PathColumns + 1];
  FormatShownPath(currentPath, shown);
  WCHAR line[PathColumns + 32];
  swprintf(line, PathColumns + 32, TEXT("\r%8lu seen  %-60ls"), seen, shown);
  // The engine's writer, not wprintf: paths keep every character.
  PrintText(line, NULL, NULL, false);
}

// Takes the mailbox's path out and empties it, under the lock, so the worker
// can post the next one; moves a pending Ctrl+C into the sink. Returns true
// when a path was taken.
bool PollSink(ProgressSink* sink, WCHAR* path, bool cancelNow) {
  bool took = false;
  EnterCriticalSection(&sink->lock);
  if (sink->mailbox[0] != 0) {
    // A full mailbox has no terminator: take at most MailboxChars.
    DWORD i = 0;
    for (; i < MailboxChars && sink->mailbox[i] != 0; ++i) {
      path[i] = sink->mailbox[i];
    }
    path[i] = 0;
    sink->mailbox[0] = 0;
    took = true;
  }
  if (cancelNow) {
    sink->cancelRequested = 1;
  }
  LeaveCriticalSection(&sink->lock);
  return took;
}

void PrintFailures(const FailureList& failures) {
  wprintf(TEXT("%lu failure(s)\n"), static_cast<DWORD>(failures.size()));
  for (size_t i = 0; i < failures.size(); ++i) {
    WCHAR code[24];
    swprintf(code, 24, TEXT("  %5lu  "), failures[i].errorCode);
    PrintLine(code, NULL, failures[i].path.c_str());
  }
}

}  // namespace

int CloneProgressMain(int argc, WCHAR** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    PrintUsage();
    return 2;
  }

  // The link functions are found and their privileges enabled once, before
  // the clone; the worker only reads what the probe filled in.
  ProbeCapabilities();

  ProgressSink sink;
  InitializeCriticalSection(&sink.lock);
  sink.mailbox[0] = 0;
  sink.cancelRequested = 0;
  sink.workerThread = NULL;
  sink.workerResult = 0;
  // --cancel-after 0 asks before the worker starts: it looks before it lists
  // the source, so the run is cancelled at a known point, with nothing made.
  if (options.cancelAfterGiven && options.cancelAfter == 0) {
    sink.cancelRequested = 1;
  }

  DWORD fileCounter = 0;
  FailureList failures;
  interruptRequested.store(0);
  InstallInterruptHandler();

  CloneTree(options.source, options.destination, fileCounter, 1, options.kind, 1, failures, &sink);
  if (sink.workerThread == NULL) {
    // Nothing runs: the roots could not be resolved or the thread not started.
    RemoveInterruptHandler();
    DeleteCriticalSection(&sink.lock);
    wprintf(TEXT("clone-progress: the clone did not start, error %lu\n"), sink.workerResult);
    return 1;
  }

  WCHAR current[MailboxChars + 1];
  current[0] = 0;
  DWORD seen = 0;
  bool cancelSent = sink.cancelRequested != 0;
  bool running = true;
  while (running) {
    DWORD wait = WaitForSingleObject(sink.workerThread, PollMilliseconds);
    if (wait == WAIT_FAILED) {
      // The worker still uses the sink, the list and the counter: none of
      // them may be released, so the process ends here.
      wprintf(TEXT("\nclone-progress: waiting for the worker failed, error %lu\n"),
              GetLastError());
      ExitProcess(1);
    }
    running = wait == WAIT_TIMEOUT;
    bool cancelNow = !cancelSent && (interruptRequested.load() != 0 ||
                                     (options.cancelAfterGiven && seen >= options.cancelAfter));
    if (PollSink(&sink, current, cancelNow)) {
      ++seen;
      DrawProgress(seen, current);
    }
    if (cancelNow) {
      cancelSent = true;
    }
  }
  CloseHandle(sink.workerThread);
  sink.workerThread = NULL;
  RemoveInterruptHandler();
  DeleteCriticalSection(&sink.lock);

  // The worker has ended: its results may be read now.
  if (seen > 0) {
    wprintf(TEXT("\n"));
  }
  wprintf(TEXT("%lu files linked, result %lu%ls\n"), fileCounter, sink.workerResult,
          sink.workerResult == ERROR_REQUEST_ABORTED ? TEXT(" (cancelled)") : TEXT(""));
  PrintFailures(failures);
  return sink.workerResult == 0 ? 0 : 1;
}

#if defined(_WIN32)
int wmain(int argc, WCHAR** argv) { return CloneProgressMain(argc, argv); }
#endif
