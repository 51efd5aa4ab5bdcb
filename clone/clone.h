// The tree clone: mirrors a source directory tree into an existing
// destination directory as real directories whose files are links to the
// source files, collecting failures instead of stopping.
#pragma once

#include <string>
#include <vector>

#include "platform/ntfs_records.h"
#include "platform/platform.h"

// Non-zero: file symbolic links; zero: hard links.
typedef unsigned char LinkKind;
const LinkKind LinkKindHard = 0;
const LinkKind LinkKindSymbolic = 1;

// Path buffers hold 8192 characters after the four of the "\\?\" prefix.
const DWORD ClonePathChars = FullPathChars;
const DWORD ClonePrefixChars = 4;
// "\\?\UNC\", the long-path form's prefix of a server share.
const DWORD CloneUncPrefixChars = 8;
const DWORD CloneBufferChars = ClonePathChars + ClonePrefixChars;
const DWORD MailboxChars = 260;

// One path that failed, with its system error code.
class FailureRecord {
 public:
  FailureRecord(const WCHAR* failedPath, DWORD code) : path(failedPath), errorCode(code) {}
  FailureRecord(const FailureRecord&) = default;
  FailureRecord& operator=(const FailureRecord&) = default;
  // A growing list moves its records instead of copying every path again.
  FailureRecord(FailureRecord&&) noexcept = default;
  FailureRecord& operator=(FailureRecord&&) noexcept = default;
  virtual ~FailureRecord() = default;

  std::basic_string<WCHAR> path;
  DWORD errorCode;
};

typedef std::vector<FailureRecord> FailureList;

// Takes a clone's failures one at a time, as the walk makes them, in place of
// a FailureList, so that a clone reported this way keeps none of them. Take
// returns 0 to let the clone go on; any other code stops it after the
// current entry, as a cancellation does: a clone whose failures can no
// longer be reported changes nothing more.
class FailureReceiver {
 public:
  virtual DWORD Take(const FailureRecord& failure) = 0;

 protected:
  ~FailureReceiver() = default;
};

// Owned by the caller who watches a worker clone. The owner initialises and
// deletes `lock`, empties `mailbox` (first character zero) under `lock` after
// taking a path out, sets `cancelRequested` under `lock` to stop the clone,
// waits on and closes `workerThread`, and reads `workerResult`, the
// FailureList and the file counter only after the worker thread has ended.
struct ProgressSink {
  CRITICAL_SECTION lock;
  WCHAR mailbox[MailboxChars];  // a full mailbox carries no terminator
  unsigned char cancelRequested;
  HANDLE workerThread;
  DWORD workerResult;

  // 0 when posted, ERROR_REQUEST_ABORTED when cancellation was requested,
  // ERROR_REQUEST_REFUSED when the mailbox is still full.
  DWORD PostProgress(const WCHAR* path);
};

// What CloneTree hands its worker thread: the two absolute (possibly
// prefixed) paths in buffers of its own and the other arguments. Allocated by
// CloneTree, released by the worker when the clone is done.
struct CloneJob {
  WCHAR sourcePath[CloneBufferChars];
  WCHAR destPath[CloneBufferChars];
  DWORD& fileCounter;
  unsigned char quiet;
  LinkKind kind;
  DWORD displayOffset;
  FailureList& failureList;
  ProgressSink& progressSink;
};

// Clones one level and everything below it. source and destination are the
// two shared path buffers of CloneBufferChars characters each; they are
// extended and cut back, and left as they were found. displayOffset (0 or 4)
// is where printed and stored destination paths start. Returns the level's
// result: the last non-zero value set at the level. A subdirectory that is
// a reparse point leading back to a directory on the path being walked is
// made but not entered, and recorded with ERROR_CANT_RESOLVE_FILENAME.
// With a failureReceiver, each failure passes through failureList to it and
// is dropped from the list; a receiver that stops the clone makes the result
// ERROR_REQUEST_ABORTED.
DWORD CloneDirectory(LPWSTR source, LPWSTR destination, DWORD& fileCounter, unsigned char quiet,
                     LinkKind kind, DWORD displayOffset, FailureList& failureList,
                     ProgressSink* progressSink, FailureReceiver* failureReceiver = NULL);

// Writes head, lead and rest (any may be null) and a line end to standard
// output with every character intact: as wide text to a console, as UTF-8
// with CR LF to a file or pipe. The verbose clone prints its lines with it;
// an embedding caller may print paths the same way.
void PrintLine(const WCHAR* head, const WCHAR* lead, const WCHAR* rest);
// The same without the line end, for a caller that redraws one line.
void PrintText(const WCHAR* head, const WCHAR* lead, const WCHAR* rest, bool endLine);

// The worker thread's procedure; its parameter is the CloneJob.
DWORD WINAPI CloneWorker(LPVOID job);

// Without a sink: clones synchronously and returns 0, a system error code, or
// ERROR_REQUEST_ABORTED. With a sink: starts the worker and returns 1; the
// result arrives in progressSink->workerResult. When no thread can be
// started, workerThread is null and workerResult holds the reason.
// In either mode a root that cannot be made absolute, or whose absolute form
// does not fit its buffer (ERROR_FILENAME_EXCED_RANGE), is returned at once
// and nothing is cloned.
DWORD CloneTree(const WCHAR* sourcePath, const WCHAR* destPath, DWORD& fileCounter,
                unsigned char quiet, LinkKind kind, unsigned char usePrefix,
                FailureList& failureList, ProgressSink* progressSink);

// CloneTree without a sink, handing each failure to receiver as it happens
// instead of keeping it. Returns what CloneTree returns, or
// ERROR_REQUEST_ABORTED when the receiver stopped the clone.
DWORD CloneTreeReporting(const WCHAR* sourcePath, const WCHAR* destPath, DWORD& fileCounter,
                         unsigned char quiet, LinkKind kind, unsigned char usePrefix,
                         FailureReceiver& receiver);
