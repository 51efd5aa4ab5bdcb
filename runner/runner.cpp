// The entry point: runs a command file of link operations line by line and
// ends the process with the result of the last line that ran.
#include "clone/clone.h"
#include "links/links.h"
#include "platform/last_error.h"
#include "platform/probe.h"
#include "runner/results.h"
#include "runner/runner.h"

namespace {

bool IsCommandLetter(WCHAR letter) {
  switch (letter) {
    case TEXT('c'):
    case TEXT('d'):
    case TEXT('f'):
    case TEXT('j'):
    case TEXT('k'):
    case TEXT('l'):
    case TEXT('m'):
    case TEXT('n'):
      return true;
    default:
      return false;
  }
}

DWORD RemoveDirectoryResult(LPCWSTR path) {
  return RemoveDirectoryW(path) ? ERROR_SUCCESS : LastFailure();
}

// The results file's records of one clone's failures, written as the clone
// makes them: a run killed part way still leaves every failure so far, and
// the runner keeps none of them in memory.
class FailureWriter : public FailureReceiver {
 public:
  FailureWriter(ResultsFile* results, ULONGLONG lineNumber)
      : results_(results), lineNumber_(lineNumber), written_(ERROR_SUCCESS) {}

  // A failure that cannot be written stops the clone: it would go on
  // changing the disk without a report of what failed.
  DWORD Take(const FailureRecord& failure) override {
    written_ = RecordFailed(results_, lineNumber_, TEXT('c'), failure);
    return written_;
  }
  // 0, or the error of the write that stopped the clone.
  DWORD Written() const { return written_; }

 private:
  ResultsFile* results_;
  ULONGLONG lineNumber_;
  DWORD written_;
};

DWORD RunCommand(const CommandLine& line, FailureReceiver& failures) {
  switch (line.letter) {
    case TEXT('c'): {
      // A fresh counter per line; nothing reads it afterwards.
      DWORD fileCounter = 0;
      return CloneTreeReporting(line.secondPath, line.firstPath, fileCounter, 1, LinkKindSymbolic,
                                1, failures);
    }
    case TEXT('d'):
      return MakeSymbolicLink(line.firstPath, line.secondPath, SYMBOLIC_LINK_FLAG_DIRECTORY) == 1
                 ? ERROR_SUCCESS
                 : LastFailure();
    case TEXT('f'):
      return MakeSymbolicLink(line.firstPath, line.secondPath, 0) == 1 ? ERROR_SUCCESS
                                                                        : LastFailure();
    case TEXT('j'):
      return MakeJunction(line.firstPath, line.secondPath);
    case TEXT('k'):
      return RemoveDirectoryResult(line.firstPath);
    case TEXT('l'):
      return RepointJunction(line.firstPath, line.secondPath);
    case TEXT('m'):
      return MountVolume(line.firstPath, line.secondPath);
    case TEXT('n'): {
      // The directory goes even when the unmount failed; the unmount's
      // failure is the one reported.
      DWORD unmounted = UnmountVolume(line.firstPath);
      DWORD removed = RemoveDirectoryResult(line.firstPath);
      return unmounted != ERROR_SUCCESS ? unmounted : removed;
    }
    default:
      return ERROR_INVALID_FUNCTION;
  }
}

// Reads the next piece of a line into line: the line up to and including its
// line feed, or its first LineChars - 1 units when it is longer. Returns 0
// with the piece (*delivered 0 when the file has no more), or the read's
// system error code (ERROR_READ_FAULT when the system gave none).
//
// fgetws stops at WEOF, which the C runtime returns for the end of the file,
// for a read error, and for the unit U+FFFF itself (its wint_t is 16 bits
// wide): feof and ferror tell them apart, and a U+FFFF goes back into the
// piece, so that it is an ordinary unit of a path or a comment. Each read's
// buffer is filled with a nonzero mark first, so the terminator fgetws
// writes is the last zero in it: that gives the delivered count exactly,
// zero units in the text included.
DWORD ReadPiece(FILE* stream, LPWSTR line, DWORD* delivered, bool* endsLine) {
  DWORD have = 0;
  for (;;) {
    const DWORD room = LineChars - have;
    if (room < 2) {
      *endsLine = false;
      break;
    }
    for (DWORD i = have; i < LineChars; ++i) {
      line[i] = 0xFFFF;
    }
    // A read error may come without a code of its own.
    SetLastError(ERROR_SUCCESS);
    if (fgetws(line + have, static_cast<int>(room), stream) != NULL) {
      DWORD end = LineChars - 1;
      while (end > have && line[end] != 0) {
        --end;
      }
      const DWORD count = end - have;
      have = end;
      if (line[have - 1] == TEXT('\n')) {
        *endsLine = true;
        break;
      }
      if (count == room - 1) {
        *endsLine = false;
        break;
      }
    }
    if (ferror(stream)) {
      return LastErrorOr(ERROR_READ_FAULT);
    }
    if (feof(stream)) {
      *endsLine = true;
      break;
    }
    line[have++] = 0xFFFF;
  }
  *delivered = have;
  return ERROR_SUCCESS;
}

}  // namespace

int wmain(int argc, WCHAR** argv) {
  DWORD result = 1;
  ProbeCapabilities();
  if (argc != 2 && argc != 3) {
    return -1;
  }
  // Nobody may write to the command file while it is read: a results file
  // that is the command file under another name is refused (32) before it
  // could empty it, and so is any other writer for the whole run.
  FILE* commands = _wfsopen(argv[1], TEXT("rb"), _SH_DENYWR);
  if (commands == NULL) {
    ExitProcess(1);
  }
  // A caller who asked for a report never gets a change it is not told of:
  // without the file nothing runs.
  ResultsFile results;
  if (argc == 3) {
    DWORD created = CreateResults(argv[2], &results);
    if (created != ERROR_SUCCESS) {
      fclose(commands);
      ExitProcess(created);
    }
  }

  WCHAR line[LineChars];
  bool continuation = false;
  DWORD delivered = 0;
  bool endsLine = true;
  ULONGLONG lineNumber = 0;
  DWORD reported = ERROR_SUCCESS;
  // The end-of-file indicator is tested before each read, so a last line
  // without a line feed ends the loop without one more read. A record that
  // cannot be written stops the run before the next line.
  while (reported == ERROR_SUCCESS && !feof(commands)) {
    DWORD read = ReadPiece(commands, line, &delivered, &endsLine);
    if (read == ERROR_SUCCESS && delivered == 0) {
      break;
    }
    if (read != ERROR_SUCCESS) {
      // What was read of the line may be cut anywhere, inside a path too:
      // it does not run, and neither does anything after it.
      result = read;
      break;
    }
    // The rest of an over-long line is never parsed: text inside a long path
    // or comment must not run as a command of its own.
    if (continuation) {
      continuation = !endsLine;
      continue;
    }
    continuation = !endsLine;
    ++lineNumber;
    CommandLine parsed;
    int complete = ParseCommandLine(line, delivered, &parsed);
    if (!IsCommandLetter(parsed.letter)) {
      reported = RecordIgnored(&results, lineNumber, delivered >= 2, parsed.letter);
      continue;
    }
    if (!complete) {
      result = ERROR_INVALID_DATA;
      reported = RecordMalformed(&results, lineNumber, parsed.letter);
      continue;
    }
    FailureWriter failures(&results, lineNumber);
    // A call that fails without setting a last error (a stub) must not
    // report the code an earlier line left behind.
    SetLastError(ERROR_SUCCESS);
    result = RunCommand(parsed, failures);
    reported = failures.Written();
    if (reported == ERROR_SUCCESS) {
      reported = RecordRan(&results, lineNumber, parsed.letter, result);
    }
  }

  fclose(commands);
  if (reported == ERROR_SUCCESS) {
    reported = RecordEnd(&results, result);
  }
  CloseResults(&results);
  ExitProcess(reported != ERROR_SUCCESS ? reported : result);
}
