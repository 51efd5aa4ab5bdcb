// The results file: one record per line of the command file, each written
// through to the file before the next line runs.
#pragma once

#include <string>

#include "clone/clone.h"
#include "platform/platform.h"

// Written first, after the byte-order mark: names the format and its
// version, so that a reader can refuse a file it does not understand.
const WCHAR ResultsFormatRecord[] = TEXT("linkbatch-results\t1");

struct ResultsFile {
  HANDLE handle = INVALID_HANDLE_VALUE;  // none: no results file was asked for
  std::basic_string<WCHAR> record;       // reused for every record
};

// Creates the file (replacing one of that name) and writes the byte-order
// mark and the format record. Returns 0, or the system error code of the
// failed call; on failure nothing is left open.
DWORD CreateResults(LPCWSTR path, ResultsFile* results);

// Each writes one line's record (and, for RecordRan, one record per clone
// failure after it) and returns 0 or the error of the failed write. Without
// a results file they write nothing and return 0. A line's number counts
// lines, not read pieces, from 1.
// hasLetter: the line was long enough to have a letter at position 1.
DWORD RecordIgnored(ResultsFile* results, ULONGLONG lineNumber, bool hasLetter, WCHAR letter);
DWORD RecordMalformed(ResultsFile* results, ULONGLONG lineNumber, WCHAR letter);
DWORD RecordRan(ResultsFile* results, ULONGLONG lineNumber, WCHAR letter, DWORD code,
                const FailureList& failures);

void CloseResults(ResultsFile* results);
