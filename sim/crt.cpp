// The wide C runtime for WCHAR = char16_t, with the semantics of Microsoft's
// CRT where it differs from ISO C. Streams are host FILEs, so the host's
// feof, ferror and fclose keep working on them.
#include <errno.h>
#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "sim/host_files.h"
#include "sim/sim.h"

namespace {

// A misuse that Microsoft's CRT hands to the invalid parameter handler, whose
// default action ends the process: end the test run with the reason.
[[noreturn]] void InvalidParameter(const char* what) {
  fprintf(stderr, "wide CRT: invalid parameter: %s\n", what);
  fflush(stderr);
  abort();
}

// Whether each stream opened by _wfopen is in binary mode. Streams the CRT
// did not open (a test's own fopen) count as binary: the host has no text mode.
std::map<FILE*, bool>& StreamModes() {
  static std::map<FILE*, bool> modes;
  return modes;
}

// Microsoft CRT _dosmaperr: the errno that goes with a system error.
int ErrnoFor(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_CANT_ACCESS_FILE:
      return EACCES;
    case ERROR_INVALID_HANDLE:
      return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    default:
      return EINVAL;
  }
}

// Microsoft mode strings: one of r, w, a; then any of +, b, t, and the
// access hints c, n, S, R, T, D, N, x that do not change what is read.
// Returns false for a mode the CRT rejects.
bool ParseMode(const WCHAR* mode, std::string* hostMode, bool* binary) {
  if (mode[0] != u'r' && mode[0] != u'w' && mode[0] != u'a') return false;
  std::string m(1, static_cast<char>(mode[0]));
  bool plus = false, b = false, t = false;
  for (const WCHAR* p = mode + 1; *p; ++p) {
    switch (*p) {
      case u'+':
        if (plus) return false;
        plus = true;
        break;
      case u'b':
        if (b || t) return false;
        b = true;
        break;
      case u't':
        if (b || t) return false;
        t = true;
        break;
      case u'c': case u'n': case u'S': case u'R': case u'T': case u'D': case u'N': case u'x':
        break;
      case u' ':
        break;
      default:
        return false;
    }
  }
  if (plus) m += '+';
  m += 'b';
  *hostMode = m;
  // Without 'b' or 't' the CRT's default mode (_fmode) is text.
  *binary = b;
  return true;
}

}  // namespace

namespace sim {

static bool HostDirectoryExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// _wfopen fails through CreateFileW, which leaves its error as the thread's
// last error; this is the CreateFileW error for a host open failure.
DWORD HostOpenError(int err, const std::string& path) {
  switch (err) {
    case ENOENT: {
      // CreateFileW: a missing file is ERROR_FILE_NOT_FOUND, a missing
      // directory on the way ERROR_PATH_NOT_FOUND.
      size_t slash = path.find_last_of('/');
      std::string parent = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
      return HostDirectoryExists(parent) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    }
    case ENOTDIR:
      return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
      return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
      return ERROR_FILENAME_EXCED_RANGE;
    case EEXIST:
      return ERROR_FILE_EXISTS;
    case ENOMEM:
      return ERROR_NOT_ENOUGH_MEMORY;
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

}  // namespace sim

FILE* _wfopen(const WCHAR* path, const WCHAR* mode) {
  if (!path || !mode) InvalidParameter("_wfopen with a null path or mode");
  sim::CallScope call("_wfopen", sim::Q(path) + ", " + sim::Q(mode));
  DWORD e;
  if (call.Faulted(&e)) {
    errno = ErrnoFor(e);
    return call.FailAs<FILE*>(e, nullptr, "NULL");
  }
  std::string hostMode;
  bool binary = false;
  if (!ParseMode(mode, &hostMode, &binary)) InvalidParameter("_wfopen mode not understood");
  if (!*path) {
    // CreateFileW(""): ERROR_PATH_NOT_FOUND; the CRT maps it to ENOENT.
    sim::SetError(ERROR_PATH_NOT_FOUND);
    errno = ENOENT;
    call.result = "NULL";
    return nullptr;
  }
  std::string host = sim::U8(path);
  FILE* f = fopen(host.c_str(), hostMode.c_str());
  if (!f) {
    int err = errno;
    sim::SetError(sim::HostOpenError(err, host));
    errno = ErrnoFor(sim::PeekError());
    call.result = "NULL";
    return nullptr;
  }
  // CreateFileW on a directory without FILE_FLAG_BACKUP_SEMANTICS:
  // ERROR_ACCESS_DENIED, which the CRT reports as EACCES. The host opens it.
  struct stat st;
  if (fstat(fileno(f), &st) == 0 && S_ISDIR(st.st_mode)) {
    fclose(f);
    sim::SetError(ERROR_ACCESS_DENIED);
    errno = EACCES;
    call.result = "NULL";
    return nullptr;
  }
  StreamModes()[f] = binary;
  call.result = sim::Hex(reinterpret_cast<uintptr_t>(f));
  return f;
}

// fgetwc in binary mode: two bytes, little-endian, no translation. When fewer
// than two bytes remain it returns WEOF and the lone byte is lost.
static bool ReadUnit(FILE* stream, WCHAR* unit) {
  int lo = getc(stream);
  if (lo == EOF) return false;
  int hi = getc(stream);
  if (hi == EOF) return false;
  *unit = static_cast<WCHAR>(static_cast<unsigned>(lo) | (static_cast<unsigned>(hi) << 8));
  return true;
}

WCHAR* fgetws(WCHAR* buffer, int count, FILE* stream) {
  // The CRT validates before it locks the stream: a null buffer with a
  // nonzero count, a negative count or a null stream is an invalid parameter.
  if ((!buffer && count != 0) || count < 0 || !stream) {
    InvalidParameter("fgetws with a null buffer or stream, or a negative count");
  }
  sim::CallScope call("fgetws", sim::Hex(reinterpret_cast<uintptr_t>(stream)) + ", " + std::to_string(count));
  DWORD e;
  if (call.Faulted(&e)) {
    // A read error: ReadFile's error stays as the last error.
    errno = ErrnoFor(e);
    return call.FailAs<WCHAR*>(e, nullptr, "NULL");
  }
  if (count == 0) {
    call.result = "NULL";
    return nullptr;
  }
  {
    auto it = StreamModes().find(stream);
    if (it != StreamModes().end() && !it->second) {
      InvalidParameter("fgetws on a text-mode stream is not modelled; open it with \"rb\"");
    }
  }
  int n = 0;
  // At most count-1 units, then the terminator; a line feed ends the line and
  // is kept.
  while (n < count - 1) {
    WCHAR unit;
    if (!ReadUnit(stream, &unit)) break;
    buffer[n++] = unit;
    if (unit == u'\n') break;
  }
  if (n == 0 && count > 1) {
    // End of file or a read error before anything was read.
    call.result = "NULL";
    return nullptr;
  }
  buffer[n] = 0;
  call.result = std::to_string(n);
  return buffer;
}

// ------------------------------------------------------------ strings

size_t wcslen(const WCHAR* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

int wcscmp(const WCHAR* a, const WCHAR* b) {
  while (*a && *a == *b) {
    ++a;
    ++b;
  }
  // WCHAR is unsigned on Windows: U+FFFF sorts after U+0041.
  return *a < *b ? -1 : (*a > *b ? 1 : 0);
}

int wcsncmp(const WCHAR* a, const WCHAR* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    if (!a[i]) return 0;
  }
  return 0;
}

WCHAR* wcscpy(WCHAR* dst, const WCHAR* src) {
  size_t i = 0;
  do {
    dst[i] = src[i];
  } while (src[i++]);
  return dst;
}

WCHAR* wcsncpy(WCHAR* dst, const WCHAR* src, size_t n) {
  size_t i = 0;
  for (; i < n && src[i]; ++i) dst[i] = src[i];
  // The standard pads the rest with zeros and does not terminate a full copy.
  for (; i < n; ++i) dst[i] = 0;
  return dst;
}

WCHAR* wcscat(WCHAR* dst, const WCHAR* src) {
  wcscpy(dst + wcslen(dst), src);
  return dst;
}

const WCHAR* wcsstr(const WCHAR* haystack, const WCHAR* needle) {
  if (!*needle) return haystack;
  for (const WCHAR* h = haystack; *h; ++h) {
    size_t i = 0;
    while (needle[i] && h[i] == needle[i]) ++i;
    if (!needle[i]) return h;
  }
  return nullptr;
}

WCHAR* wcsstr(WCHAR* haystack, const WCHAR* needle) {
  return const_cast<WCHAR*>(wcsstr(static_cast<const WCHAR*>(haystack), needle));
}

const WCHAR* wcschr(const WCHAR* s, WCHAR c) {
  // The terminator is part of the string: searching for 0 finds it.
  for (;; ++s) {
    if (*s == c) return s;
    if (!*s) return nullptr;
  }
}

WCHAR* wcschr(WCHAR* s, WCHAR c) { return const_cast<WCHAR*>(wcschr(static_cast<const WCHAR*>(s), c)); }

// ------------------------------------------------------------ formatting
namespace {

void PadTo(std::u16string* out, const std::u16string& body, int width, bool left, char16_t fill) {
  int pad = width - static_cast<int>(body.size());
  if (pad <= 0) {
    *out += body;
  } else if (left) {
    *out += body;
    out->append(static_cast<size_t>(pad), u' ');
  } else if (fill == u'0' && !body.empty() && body[0] == u'-') {
    // Zero padding goes after the sign.
    *out += u'-';
    out->append(static_cast<size_t>(pad), u'0');
    out->append(body, 1, std::u16string::npos);
  } else {
    out->append(static_cast<size_t>(pad), fill);
    *out += body;
  }
}

std::u16string Digits(unsigned long long v, unsigned base, bool upper, int precision) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::u16string d;
  while (v) {
    d.insert(d.begin(), static_cast<char16_t>(set[v % base]));
    v /= base;
  }
  // A zero with precision 0 prints nothing; otherwise at least `precision`
  // digits (1 by default).
  int minDigits = precision < 0 ? 1 : precision;
  while (static_cast<int>(d.size()) < minDigits) d.insert(d.begin(), u'0');
  return d;
}

enum class Size { kInt, kLong, kLongLong };

// The formatting engine shared by swprintf and wprintf.
std::u16string Format(const WCHAR* fmt, va_list ap) {
  std::u16string out;
  for (const WCHAR* p = fmt; *p; ++p) {
    if (*p != u'%') {
      out += *p;
      continue;
    }
    ++p;
    bool left = false, zero = false;
    for (;; ++p) {
      if (*p == u'-') left = true;
      else if (*p == u'0') zero = true;
      else break;
    }
    int width = 0;
    if (*p == u'*') {
      width = va_arg(ap, int);
      if (width < 0) {
        left = true;
        width = -width;
      }
      ++p;
    } else {
      while (*p >= u'0' && *p <= u'9') width = width * 10 + (*p++ - u'0');
    }
    int precision = -1;
    if (*p == u'.') {
      ++p;
      precision = 0;
      if (*p == u'*') {
        precision = va_arg(ap, int);
        ++p;
      } else {
        while (*p >= u'0' && *p <= u'9') precision = precision * 10 + (*p++ - u'0');
      }
    }
    Size size = Size::kInt;
    if (p[0] == u'l' && p[1] == u'l') {
      size = Size::kLongLong;
      p += 2;
    } else if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
      size = Size::kLongLong;
      p += 3;
    } else if (*p == u'l') {
      size = Size::kLong;
      ++p;
    }
    const char16_t fill = (zero && !left) ? u'0' : u' ';
    switch (*p) {
      case u'%':
        out += u'%';
        break;
      case u's':
        if (size != Size::kLong) {
          // Microsoft's wide printf reads %s as a wide string, ISO C as a
          // narrow one: the two builds would print different things.
          fprintf(stderr, "wide CRT: a wide format uses %%s; write %%ls\n");
          fflush(stderr);
          abort();
        } else {
          const WCHAR* s = va_arg(ap, const WCHAR*);
          // Microsoft's CRT prints a null string as "(null)".
          std::u16string body = s ? std::u16string(s) : std::u16string(u"(null)");
          if (precision >= 0 && static_cast<size_t>(precision) < body.size()) body.resize(static_cast<size_t>(precision));
          PadTo(&out, body, width, left, u' ');
        }
        break;
      case u'c': {
        // Microsoft's wide printf takes %c as a wide character, as %lc.
        int c = va_arg(ap, int);
        PadTo(&out, std::u16string(1, static_cast<char16_t>(c)), width, left, u' ');
        break;
      }
      case u'd':
      case u'i': {
        // long is 32 bits on Windows (LLP64): %ld consumes a LONG.
        long long v = size == Size::kLongLong ? va_arg(ap, long long) : static_cast<long long>(va_arg(ap, int));
        unsigned long long mag = v < 0 ? 0ull - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
        std::u16string body = Digits(mag, 10, false, precision);
        if (v < 0) body.insert(body.begin(), u'-');
        PadTo(&out, body, width, left, precision >= 0 ? u' ' : fill);
        break;
      }
      case u'u':
      case u'x':
      case u'X': {
        // %lu and %lx consume a DWORD-sized value: long is 32 bits on Windows.
        unsigned long long v = size == Size::kLongLong ? va_arg(ap, unsigned long long)
                                                       : static_cast<unsigned long long>(va_arg(ap, unsigned int));
        unsigned base = *p == u'u' ? 10 : 16;
        std::u16string body = Digits(v, base, *p == u'X', precision);
        PadTo(&out, body, width, left, precision >= 0 ? u' ' : fill);
        break;
      }
      default:
        fprintf(stderr, "wide CRT: conversion not supported in format \"%s\"\n", sim::U8(fmt).c_str());
        fflush(stderr);
        abort();
    }
  }
  return out;
}

}  // namespace

int swprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...) {
  if (!format || (!buffer && count != 0)) InvalidParameter("swprintf with a null format or buffer");
  va_list ap;
  va_start(ap, format);
  std::u16string s = Format(format, ap);
  va_end(ap);
  if (count == 0) return -1;
  if (s.size() >= count) {
    // ISO swprintf: more than count-1 characters is an error (-1); what fits
    // is written and terminated.
    s.copy(buffer, count - 1);
    buffer[count - 1] = 0;
    return -1;
  }
  s.copy(buffer, s.size());
  buffer[s.size()] = 0;
  return static_cast<int>(s.size());
}

int wprintf(const WCHAR* format, ...) {
  if (!format) InvalidParameter("wprintf with a null format");
  va_list ap;
  va_start(ap, format);
  std::u16string s = Format(format, ap);
  va_end(ap);
  sim::AppendStdout(sim::U8(s));
  return static_cast<int>(s.size());
}
