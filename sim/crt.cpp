// The wide C runtime for WCHAR = char16_t, with the semantics of Microsoft's
// CRT where it differs from ISO C. Streams are host FILEs over a reader of
// the CRT's own, so the host's feof, ferror and fclose keep working on them.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// The product reads its command file in binary mode and denies writers;
// other modes (text mode's CR LF and UTF-16 translation, writing,
// appending) and share flags are not modelled.
bool IsBinaryRead(const WCHAR* mode) { return mode[0] == u'r' && mode[1] == u'b' && mode[2] == 0; }

// A stream _wfsopen opened: a host file read through a buffer of the CRT's
// own, as msvcrt reads a file handle in 4,096-byte pieces (Wine's
// dlls/msvcrt/file.c, MSVCRT_INTERNAL_BUFSIZ). The host FILE around it is
// unbuffered, so each byte the CRT takes is one call of ReadStream: that
// lets a read error fall on a chosen fgetws call.
struct CrtStream {
  int fd;
  sim::HostFileId id;
  sim::fs::OpenRecord open;
  bool readFails = false;  // the next read from the file fails
  unsigned char buffer[4096];
  size_t at = 0;
  size_t have = 0;
};

std::map<FILE*, CrtStream*>& Streams() {
  static std::map<FILE*, CrtStream*> streams;
  return streams;
}

ssize_t ReadStream(void* cookie, char* out, size_t size) {
  CrtStream* s = static_cast<CrtStream*>(cookie);
  if (s->readFails) {
    s->readFails = false;
    errno = EIO;
    return -1;
  }
  if (s->at == s->have) {
    ssize_t got = read(s->fd, s->buffer, sizeof s->buffer);
    if (got <= 0) return got;
    s->at = 0;
    s->have = static_cast<size_t>(got);
  }
  size_t n = s->have - s->at < size ? s->have - s->at : size;
  memcpy(out, s->buffer + s->at, n);
  s->at += n;
  return static_cast<ssize_t>(n);
}

// fclose ends the open: the file's share mode no longer holds anyone off.
int CloseStream(void* cookie) {
  CrtStream* s = static_cast<CrtStream*>(cookie);
  std::lock_guard<std::recursive_mutex> g(sim::WorldLock());
  for (auto it = Streams().begin(); it != Streams().end(); ++it) {
    if (it->second == s) {
      Streams().erase(it);
      break;
    }
  }
  sim::RemoveHostOpen(s->id, &s->open);
  close(s->fd);
  delete s;
  return 0;
}

}  // namespace

namespace sim {

static bool HostDirectoryExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// _wfsopen fails through CreateFileW, which leaves its error as the thread's
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

// _wfsopen(path, "rb", _SH_DENYWR): CreateFileW with GENERIC_READ,
// OPEN_EXISTING and the share mode FILE_SHARE_READ (Wine's
// dlls/msvcrt/file.c, _wsopen_dispatch: _SH_DENYWR is FILE_SHARE_READ;
// "_fsopen, _wfsopen" on Microsoft Learn). A failure leaves CreateFileW's
// error as the thread's last error and its _dosmaperr errno.
FILE* _wfsopen(const WCHAR* path, const WCHAR* mode, int shareFlag) {
  if (!path || !mode) InvalidParameter("_wfsopen with a null path or mode");
  sim::CallScope call("_wfsopen", sim::Q(path) + ", " + sim::Q(mode) + ", " +
                                      sim::Hex(static_cast<unsigned>(shareFlag)));
  auto fail = [&call](DWORD error) {
    errno = ErrnoFor(error);
    return call.FailAs<FILE*>(error, nullptr, "NULL");
  };
  DWORD e;
  if (call.Faulted(&e)) return fail(e);
  if (!IsBinaryRead(mode)) InvalidParameter("_wfsopen modes other than \"rb\" are not modelled");
  if (shareFlag != _SH_DENYWR) {
    InvalidParameter("_wfsopen share flags other than _SH_DENYWR are not modelled");
  }
  // CreateFileW(""): ERROR_PATH_NOT_FOUND.
  if (!*path) return fail(ERROR_PATH_NOT_FOUND);
  std::string host;
  if (!sim::RoutedHostPath(path, &host)) host = sim::U8(path);
  int fd = open(host.c_str(), O_RDONLY);
  if (fd < 0) return fail(sim::HostOpenError(errno, host));
  struct stat st;
  // CreateFileW on a directory without FILE_FLAG_BACKUP_SEMANTICS:
  // ERROR_ACCESS_DENIED. The host opens it.
  if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    close(fd);
    return fail(ERROR_ACCESS_DENIED);
  }
  const DWORD access = sim::fs::MapGenericAccess(GENERIC_READ);
  const DWORD share = FILE_SHARE_READ;
  if ((e = sim::CheckHostSharing(sim::IdOf(st), access, share)) != 0) {
    close(fd);
    return fail(e);
  }
  CrtStream* s = new CrtStream;
  s->fd = fd;
  s->id = sim::IdOf(st);
  s->open.access = access;
  s->open.share = share;
  cookie_io_functions_t io = {ReadStream, nullptr, nullptr, CloseStream};
  FILE* f = fopencookie(s, "r", io);
  if (!f) {
    close(fd);
    delete s;
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  setvbuf(f, nullptr, _IONBF, 0);
  sim::AddHostOpen(s->id, &s->open);
  Streams()[f] = s;
  call.result = sim::Hex(reinterpret_cast<uintptr_t>(f));
  return f;
}

namespace sim {

// A process that ended without fclose (a killed one) leaves its streams to
// the system, which closes their handles; their memory went with it.
void ResetCrtStreams() {
  std::lock_guard<std::recursive_mutex> g(WorldLock());
  while (!Streams().empty()) fclose(Streams().begin()->first);
}

}  // namespace sim

// fgetwc in binary mode: two bytes, little-endian, no translation, returned
// as a wint_t. Microsoft's CRT makes wint_t 16 bits wide and WEOF 0xFFFF, so
// the unit U+FFFF is WEOF itself: fgetws stops there as it does at the end
// of the file, the unit consumed and neither feof nor ferror set (Wine's
// dlls/msvcrt/file.c, _fgetwc_nolock and fgetws; "fgetc, fgetwc" on
// Microsoft Learn: fgetwc returns WEOF for an error or the end of the file,
// and feof or ferror tells which). When fewer than two bytes remain it
// returns WEOF and the lone byte is lost.
static const unsigned kWeof = 0xFFFF;
static unsigned ReadUnit(FILE* stream) {
  int lo = getc(stream);
  if (lo == EOF) return kWeof;
  int hi = getc(stream);
  if (hi == EOF) return kWeof;
  return static_cast<unsigned>(lo) | (static_cast<unsigned>(hi) << 8);
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
    // A read error: ReadFile fails as the CRT refills its buffer, its error
    // stays as the last error, and the stream's error indicator is set.
    auto it = Streams().find(stream);
    if (it == Streams().end()) InvalidParameter("a read fault on a stream _wfsopen did not open");
    it->second->readFails = true;
    getc(stream);
    errno = ErrnoFor(e);
    return call.FailAs<WCHAR*>(e, nullptr, "NULL");
  }
  if (count == 0) {
    call.result = "NULL";
    return nullptr;
  }
  int n = 0;
  // At most count-1 units, then the terminator; a line feed ends the line and
  // is kept.
  while (n < count - 1) {
    unsigned unit = ReadUnit(stream);
    if (unit == kWeof) break;
    buffer[n++] = static_cast<WCHAR>(unit);
    if (unit == u'\n') break;
  }
  if (n == 0 && count > 1) {
    // WEOF before anything was read: the end of the file, a read error or
    // the unit U+FFFF.
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

std::u16string Digits(unsigned long long v, unsigned base, bool upper) {
  const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  std::u16string d;
  do {
    d.insert(d.begin(), static_cast<char16_t>(set[v % base]));
    v /= base;
  } while (v);
  return d;
}

// The formatting engine shared by swprintf and wprintf: the flags '-' and
// '0', a width, the size 'l' and the conversions ls, c, d, u, x, X and %%.
// Precision, '*', 64-bit sizes and the rest are not modelled and stop the run.
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
    while (*p >= u'0' && *p <= u'9') width = width * 10 + (*p++ - u'0');
    // %l: long is 32 bits on Windows (LLP64), so %ld and %lu take a LONG or
    // a DWORD, and %ls a wide string.
    const bool isLong = *p == u'l';
    if (isLong) ++p;
    const char16_t fill = (zero && !left) ? u'0' : u' ';
    switch (*p) {
      case u'%':
        out += u'%';
        break;
      case u's':
        if (!isLong) {
          // Microsoft's wide printf reads %s as a wide string, ISO C as a
          // narrow one: the two builds would print different things.
          fprintf(stderr, "wide CRT: a wide format uses %%s; write %%ls\n");
          fflush(stderr);
          abort();
        } else {
          const WCHAR* s = va_arg(ap, const WCHAR*);
          // Microsoft's CRT prints a null string as "(null)".
          std::u16string body = s ? std::u16string(s) : std::u16string(u"(null)");
          PadTo(&out, body, width, left, u' ');
        }
        break;
      case u'c': {
        // Microsoft's wide printf takes %c as a wide character, as %lc.
        int c = va_arg(ap, int);
        PadTo(&out, std::u16string(1, static_cast<char16_t>(c)), width, left, u' ');
        break;
      }
      case u'd': {
        const long long v = va_arg(ap, int);
        std::u16string body = Digits(static_cast<unsigned long long>(v < 0 ? -v : v), 10, false);
        if (v < 0) body.insert(body.begin(), u'-');
        PadTo(&out, body, width, left, fill);
        break;
      }
      case u'u':
      case u'x':
      case u'X': {
        const unsigned v = va_arg(ap, unsigned int);
        PadTo(&out, Digits(v, *p == u'u' ? 10 : 16, *p == u'X'), width, left, fill);
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
