// Entry of the tree clone: makes both roots absolute, then clones on the
// caller's thread or starts a worker thread that reports to a ProgressSink.
#include <new>

#include "clone/clone.h"
#include "platform/full_path.h"
#include "platform/last_error.h"

namespace {

const WCHAR LongPathPrefix[] = TEXT("\\\\?\\");
const WCHAR LongUncPrefix[] = TEXT("\\\\?\\UNC\\");

// Room a source level keeps behind its path for the search pattern "\*.*".
const DWORD PatternChars = 4;

bool IsBackslash(WCHAR c) { return c == TEXT('\\'); }


// Puts the absolute form of path into buffer (CloneBufferChars characters),
// keeping `reserve` characters spare behind it. With usePrefix it takes the
// long-path form, in which Windows no longer normalises the path: "\\?\"
// before a drive path, "\\?\UNC\" in place of the "\\" of a server share,
// and nothing more before a path that already starts with "\\?\" or "\\.\".
// Returns 0 or the error code.
DWORD ResolveRoot(LPCWSTR path, WCHAR* buffer, unsigned char usePrefix, DWORD reserve) {
  const DWORD offset = usePrefix ? ClonePrefixChars : 0;
  const DWORD limit = offset + ClonePathChars - 1;
  WCHAR* at = buffer + offset;
  DWORD chars = 0;
  DWORD code = FullPathOf(path, at, ClonePathChars, &chars);
  if (code != ERROR_SUCCESS) {
    return code;
  }
  DWORD length = chars;
  if (!usePrefix) {
    // used as it is
  } else if (HasDevicePrefix(at)) {
    for (DWORD i = 0; i <= chars; ++i) {
      buffer[i] = at[i];
    }
  } else if (IsBackslash(at[0]) && IsBackslash(at[1])) {
    length = chars - 2 + CloneUncPrefixChars;
    if (length + reserve > limit) {
      return ERROR_FILENAME_EXCED_RANGE;
    }
    // The share's name moves two characters right, terminator included.
    for (DWORD i = chars + 1; i-- > 2;) {
      buffer[CloneUncPrefixChars + i - 2] = at[i];
    }
    for (DWORD i = 0; i < CloneUncPrefixChars; ++i) {
      buffer[i] = LongUncPrefix[i];
    }
  } else {
    for (DWORD i = 0; i < ClonePrefixChars; ++i) {
      buffer[i] = LongPathPrefix[i];
    }
    length = chars + ClonePrefixChars;
  }
  if (length + reserve > limit) {
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

// Both roots in their absolute form, each in its buffer of CloneBufferChars
// characters. Returns 0 or the error code.
DWORD ResolveRoots(const WCHAR* sourcePath, const WCHAR* destPath, unsigned char usePrefix,
                   WCHAR* source, WCHAR* destination) {
  DWORD code = ResolveRoot(destPath, destination, usePrefix, 0);
  if (code == 0) {
    code = ResolveRoot(sourcePath, source, usePrefix, PatternChars);
  }
  return code;
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

  DWORD displayOffset = usePrefix ? ClonePrefixChars : 0;
  DWORD code = ResolveRoots(sourcePath, destPath, usePrefix, source, destination);
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
    code = LastFailure();
    delete job;
    return NoWorker(progressSink, code);
  }
  progressSink->workerThread = thread;
  return 1;
}

DWORD CloneTreeReporting(const WCHAR* sourcePath, const WCHAR* destPath, DWORD& fileCounter,
                         unsigned char quiet, LinkKind kind, unsigned char usePrefix,
                         FailureReceiver& receiver) {
  WCHAR source[CloneBufferChars];
  WCHAR destination[CloneBufferChars];
  DWORD code = ResolveRoots(sourcePath, destPath, usePrefix, source, destination);
  if (code != 0) {
    return code;
  }
  // Holds each failure only on its way to the receiver.
  FailureList passing;
  return CloneDirectory(source, destination, fileCounter, quiet, kind,
                        usePrefix ? ClonePrefixChars : 0, passing, NULL, &receiver);
}
