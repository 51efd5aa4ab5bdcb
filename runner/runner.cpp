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

// failures: empty, receives a clone's failure records for the results file.
DWORD RunCommand(const CommandLine& line, FailureList& failures) {
  switch (line.letter) {
    case TEXT('c'): {
      // A fresh counter per line; nothing reads it afterwards.
      DWORD fileCounter = 0;
      return CloneTree(line.secondPath, line.firstPath, fileCounter, 1, LinkKindSymbolic, 1,
                       failures, NULL);
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
    case TEXT('l'): {
      DWORD removed = RemoveDirectoryResult(line.firstPath);
      if (removed != ERROR_SUCCESS) {
        return removed;
      }
      return MakeJunction(line.firstPath, line.secondPath);
    }
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

// Reads one piece of at most LineChars - 1 characters. The buffer is filled
// with a nonzero mark first, so the terminator fgetws writes is the last zero
// in it: that gives the delivered count exactly, zero units in the text
// included. A piece that fills the buffer without ending in a line feed is
// followed by more of the same line.
bool ReadPiece(FILE* stream, LPWSTR line, DWORD* delivered, bool* endsLine) {
  for (DWORD i = 0; i < LineChars; ++i) {
    line[i] = 0xFFFF;
  }
  if (fgetws(line, static_cast<int>(LineChars), stream) == NULL) {
    return false;
  }
  DWORD end = LineChars - 1;
  while (end > 0 && line[end] != 0) {
    --end;
  }
  *delivered = end;
  *endsLine = end < LineChars - 1 || line[end - 1] == TEXT('\n');
  return true;
}

}  // namespace

int wmain(int argc, WCHAR** argv) {
  DWORD result = 1;
  ProbeCapabilities();
  if (argc != 2 && argc != 3) {
    return -1;
  }
  FILE* commands = _wfopen(argv[1], TEXT("rb"));
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
  while (reported == ERROR_SUCCESS && !feof(commands) &&
         ReadPiece(commands, line, &delivered, &endsLine)) {
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
    FailureList failures;
    // A call that fails without setting a last error (a stub) must not
    // report the code an earlier line left behind.
    SetLastError(ERROR_SUCCESS);
    result = RunCommand(parsed, failures);
    reported = RecordRan(&results, lineNumber, parsed.letter, result, failures);
  }

  fclose(commands);
  CloseResults(&results);
  ExitProcess(reported != ERROR_SUCCESS ? reported : result);
}
