// The worker's side of the progress sink: one path offered per file, and a
// look at the cancel flag per directory.
#include "clone/clone.h"

DWORD ProgressSink::PostProgress(const WCHAR* path) {
  DWORD answer = 0;
  EnterCriticalSection(&lock);
  if (cancelRequested != 0) {
    answer = ERROR_REQUEST_ABORTED;
  } else if (mailbox[0] != 0) {
    // The owner has not taken the last path out yet; this one is dropped.
    answer = ERROR_REQUEST_REFUSED;
  } else {
    // A path of MailboxChars or more fills the mailbox with no terminator.
    DWORD i = 0;
    for (; i < MailboxChars && path[i] != 0; ++i) {
      mailbox[i] = path[i];
    }
    for (; i < MailboxChars; ++i) {
      mailbox[i] = 0;
    }
  }
  LeaveCriticalSection(&lock);
  return answer;
}

bool ProgressSink::Cancelled() {
  EnterCriticalSection(&lock);
  const bool cancelled = cancelRequested != 0;
  LeaveCriticalSection(&lock);
  return cancelled;
}
