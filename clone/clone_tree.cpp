// Entry of the tree clone: makes both roots absolute, then clones on the
// caller's thread or starts a worker thread that reports to a ProgressSink.
#include <new>

#include "clone/clone.h"

namespace {

const WCHAR LongPathPrefix[] = TEXT("\\\\?\\");

// Room a source level keeps behind its path for the search pattern "\*.*".
const DWORD PatternChars = 4;

// Puts the absolute form of path at buffer + offset, where ClonePathChars
// characters are free, keeping `reserve` characters spare behind it.
// Returns 0 or the error code.
DWORD ResolveInto(LPCWSTR path, WCHAR* buffer, DWORD offset, DWORD reserve) {
  // GetFullPathNameW fails on an empty path without setting an error on
  // current systems (older ones report ERROR_INVALID_NAME), so a stale code
  // would be taken for the reason.
  if (path == NULL || path[0] == 0) {
    return ERROR_INVALID_NAME;
  }
  DWORD chars = GetFullPathNameW(path, ClonePathChars, buffer + offset, NULL);
  if (chars == 0) {
    DWORD code = GetLastError();
    return code != 0 ? code : ERROR_INVALID_NAME;
  }
  // Too small a buffer is answered with the size needed, terminator
  // included, and the buffer left unfilled.
  if (chars >= ClonePathChars - reserve) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  return 0;
}

void CopyPath(WCHAR* to, const WCHAR* from) {
  DWORD i = 0;
  for (; i < CloneBufferChars - 1 && from[i] != 0; ++i) {
    to[i] = from[i];
  }
  to[i] = 0;
}

// Nothing runs the job: the sink shows no thread and the reason.
DWORD NoWorker(ProgressSink* progressSink, DWORD code) {
  progressSink->workerThread = NULL;
  progressSink->workerResult = code;
  return 1;
}

}  // namespace

DWORD WINAPI CloneWorker(LPVOID parameter) {
  CloneJob* job = static_cast<CloneJob*>(parameter);
  DWORD result = CloneDirectory(job->sourcePath, job->destPath, job->fileCounter, job->quiet,
                                job->kind, job->displayOffset, job->failureList,
                                &job->progressSink);
  job->progressSink.workerResult = result;
  delete job;
  return 1;
}

DWORD CloneTree(const WCHAR* sourcePath, const WCHAR* destPath, DWORD& fileCounter,
                unsigned char quiet, LinkKind kind, unsigned char usePrefix,
                FailureList& failureList, ProgressSink* progressSink) {
  WCHAR source[CloneBufferChars];
  WCHAR destination[CloneBufferChars];

  DWORD displayOffset = 0;
  if (usePrefix) {
    displayOffset = ClonePrefixChars;
    CopyPath(source, LongPathPrefix);
    CopyPath(destination, LongPathPrefix);
  }
  DWORD code = ResolveInto(destPath, destination, displayOffset, 0);
  if (code == 0) {
    code = ResolveInto(sourcePath, source, displayOffset, PatternChars);
  }
  if (code != 0) {
    if (progressSink != NULL) {
      NoWorker(progressSink, code);
    }
    return code;
  }

  if (progressSink == NULL) {
    return CloneDirectory(source, destination, fileCounter, quiet, kind, displayOffset, failureList,
                          NULL);
  }

  CloneJob* job = new (std::nothrow)
      CloneJob{{0}, {0}, fileCounter, quiet, kind, displayOffset, failureList, *progressSink};
  if (job == NULL) {
    return NoWorker(progressSink, ERROR_NOT_ENOUGH_MEMORY);
  }
  CopyPath(job->sourcePath, source);
  CopyPath(job->destPath, destination);
  HANDLE thread = CreateThread(NULL, 0, CloneWorker, job, 0, NULL);
  if (thread == NULL) {
    code = GetLastError();
    delete job;
    return NoWorker(progressSink, code);
  }
  progressSink->workerThread = thread;
  return 1;
}
