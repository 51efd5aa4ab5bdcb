// The results file's records: UTF-16LE with a byte-order mark, one record a
// line ending in CR LF, fields separated by tabs.
#include "runner/results.h"

#include "platform/last_error.h"

namespace {

const WCHAR Separator = TEXT('\t');
const WCHAR EscapeMark = TEXT('%');

bool IsHighSurrogate(WCHAR unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(WCHAR unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Units that would end or split a record for a common line reader (the C0
// controls, NEL, and the line and paragraph separators that .NET and Python
// also break lines at), U+FFFF, which a reader through the C runtime's wide
// functions takes for the end of the file, the escape mark itself, and a
// surrogate without its partner, which no UTF-16 decoder keeps.
bool NeedsEscape(WCHAR unit) {
  return unit < 0x20 || unit == EscapeMark || unit == 0x85 || unit == 0x2028 || unit == 0x2029 ||
         unit == 0xFFFF;
}

// "%XXXX": the unit in four upper-case hexadecimal digits.
void AppendEscaped(std::basic_string<WCHAR>& out, WCHAR unit) {
  const WCHAR* digits = TEXT("0123456789ABCDEF");
  out += EscapeMark;
  for (int shift = 12; shift >= 0; shift -= 4) {
    out += digits[(unit >> shift) & 0xF];
  }
}

// One unit on its own: a surrogate here has no partner.
void AppendUnit(std::basic_string<WCHAR>& out, WCHAR unit) {
  if (NeedsEscape(unit) || IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
    AppendEscaped(out, unit);
  } else {
    out += unit;
  }
}

// Text as it can be restored exactly: escaped where needed, a surrogate pair
// kept as it is.
void AppendText(std::basic_string<WCHAR>& out, const std::basic_string<WCHAR>& text) {
  const size_t length = text.size();
  for (size_t i = 0; i < length; ++i) {
    if (IsHighSurrogate(text[i]) && i + 1 < length && IsLowSurrogate(text[i + 1])) {
      out += text[i];
      out += text[++i];
    } else {
      AppendUnit(out, text[i]);
    }
  }
}

void AppendNumber(std::basic_string<WCHAR>& out, ULONGLONG value) {
  WCHAR digits[24];
  size_t count = 0;
  do {
    digits[count++] = static_cast<WCHAR>(TEXT('0') + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) {
    out += digits[--count];
  }
}

// "N<TAB>L<TAB>": the letter field is empty for a line too short to have one.
void StartRecord(ResultsFile* results, ULONGLONG lineNumber, bool hasLetter, WCHAR letter) {
  results->record.clear();
  AppendNumber(results->record, lineNumber);
  results->record += Separator;
  if (hasLetter) {
    AppendUnit(results->record, letter);
  }
  results->record += Separator;
}

// Ends the record and writes it in one call where the system takes it whole;
// a device that takes part of it is given the rest.
DWORD WriteRecord(ResultsFile* results) {
  results->record += TEXT('\r');
  results->record += TEXT('\n');
  const BYTE* data = reinterpret_cast<const BYTE*>(results->record.data());
  DWORD remaining = static_cast<DWORD>(results->record.size() * sizeof(WCHAR));
  while (remaining > 0) {
    DWORD written = 0;
    if (!WriteFile(results->handle, data, remaining, &written, NULL)) {
      return LastFailure();
    }
    if (written == 0 || written > remaining) {
      return ERROR_WRITE_FAULT;
    }
    data += written;
    remaining -= written;
  }
  return ERROR_SUCCESS;
}

bool Wanted(const ResultsFile* results) { return results->handle != INVALID_HANDLE_VALUE; }

}  // namespace

DWORD CreateResults(LPCWSTR path, ResultsFile* results) {
  // Shared for reading so that a caller can watch the records arrive.
  results->handle = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, NULL);
  if (results->handle == INVALID_HANDLE_VALUE) {
    // A failure without an error code must not read as a created file.
    return LastFailure();
  }
  results->record.assign(1, static_cast<WCHAR>(0xFEFF));
  results->record += ResultsFormatRecord;
  DWORD written = WriteRecord(results);
  if (written != ERROR_SUCCESS) {
    CloseResults(results);
  }
  return written;
}

DWORD RecordIgnored(ResultsFile* results, ULONGLONG lineNumber, bool hasLetter, WCHAR letter) {
  if (!Wanted(results)) {
    return ERROR_SUCCESS;
  }
  StartRecord(results, lineNumber, hasLetter, letter);
  results->record += TEXT("ignored");
  return WriteRecord(results);
}

DWORD RecordMalformed(ResultsFile* results, ULONGLONG lineNumber, WCHAR letter) {
  if (!Wanted(results)) {
    return ERROR_SUCCESS;
  }
  StartRecord(results, lineNumber, true, letter);
  results->record += TEXT("malformed");
  results->record += Separator;
  AppendNumber(results->record, ERROR_INVALID_DATA);
  return WriteRecord(results);
}

DWORD RecordFailed(ResultsFile* results, ULONGLONG lineNumber, WCHAR letter,
                   const FailureRecord& failure) {
  if (!Wanted(results)) {
    return ERROR_SUCCESS;
  }
  StartRecord(results, lineNumber, true, letter);
  results->record += TEXT("failed");
  results->record += Separator;
  AppendNumber(results->record, failure.errorCode);
  results->record += Separator;
  AppendText(results->record, failure.path);
  return WriteRecord(results);
}

DWORD RecordRan(ResultsFile* results, ULONGLONG lineNumber, WCHAR letter, DWORD code) {
  if (!Wanted(results)) {
    return ERROR_SUCCESS;
  }
  StartRecord(results, lineNumber, true, letter);
  results->record += TEXT("ran");
  results->record += Separator;
  AppendNumber(results->record, code);
  return WriteRecord(results);
}

DWORD RecordEnd(ResultsFile* results, DWORD exitCode) {
  if (!Wanted(results)) {
    return ERROR_SUCCESS;
  }
  results->record.assign(TEXT("end"));
  results->record += Separator;
  AppendNumber(results->record, exitCode);
  return WriteRecord(results);
}

void CloseResults(ResultsFile* results) {
  if (Wanted(results)) {
    CloseHandle(results->handle);
    results->handle = INVALID_HANDLE_VALUE;
  }
}
