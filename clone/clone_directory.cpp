// One level of the tree clone, and through recursion everything below it.
//
// Both paths are built in the caller's two buffers: a level appends "\" and an
// entry name and cuts the buffer back by writing a terminator at the length it
// noted. Nothing is allocated per entry except failure records.
#include "clone/clone.h"
#include "links/links.h"
#include "platform/handle.h"
#include "platform/last_error.h"

#if defined(_MSC_VER)
#  define CLONE_NOINLINE __declspec(noinline)
#else
#  define CLONE_NOINLINE __attribute__((noinline))
#endif

namespace {

const WCHAR SearchPattern[] = TEXT("\\*.*");
const DWORD PatternChars = 4;
const WCHAR UncLead[] = TEXT("\\\\");

// State of one walk, shared by every level. The find data lives here and not
// in each level: a level needs an entry's data only until it recurses or
// fetches the next one, and WIN32_FIND_DATAW is 592 bytes. With it out of the
// recursive frame the deepest tree the buffers allow (one-character names
// nest about 4,000 deep) fits a 1 MiB thread stack.
struct CloneWalk {
  WCHAR* source;
  WCHAR* destination;
  DWORD* fileCounter;
  FailureList* failureList;
  FailureReceiver* failureReceiver;  // null: failures stay in failureList
  ProgressSink* progressSink;
  DWORD displayOffset;
  // Most characters a buffer may hold before its terminator.
  DWORD limit;
  unsigned char quiet;
  LinkKind kind;
  WIN32_FIND_DATAW found;
};

// What making the destination directory of a subdirectory entry gave: the
// lengths of both buffers with the name appended when it was made (0 when
// not), otherwise what the level's result takes (0 for a directory that
// already exists).
struct MadeDirectory {
  DWORD sourceLength;
  DWORD destinationLength;
  DWORD result;
};

// One directory on the walk's current path, from the root down: where its
// source path ends in the source buffer and, once read, the volume serial
// number and file index of the directory that path leads to. A level reads
// them only when a reparse point below it has to be compared with it.
struct WalkLevel {
  WalkLevel* parent;
  DWORD sourceLength;
  unsigned char state;  // LevelUnread, LevelKnown or LevelUnknown
  DWORD volumeSerial;
  DWORD indexHigh;
  DWORD indexLow;
};

const unsigned char LevelUnread = 0;
const unsigned char LevelKnown = 1;
const unsigned char LevelUnknown = 2;

// Length of s, or max + 1 when no terminator comes within max characters.
DWORD BoundedLength(const WCHAR* s, DWORD max) {
  DWORD n = 0;
  while (n <= max && s[n] != 0) {
    ++n;
  }
  return n;
}

// 1 when a name appended to the path needs a separator before it, 0 when
// the path ends in one already: a drive root ("\\?\D:\") or a root given
// with a trailing backslash. A doubled separator is an empty name, which
// Windows refuses once the long-path prefix has turned normalisation off.
DWORD SeparatorChars(const WCHAR* buffer, DWORD length) {
  return length > 0 && buffer[length - 1] == TEXT('\\') ? 0 : 1;
}

// Length of the path once a name of nameChars characters is appended.
DWORD Extended(const WCHAR* buffer, DWORD length, DWORD nameChars) {
  return length + SeparatorChars(buffer, length) + nameChars;
}

void Append(WCHAR* buffer, DWORD at, const WCHAR* text, DWORD chars) {
  if (SeparatorChars(buffer, at) != 0) {
    buffer[at++] = TEXT('\\');
  }
  for (DWORD i = 0; i < chars; ++i) {
    buffer[at + i] = text[i];
  }
  buffer[at + chars] = 0;
}

// The form of a path the user sees: the buffer from displayOffset, except
// that the long-path form of a server share ("\\?\UNC\srv\share\...")
// reads "\\srv\share\...". *lead receives what goes before the returned
// text.
const WCHAR* Shown(const CloneWalk& w, const WCHAR* buffer, const WCHAR** lead) {
  *lead = TEXT("");
  if (w.displayOffset == ClonePrefixChars && (buffer[4] | 0x20) == TEXT('u') &&
      (buffer[5] | 0x20) == TEXT('n') && (buffer[6] | 0x20) == TEXT('c') &&
      buffer[7] == TEXT('\\')) {
    *lead = UncLead;
    return buffer + CloneUncPrefixChars;
  }
  return buffer + w.displayOffset;
}

// A verbose line: head and the shown form of a path.
void PrintShown(const CloneWalk& w, const WCHAR* head, const WCHAR* buffer) {
  const WCHAR* lead = NULL;
  const WCHAR* rest = Shown(w, buffer, &lead);
  PrintLine(head, lead, rest);
}

bool IsDotEntry(const WCHAR* name) {
  return name[0] == TEXT('.') && (name[1] == 0 || (name[1] == TEXT('.') && name[2] == 0));
}

// Hands the record just stored to the walk's receiver, if it has one, and
// drops it from the list. True when the receiver stops the clone.
CLONE_NOINLINE bool Handed(CloneWalk& w) {
  if (w.failureReceiver == NULL || w.failureList->empty()) {
    return false;
  }
  DWORD taken = w.failureReceiver->Take(w.failureList->back());
  w.failureList->pop_back();
  return taken != ERROR_SUCCESS;
}

// Each Record function stores a failure and returns whether the clone must
// stop (Handed). A failure that cannot be stored (out of memory) still sets
// the result; the record is the only thing lost.
CLONE_NOINLINE bool Record(CloneWalk& w, const WCHAR* path, DWORD code) {
  try {
    w.failureList->emplace_back(path, code);
  } catch (...) {
  }
  return Handed(w);
}

// A record of a destination path, in the form the user sees.
CLONE_NOINLINE bool RecordShown(CloneWalk& w, const WCHAR* buffer, DWORD code) {
  const WCHAR* lead = NULL;
  const WCHAR* rest = Shown(w, buffer, &lead);
  try {
    w.failureList->emplace_back(rest, code);
    w.failureList->back().path.insert(0, lead);
  } catch (...) {
  }
  return Handed(w);
}

// An entry whose name does not fit behind the path in a buffer: the record
// holds the destination path the entry would have had.
CLONE_NOINLINE bool RecordTooLong(CloneWalk& w, DWORD nameLength, bool isDirectory) {
  try {
    w.failureList->emplace_back(TEXT(""), ERROR_FILENAME_EXCED_RANGE);
    FailureRecord& record = w.failureList->back();
    const WCHAR* lead = NULL;
    const WCHAR* parent = Shown(w, w.destination, &lead);
    DWORD parentLength = BoundedLength(parent, w.limit);
    record.path.reserve(2 + parentLength + 1 + nameLength);
    record.path.append(lead);
    record.path.append(parent, parentLength);
    if (SeparatorChars(parent, parentLength) != 0) {
      record.path.push_back(TEXT('\\'));
    }
    record.path.append(w.found.cFileName, nameLength);
    if (!w.quiet && isDirectory) {
      PrintLine(TEXT("ERROR: Failed to create directory "), NULL, record.path.c_str());
    }
  } catch (...) {
  }
  return Handed(w);
}

// A source level that cannot be listed. A junction to a drive path (a volume
// that is not there, say) is passed over without a trace, unless the path
// itself crossed more reparse points than Windows follows in one path
// (ERROR_CANT_RESOLVE_FILENAME): that is a junction cycle, and it is recorded.
CLONE_NOINLINE DWORD ListingFailed(CloneWalk& w, DWORD code, bool mayBeJunction) {
  if (mayBeJunction && code != ERROR_CANT_RESOLVE_FILENAME && IsDriveJunction(w.source, NULL)) {
    return 0;
  }
  bool stop = Record(w, w.source, code);
  if (!w.quiet) {
    PrintShown(w, TEXT("ERROR: Failed to enumerate files in "), w.source);
  }
  return stop ? ERROR_REQUEST_ABORTED : code;
}

// Reads the identity of the directory `path` leads to, following every
// reparse point on the way. False when it cannot be opened or read.
CLONE_NOINLINE bool ReadIdentity(const WCHAR* path, WalkLevel& level) {
  BY_HANDLE_FILE_INFORMATION info;
  {
    OwnedHandle directory(CreateFileW(path, FILE_READ_ATTRIBUTES,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL));
    if (!directory.valid() || !GetFileInformationByHandle(directory.get(), &info)) {
      return false;
    }
  }
  level.volumeSerial = info.dwVolumeSerialNumber;
  level.indexHigh = info.nFileIndexHigh;
  level.indexLow = info.nFileIndexLow;
  return true;
}

// The identity of a level on the current path, read once and kept. The
// source buffer is cut at the level's length for the read and restored.
CLONE_NOINLINE bool LevelIdentity(CloneWalk& w, WalkLevel& level) {
  if (level.state == LevelUnread) {
    WCHAR cut = w.source[level.sourceLength];
    w.source[level.sourceLength] = 0;
    level.state = ReadIdentity(w.source, level) ? LevelKnown : LevelUnknown;
    w.source[level.sourceLength] = cut;
  }
  return level.state == LevelKnown;
}

// The subdirectory now at the end of the source buffer is a reparse point
// (a junction, a directory symbolic link or a mount point). True when it
// leads back to a directory already on the current path: entering it would
// mirror the same directories again, deeper at every turn, and two such
// links on one level double the walk at every turn. A directory whose
// identity cannot be read is not taken for a cycle; its listing decides.
CLONE_NOINLINE bool LeadsBackUp(CloneWalk& w, WalkLevel& current) {
  WalkLevel target = {NULL, 0, LevelUnread, 0, 0, 0};
  if (!ReadIdentity(w.source, target)) {
    return false;
  }
  for (WalkLevel* level = &current; level != NULL; level = level->parent) {
    if (LevelIdentity(w, *level) && level->volumeSerial == target.volumeSerial &&
        level->indexHigh == target.indexHigh && level->indexLow == target.indexLow) {
      return true;
    }
  }
  return false;
}

// Starts the listing of the level whose source path ends at srcLen. Returns
// 0 with *find set, or the code FindFirstFileW left, taken before anything
// else is called.
CLONE_NOINLINE DWORD StartListing(CloneWalk& w, DWORD srcLen, HANDLE* find) {
  const WCHAR* pattern = SearchPattern + (1 - SeparatorChars(w.source, srcLen));
  for (DWORD i = 0; pattern[i] != 0; ++i) {
    w.source[srcLen + i] = pattern[i];
    w.source[srcLen + i + 1] = 0;
  }
  *find = FindFirstFileW(w.source, &w.found);
  DWORD code = *find == INVALID_HANDLE_VALUE ? LastFailure() : ERROR_SUCCESS;
  w.source[srcLen] = 0;
  return code;
}

// Links one file. Returns the value the level's result takes: 0 for none,
// the link's error code, or ERROR_REQUEST_ABORTED when the file's progress
// post reported cancellation, which outlives a failure of the same file.
CLONE_NOINLINE DWORD CloneFile(CloneWalk& w, DWORD srcLen, DWORD dstLen) {
  const DWORD nameLength = BoundedLength(w.found.cFileName, MAX_PATH - 1);
  if (Extended(w.destination, dstLen, nameLength) > w.limit ||
      Extended(w.source, srcLen, nameLength) > w.limit) {
    return RecordTooLong(w, nameLength, false) ? ERROR_REQUEST_ABORTED : ERROR_FILENAME_EXCED_RANGE;
  }
  Append(w.source, srcLen, w.found.cFileName, nameLength);
  Append(w.destination, dstLen, w.found.cFileName, nameLength);

  int linked;
  if (w.kind != LinkKindHard) {
    linked = MakeSymbolicLink(w.destination, w.source, 0);
  } else {
    linked = MakeHardLink(w.source, w.destination);
  }
  DWORD code = linked ? 0 : LastFailure();

  bool cancelled = false;
  if (w.progressSink != NULL) {
    cancelled = w.progressSink->PostProgress(w.source) == ERROR_REQUEST_ABORTED;
  }

  DWORD set = 0;
  if (linked) {
    if (!w.quiet) {
      PrintShown(w, NULL, w.source);
    }
    ++*w.fileCounter;
  } else {
    if (!w.quiet) {
      if (code == ERROR_ACCESS_DENIED) {
        PrintShown(w, TEXT("ERROR: Failed to create hardlink "), w.destination);
      } else if (code == ERROR_ALREADY_EXISTS) {
        PrintShown(w, TEXT("ERROR: Couldn't create already existing "), w.destination);
      }
    }
    // A failure the receiver cannot take stops the clone as a cancellation does.
    if (RecordShown(w, w.destination, code)) {
      cancelled = true;
    }
    // A quiet clone (the c command's) keeps a file that already exists out
    // of its result: re-running a clone over its own mirror ends with 0,
    // while a real failure is never hidden behind a later 183.
    set = (w.quiet && code == ERROR_ALREADY_EXISTS) ? 0 : code;
  }
  if (cancelled) {
    set = ERROR_REQUEST_ABORTED;
  }
  w.source[srcLen] = 0;
  w.destination[dstLen] = 0;
  return set;
}

// Makes the destination directory for the current entry. When it was made,
// both buffers are extended by the name; otherwise the result says what the
// level's result takes: nothing for a directory that already exists
// (skipped with its subtree, silently), else the recorded code. The
// subdirectory's own listing needs room for the search pattern behind its
// source path, so that is checked here too.
CLONE_NOINLINE MadeDirectory MakeDestinationDirectory(CloneWalk& w, DWORD srcLen, DWORD dstLen) {
  MadeDirectory made = {0, 0, 0};
  const DWORD nameLength = BoundedLength(w.found.cFileName, MAX_PATH - 1);
  const DWORD sourceLength = Extended(w.source, srcLen, nameLength);
  const DWORD destinationLength = Extended(w.destination, dstLen, nameLength);
  if (destinationLength > w.limit || sourceLength + PatternChars > w.limit) {
    made.result =
        RecordTooLong(w, nameLength, true) ? ERROR_REQUEST_ABORTED : ERROR_FILENAME_EXCED_RANGE;
    return made;
  }
  Append(w.destination, dstLen, w.found.cFileName, nameLength);
  if (!CreateDirectoryW(w.destination, NULL)) {
    DWORD code = LastFailure();
    if (code != ERROR_ALREADY_EXISTS) {
      bool stop = RecordShown(w, w.destination, code);
      if (!w.quiet) {
        PrintShown(w, TEXT("ERROR: Failed to create directory "), w.destination);
      }
      made.result = stop ? ERROR_REQUEST_ABORTED : code;
    }
    w.destination[dstLen] = 0;
    return made;
  }
  Append(w.source, srcLen, w.found.cFileName, nameLength);
  made.sourceLength = sourceLength;
  made.destinationLength = destinationLength;
  return made;
}

// The recursive part. Its frame holds only a handle and a few counts; the
// work per entry happens in the helpers above, whose frames come and go.
CLONE_NOINLINE DWORD CloneLevel(CloneWalk& w, DWORD srcLen, DWORD dstLen, WalkLevel* parent) {
  if (srcLen + PatternChars > w.limit) {
    return ListingFailed(w, ERROR_FILENAME_EXCED_RANGE, false);
  }
  HANDLE first = INVALID_HANDLE_VALUE;
  DWORD code = StartListing(w, srcLen, &first);
  if (code != ERROR_SUCCESS) {
    return ListingFailed(w, code, true);
  }
  WalkLevel self = {parent, srcLen, LevelUnread, 0, 0, 0};
  DWORD result = 0;
  DWORD listingEnd = ERROR_NO_MORE_FILES;
  {
    OwnedFind find(first);
    for (;;) {
      DWORD set = 0;
      if ((w.found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        set = CloneFile(w, srcLen, dstLen);
      } else if (!IsDotEntry(w.found.cFileName)) {
        MadeDirectory made = MakeDestinationDirectory(w, srcLen, dstLen);
        if (made.sourceLength != 0) {
          // A link back up the path is recorded as a level that cannot be
          // listed, with the code Windows gives a path that crosses too many
          // reparse points; its directory stays empty.
          if ((w.found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && LeadsBackUp(w, self)) {
            set = ListingFailed(w, ERROR_CANT_RESOLVE_FILENAME, false);
          } else {
            set = CloneLevel(w, made.sourceLength, made.destinationLength, &self);
          }
          w.source[srcLen] = 0;
          w.destination[dstLen] = 0;
        } else {
          set = made.result;
        }
      }
      if (set != 0) {
        result = set;
      }
      if (result == ERROR_REQUEST_ABORTED) {
        break;
      }
      if (!FindNextFileW(find.get(), &w.found)) {
        listingEnd = LastFailure();
        break;
      }
    }
  }
  // A listing that breaks off early leaves the rest of the level unseen: that
  // is a failure of the level, not its end.
  if (listingEnd != ERROR_NO_MORE_FILES) {
    result = ListingFailed(w, listingEnd, false);
  } else {
    // The end leaves ERROR_NO_MORE_FILES as the last error. Cleared, so that
    // a FindNextFileW of the enclosing level that fails without setting an
    // error is not taken for that level's end.
    SetLastError(ERROR_SUCCESS);
  }
  return result;
}

}  // namespace

DWORD CloneDirectory(LPWSTR source, LPWSTR destination, DWORD& fileCounter, unsigned char quiet,
                     LinkKind kind, DWORD displayOffset, FailureList& failureList,
                     ProgressSink* progressSink, FailureReceiver* failureReceiver) {
  if (source == NULL || destination == NULL || displayOffset > ClonePrefixChars) {
    return ERROR_INVALID_PARAMETER;
  }
  CloneWalk w;
  w.source = source;
  w.destination = destination;
  w.fileCounter = &fileCounter;
  w.failureList = &failureList;
  w.failureReceiver = failureReceiver;
  w.progressSink = progressSink;
  w.displayOffset = displayOffset;
  w.limit = displayOffset + ClonePathChars - 1;
  w.quiet = quiet;
  w.kind = kind;
  DWORD srcLen = BoundedLength(source, w.limit);
  DWORD dstLen = BoundedLength(destination, w.limit);
  if (srcLen > w.limit || dstLen > w.limit || srcLen < displayOffset || dstLen < displayOffset) {
    return ERROR_INVALID_PARAMETER;
  }
  // The caller's own listing may have left ERROR_NO_MORE_FILES behind.
  SetLastError(ERROR_SUCCESS);
  return CloneLevel(w, srcLen, dstLen, NULL);
}
