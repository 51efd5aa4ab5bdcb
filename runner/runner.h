// The command runner's line handling, kept apart from wmain so that it can be
// exercised on its own.
#pragma once

#include "platform/platform.h"

// One line buffer: one read delivers at most LineChars - 1 characters and a
// terminator; a longer line arrives in pieces of that size.
const DWORD LineChars = 8192;

struct CommandLine {
  WCHAR letter;        // position 1, or 0 when the line is shorter than two
  LPWSTR firstPath;    // position 4 up to the first closing mark
  LPWSTR secondPath;   // three past the first closing mark up to the second
};

// Parses the delivered characters of line in place: both closing quotation
// marks are overwritten with terminators. Nothing at or past `delivered` is
// read or written. Returns 1 when both closing marks were found with no
// U+0000 in either path, else 0 (the letter is still set, the paths are null
// and the line is unchanged).
int ParseCommandLine(LPWSTR line, DWORD delivered, CommandLine* parsed);
