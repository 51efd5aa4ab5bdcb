// The results file: one record per line of the command file, each written
// through to the file before the next line runs; a clone's failures as the
// clone makes them; and an end record once the run is over.
#pragma once

#include <string>

#include "clone/clone.h"
#include "platform/platform.h"

// Written first, after the byte-order mark: names the format and its
// version, so that a reader can refuse a file it does not understand.
const WCHAR ResultsFormatRecord[] = TEXT("linkbatch-results\t2");

struct ResultsFile {
  HANDLE handle = INVALID_HANDLE_VALUE;  // none: no results file was asked for
  std::basic_string<WCHAR> record;       // reused for every record
};

// Creates the file (replacing one of that name) and writes the byte-order
// mark and the format record. Returns 0, or the system error code of the
// failed call; on failure nothing is left open.
DWORD CreateResults(LPCWSTR path, ResultsFile* results);

// Each writes one record and returns 0 or the error of the failed write.
// Without a results file they write nothing and return 0. A line's number
// counts lines, not read pieces, from 1.
// hasLetter: the line was long enough to have a letter at position 1.
DWORD RecordIgnored(ResultsFile* results, ULONGLONG lineNumber, bool hasLetter, WCHAR letter);
DWORD RecordMalformed(ResultsFile* results, ULONGLONG lineNumber, WCHAR letter);
// One failure of the clone line lineNumber, written while the clone goes on;
// the line's RecordRan follows its failures.
DWORD RecordFailed(ResultsFile* results, ULONGLONG lineNumber, WCHAR letter,
                   const FailureRecord& failure);
DWORD RecordRan(ResultsFile* results, ULONGLONG lineNumber, WCHAR letter, DWORD code);
// The last record of a run that reached its end: the exit code. A run cut
// off before it (killed, or stopped by a failed write) has none.
DWORD RecordEnd(ResultsFile* results, DWORD exitCode);

void CloseResults(ResultsFile* results);
