// Conformance probe: makes the same Win32 calls on a scratch tree and prints
// one transcript line per call (name, arguments relative to the scratch
// root, result, last error). Built for Windows it runs under Wine; built for
// the host it runs against the simulation. The two transcripts are compared
// line by line, so everything printed must be independent of where the
// scratch root lives: paths are shown as <R>\..., lengths as len(R)+n.
//
// Only what Wine implements is exercised here. Every call that reports an
// error is preceded by a sentinel last error, so the transcript shows
// whether the call set the error or left it alone.
#include "tools/conformance/conformance.h"

#include "platform/platform.h"

namespace {

const DWORD kSentinel = 0xdeadbeef;
const size_t kPathChars = 1024;

WCHAR g_root[kPathChars];
size_t g_rootLen = 0;

// Four rotating buffers, so one transcript line may hold several paths.
WCHAR g_paths[4][kPathChars];
int g_nextPath = 0;

// root + "\" + rel; rel empty gives the root itself.
const WCHAR* P(const WCHAR* rel) {
  WCHAR* out = g_paths[g_nextPath];
  g_nextPath = (g_nextPath + 1) % 4;
  if (rel[0] == 0) {
    swprintf(out, kPathChars, TEXT("%ls"), g_root);
  } else {
    swprintf(out, kPathChars, TEXT("%ls\\%ls"), g_root, rel);
  }
  return out;
}

// A path for the transcript: "<R>" in place of the scratch root.
WCHAR g_shown[4][kPathChars];
int g_nextShown = 0;

const WCHAR* Shown(const WCHAR* path) {
  WCHAR* out = g_shown[g_nextShown];
  g_nextShown = (g_nextShown + 1) % 4;
  if (path == nullptr) {
    swprintf(out, kPathChars, TEXT("NULL"));
  } else if (wcsncmp(path, g_root, g_rootLen) == 0) {
    swprintf(out, kPathChars, TEXT("\"<R>%ls\""), path + g_rootLen);
  } else {
    swprintf(out, kPathChars, TEXT("\"%ls\""), path);
  }
  return out;
}

void Line(const WCHAR* name, const WCHAR* args, const WCHAR* result, DWORD error) {
  wprintf(TEXT("%ls(%ls) = %ls err=%u\n"), name, args, result, static_cast<unsigned>(error));
}

void LineBool(const WCHAR* name, const WCHAR* args, BOOL ok) {
  DWORD error = GetLastError();
  WCHAR result[16];
  swprintf(result, 16, TEXT("%d"), ok ? 1 : 0);
  Line(name, args, result, error);
}

void LineHandle(const WCHAR* name, const WCHAR* args, HANDLE h) {
  DWORD error = GetLastError();
  Line(name, args, h == INVALID_HANDLE_VALUE ? TEXT("INVALID_HANDLE_VALUE") : TEXT("HANDLE"), error);
}

void Note(const WCHAR* text) { wprintf(TEXT("# %ls\n"), text); }

// ------------------------------------------------------------ directories

BOOL MkDir(const WCHAR* rel) {
  WCHAR args[kPathChars];
  const WCHAR* path = P(rel);
  swprintf(args, kPathChars, TEXT("%ls"), Shown(path));
  SetLastError(kSentinel);
  BOOL ok = CreateDirectoryW(path, nullptr);
  LineBool(TEXT("CreateDirectoryW"), args, ok);
  return ok;
}

void RmDir(const WCHAR* rel) {
  WCHAR args[kPathChars];
  const WCHAR* path = P(rel);
  swprintf(args, kPathChars, TEXT("%ls"), Shown(path));
  SetLastError(kSentinel);
  BOOL ok = RemoveDirectoryW(path);
  LineBool(TEXT("RemoveDirectoryW"), args, ok);
}

void Attributes(const WCHAR* rel) {
  WCHAR args[kPathChars];
  const WCHAR* path = P(rel);
  swprintf(args, kPathChars, TEXT("%ls"), Shown(path));
  SetLastError(kSentinel);
  DWORD attrs = GetFileAttributesW(path);
  DWORD error = GetLastError();
  WCHAR result[32];
  if (attrs == INVALID_FILE_ATTRIBUTES) {
    swprintf(result, 32, TEXT("INVALID_FILE_ATTRIBUTES"));
  } else {
    swprintf(result, 32, TEXT("0x%x"), static_cast<unsigned>(attrs));
  }
  Line(TEXT("GetFileAttributesW"), args, result, error);
}

void Directories() {
  Note(TEXT("directories"));
  MkDir(TEXT("a"));
  MkDir(TEXT("a"));
  MkDir(TEXT("missing\\b"));
  MkDir(TEXT("a\\sub"));
  RmDir(TEXT("a"));
  RmDir(TEXT("nothere"));
  RmDir(TEXT("missing\\x"));
  RmDir(TEXT("a\\sub"));
  RmDir(TEXT("a\\sub"));
  MkDir(TEXT("trail."));
  Attributes(TEXT("trail"));
  MkDir(TEXT("spaced  "));
  Attributes(TEXT("spaced"));
  RmDir(TEXT("trail"));
  RmDir(TEXT("spaced"));
  MkDir(TEXT("e"));
  MkDir(TEXT("e\\"));
  Attributes(TEXT("e"));
  Attributes(TEXT("nothere"));
  Attributes(TEXT("missing\\x"));
}

// ------------------------------------------------------------ files

const WCHAR* DispositionName(DWORD d) {
  switch (d) {
    case CREATE_NEW: return TEXT("CREATE_NEW");
    case CREATE_ALWAYS: return TEXT("CREATE_ALWAYS");
    case OPEN_EXISTING: return TEXT("OPEN_EXISTING");
    case OPEN_ALWAYS: return TEXT("OPEN_ALWAYS");
    case TRUNCATE_EXISTING: return TEXT("TRUNCATE_EXISTING");
    default: return TEXT("?");
  }
}

HANDLE Open(const WCHAR* rel, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  WCHAR args[kPathChars];
  const WCHAR* path = P(rel);
  swprintf(args, kPathChars, TEXT("%ls, access=0x%x, share=%u, %ls, flags=0x%x"), Shown(path),
           static_cast<unsigned>(access), static_cast<unsigned>(share), DispositionName(disposition),
           static_cast<unsigned>(flags));
  SetLastError(kSentinel);
  HANDLE h = CreateFileW(path, access, share, nullptr, disposition, flags, nullptr);
  LineHandle(TEXT("CreateFileW"), args, h);
  return h;
}

// Opens and, when that worked, closes again without a transcript line, so
// that both sides print the same lines whichever way the open went.
void OpenAndClose(const WCHAR* rel, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  HANDLE h = Open(rel, access, share, disposition, flags);
  if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
}

void Close(HANDLE h) {
  if (h == INVALID_HANDLE_VALUE) return;
  SetLastError(kSentinel);
  BOOL ok = CloseHandle(h);
  LineBool(TEXT("CloseHandle"), TEXT("h"), ok);
}

void Delete(const WCHAR* rel) {
  WCHAR args[kPathChars];
  const WCHAR* path = P(rel);
  swprintf(args, kPathChars, TEXT("%ls"), Shown(path));
  SetLastError(kSentinel);
  BOOL ok = DeleteFileW(path);
  LineBool(TEXT("DeleteFileW"), args, ok);
}

void Files() {
  const DWORD rw = GENERIC_READ | GENERIC_WRITE;
  const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  Note(TEXT("files and handles"));
  Close(Open(TEXT("f1"), GENERIC_WRITE, 0, CREATE_NEW, 0));
  Close(Open(TEXT("f1"), GENERIC_WRITE, 0, CREATE_NEW, 0));
  Close(Open(TEXT("f1"), GENERIC_WRITE, 0, CREATE_ALWAYS, 0));
  Close(Open(TEXT("f1"), GENERIC_READ, all, OPEN_ALWAYS, 0));
  Close(Open(TEXT("f2"), GENERIC_READ, all, OPEN_ALWAYS, 0));
  Close(Open(TEXT("f1"), GENERIC_READ, all, OPEN_EXISTING, 0));
  Close(Open(TEXT("f1"), GENERIC_WRITE, all, TRUNCATE_EXISTING, 0));
  Close(Open(TEXT("nothere"), GENERIC_READ, all, OPEN_EXISTING, 0));
  Close(Open(TEXT("missing\\f"), GENERIC_READ, all, OPEN_EXISTING, 0));
  Close(Open(TEXT("missing\\f"), GENERIC_WRITE, all, CREATE_NEW, 0));
  Attributes(TEXT("f1"));

  Note(TEXT("sharing: the first handle reads and writes, shares read only"));
  HANDLE first = Open(TEXT("f1"), rw, FILE_SHARE_READ, OPEN_EXISTING, 0);
  Close(Open(TEXT("f1"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0));
  Close(Open(TEXT("f1"), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0));
  Close(Open(TEXT("f1"), GENERIC_WRITE, all, OPEN_EXISTING, 0));
  Close(Open(TEXT("f1"), FILE_READ_ATTRIBUTES, 0, OPEN_EXISTING, 0));
  Close(first);

  Note(TEXT("directories opened as files"));
  Close(Open(TEXT("e"), GENERIC_READ, all, OPEN_EXISTING, 0));
  Close(Open(TEXT("e"), GENERIC_READ, all, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
  Close(Open(TEXT("e"), GENERIC_READ, all, OPEN_ALWAYS, FILE_FLAG_BACKUP_SEMANTICS));

  Note(TEXT("deleting"));
  HANDLE reader = Open(TEXT("f2"), GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, 0);
  Delete(TEXT("f2"));
  Close(reader);
  Delete(TEXT("f2"));
  Delete(TEXT("f2"));
  Delete(TEXT("missing\\f2"));
  Delete(TEXT("e"));
  RmDir(TEXT("f1"));
  MkDir(TEXT("f1"));

  Note(TEXT("overwriting a hidden file: the attributes must be asked for again"));
  OpenAndClose(TEXT("hid"), GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_HIDDEN);
  OpenAndClose(TEXT("hid"), GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
  OpenAndClose(TEXT("hid"), GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  Attributes(TEXT("hid"));
  Delete(TEXT("hid"));

  Note(TEXT("DOS device names of ports the machine lacks"));
  MkDir(TEXT("e\\COM9"));
  OpenAndClose(TEXT("e\\lpt9.txt"), GENERIC_WRITE, 0, CREATE_NEW, 0);
}

// ------------------------------------------------------------ writing

// One WriteFile of the given bytes; the transcript shows the count the call
// left (it is set before any checking) and the file's size afterwards.
void Write(HANDLE h, const WCHAR* what, const char* bytes, DWORD count) {
  DWORD written = 77;
  SetLastError(kSentinel);
  BOOL ok = WriteFile(h, bytes, count, &written, nullptr);
  DWORD error = GetLastError();
  WCHAR args[64];
  swprintf(args, 64, TEXT("%ls, %u bytes"), what, static_cast<unsigned>(count));
  WCHAR result[64];
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileInformationByHandle(h, &info)) {
    swprintf(result, 64, TEXT("%d written=%u size=%u"), ok ? 1 : 0, static_cast<unsigned>(written),
             static_cast<unsigned>(info.nFileSizeLow));
  } else {
    swprintf(result, 64, TEXT("%d written=%u"), ok ? 1 : 0, static_cast<unsigned>(written));
  }
  Line(TEXT("WriteFile"), args, result, error);
}

void Writes() {
  const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  Note(TEXT("writing"));
  HANDLE h = Open(TEXT("w1"), GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, 0);
  Write(h, TEXT("new file"), "abc", 3);
  Write(h, TEXT("null write"), "zz", 0);
  Write(h, TEXT("more"), "de", 2);
  Close(h);
  h = Open(TEXT("w1"), GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS, 0);
  Write(h, TEXT("replaced file"), "x", 1);
  Close(h);
  h = Open(TEXT("w1"), GENERIC_WRITE, all, OPEN_EXISTING, 0);
  Write(h, TEXT("over the start"), "yz", 2);
  Close(h);
  h = Open(TEXT("w1"), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, all, OPEN_EXISTING, 0);
  Write(h, TEXT("append access"), "!", 1);
  Close(h);
  h = Open(TEXT("w1"), GENERIC_READ, all, OPEN_EXISTING, 0);
  Write(h, TEXT("read access"), "a", 1);
  Close(h);
  if (h != INVALID_HANDLE_VALUE) Write(h, TEXT("closed handle"), "a", 1);
  h = Open(TEXT("e"), GENERIC_WRITE, all, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  Write(h, TEXT("directory"), "a", 1);
  Close(h);
  Delete(TEXT("w1"));
}

// ------------------------------------------------------------ hard links

typedef BOOL(WINAPI* CreateHardLinkFn)(LPCWSTR, LPCWSTR, LPSECURITY_ATTRIBUTES);

void HardLink(CreateHardLinkFn fn, const WCHAR* newRel, const WCHAR* existingRel) {
  WCHAR args[kPathChars * 2];
  const WCHAR* newPath = P(newRel);
  const WCHAR* existing = P(existingRel);
  swprintf(args, kPathChars * 2, TEXT("%ls, %ls"), Shown(newPath), Shown(existing));
  SetLastError(kSentinel);
  BOOL ok = fn(newPath, existing, nullptr);
  LineBool(TEXT("CreateHardLinkW"), args, ok);
}

void Identities(CreateHardLinkFn fn);

void HardLinks() {
  Note(TEXT("hard links"));
  SetLastError(kSentinel);
  HMODULE kernel = LoadLibraryW(TEXT("kernel32.dll"));
  LineBool(TEXT("LoadLibraryW"), TEXT("\"kernel32.dll\""), kernel != nullptr);
  if (kernel == nullptr) return;
  SetLastError(kSentinel);
  FARPROC proc = GetProcAddress(kernel, "CreateHardLinkW");
  LineBool(TEXT("GetProcAddress"), TEXT("\"CreateHardLinkW\""), proc != nullptr);
  if (proc == nullptr) return;
  // The exported function has this type; the cast goes through void* to
  // keep compilers quiet about unrelated function-pointer types.
  CreateHardLinkFn fn = reinterpret_cast<CreateHardLinkFn>(reinterpret_cast<void*>(proc));
  HardLink(fn, TEXT("h1"), TEXT("f1"));
  Attributes(TEXT("h1"));
  HardLink(fn, TEXT("h1"), TEXT("f1"));
  HardLink(fn, TEXT("e"), TEXT("f1"));
  HardLink(fn, TEXT("h2"), TEXT("nothere"));
  HardLink(fn, TEXT("missing\\h3"), TEXT("f1"));
  HardLink(fn, TEXT("h4"), TEXT("e"));
  Delete(TEXT("h1"));
  Attributes(TEXT("f1"));
  Identities(fn);
}

// ------------------------------------------------------------ file identity

// Opens rel for its attributes only (flags as given) and reads its
// information by handle. The transcript shows the attributes, the link
// count and the size; the volume serial number and the file index, which
// differ between systems, only go to `info` for comparing.
bool Identify(const WCHAR* rel, DWORD flags, BY_HANDLE_FILE_INFORMATION* info) {
  const DWORD all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE h = Open(rel, FILE_READ_ATTRIBUTES, all, OPEN_EXISTING, flags);
  if (h == INVALID_HANDLE_VALUE) return false;
  WCHAR args[kPathChars];
  swprintf(args, kPathChars, TEXT("%ls"), Shown(P(rel)));
  memset(info, 0, sizeof *info);
  SetLastError(kSentinel);
  BOOL ok = GetFileInformationByHandle(h, info);
  DWORD error = GetLastError();
  WCHAR result[96];
  if (ok) {
    swprintf(result, 96, TEXT("1 attrs=0x%x links=%u size=%u"), static_cast<unsigned>(info->dwFileAttributes),
             static_cast<unsigned>(info->nNumberOfLinks), static_cast<unsigned>(info->nFileSizeLow));
  } else {
    swprintf(result, 96, TEXT("0"));
  }
  Line(TEXT("GetFileInformationByHandle"), args, result, error);
  Close(h);
  return ok != FALSE;
}

// Whether two names are one file: same volume serial number and file index.
void SameFile(const WCHAR* a, DWORD flagsA, const WCHAR* b, DWORD flagsB) {
  BY_HANDLE_FILE_INFORMATION x;
  BY_HANDLE_FILE_INFORMATION y;
  if (!Identify(a, flagsA, &x) || !Identify(b, flagsB, &y)) return;
  bool same = x.dwVolumeSerialNumber == y.dwVolumeSerialNumber && x.nFileIndexHigh == y.nFileIndexHigh &&
              x.nFileIndexLow == y.nFileIndexLow;
  wprintf(TEXT("same file: %ls, %ls = %d\n"), Shown(P(a)), Shown(P(b)), same ? 1 : 0);
}

void Identities(CreateHardLinkFn fn) {
  Note(TEXT("file identity by handle"));
  const DWORD dir = FILE_FLAG_BACKUP_SEMANTICS;
  HardLink(fn, TEXT("id1"), TEXT("f1"));
  SameFile(TEXT("id1"), 0, TEXT("f1"), 0);
  SameFile(TEXT("f1"), 0, TEXT("e"), dir);
  SameFile(TEXT("e"), dir, TEXT("e\\..\\e"), dir);
  SameFile(TEXT("e"), dir, TEXT(""), dir);
  Delete(TEXT("id1"));
  BY_HANDLE_FILE_INFORMATION info;
  Identify(TEXT("f1"), 0, &info);

  Note(TEXT("GetFileInformationByHandle on a closed handle"));
  HANDLE h = Open(TEXT("f1"), FILE_READ_ATTRIBUTES, FILE_SHARE_READ, OPEN_EXISTING, 0);
  Close(h);
  if (h != INVALID_HANDLE_VALUE) {
    SetLastError(kSentinel);
    BOOL ok = GetFileInformationByHandle(h, &info);
    LineBool(TEXT("GetFileInformationByHandle"), TEXT("closed handle"), ok);
  }
}

// ------------------------------------------------------------ enumeration

void Find(const WCHAR* rel) {
  WCHAR args[kPathChars];
  const WCHAR* pattern = P(rel);
  swprintf(args, kPathChars, TEXT("%ls"), Shown(pattern));
  WIN32_FIND_DATAW data;
  SetLastError(kSentinel);
  HANDLE find = FindFirstFileW(pattern, &data);
  DWORD error = GetLastError();
  if (find == INVALID_HANDLE_VALUE) {
    Line(TEXT("FindFirstFileW"), args, TEXT("INVALID_HANDLE_VALUE"), error);
    return;
  }
  WCHAR result[kPathChars];
  swprintf(result, kPathChars, TEXT("HANDLE \"%ls\" dir=%d"), data.cFileName,
           (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0);
  Line(TEXT("FindFirstFileW"), args, result, error);
  for (int guard = 0; guard < 64; ++guard) {
    SetLastError(kSentinel);
    BOOL ok = FindNextFileW(find, &data);
    error = GetLastError();
    if (!ok) {
      Line(TEXT("FindNextFileW"), TEXT("h"), TEXT("0"), error);
      break;
    }
    swprintf(result, kPathChars, TEXT("1 \"%ls\" dir=%d"), data.cFileName,
             (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : 0);
    Line(TEXT("FindNextFileW"), TEXT("h"), result, error);
  }
  SetLastError(kSentinel);
  BOOL closed = FindClose(find);
  LineBool(TEXT("FindClose"), TEXT("h"), closed);
}

void Enumeration() {
  Note(TEXT("enumeration"));
  MkDir(TEXT("e\\d"));
  Close(Open(TEXT("e\\b"), GENERIC_WRITE, 0, CREATE_NEW, 0));
  Close(Open(TEXT("e\\A"), GENERIC_WRITE, 0, CREATE_NEW, 0));
  Close(Open(TEXT("e\\c.txt"), GENERIC_WRITE, 0, CREATE_NEW, 0));
  // '_' sorts after the letters when names are compared upper-cased, as
  // NTFS does, and before the lower-case ones in a plain ordinal order.
  Close(Open(TEXT("e\\_u"), GENERIC_WRITE, 0, CREATE_NEW, 0));
  Find(TEXT("e\\*"));
  Find(TEXT("e\\d\\*"));
  Find(TEXT("e\\c*"));
  Find(TEXT("e\\zz*"));
  Find(TEXT("e"));
  Find(TEXT("e\\"));
  Find(TEXT("nothere"));
  Find(TEXT("missing\\*"));
  Find(TEXT("f1\\*"));
  // A DOS device name is one entry named as the device, once its directory
  // opens.
  Find(TEXT("e\\nul"));
  Find(TEXT("e\\con.txt"));
  Find(TEXT("missing\\aux"));
}

// ------------------------------------------------------------ full paths

// chars counts from the root's length when relativeSize is set, so that the
// buffer is too small or just large enough on every machine alike.
void FullPath(const WCHAR* input, DWORD chars, bool relativeSize = false) {
  WCHAR args[kPathChars];
  if (relativeSize) {
    swprintf(args, kPathChars, TEXT("%ls, len(R)+%u"), Shown(input), static_cast<unsigned>(chars));
    chars += static_cast<DWORD>(g_rootLen);
  } else {
    swprintf(args, kPathChars, TEXT("%ls, %u"), Shown(input), static_cast<unsigned>(chars));
  }
  WCHAR buffer[kPathChars];
  for (size_t i = 0; i < kPathChars; ++i) buffer[i] = TEXT('#');
  WCHAR* filePart = nullptr;
  SetLastError(kSentinel);
  DWORD n = GetFullPathNameW(input, chars, buffer, &filePart);
  DWORD error = GetLastError();
  WCHAR result[kPathChars * 2];
  // Lengths are shown relative to the root's, which differs between runs.
  long relative = static_cast<long>(n) - static_cast<long>(g_rootLen);
  WCHAR sign = relative < 0 ? TEXT('-') : TEXT('+');
  unsigned magnitude = static_cast<unsigned>(relative < 0 ? -relative : relative);
  if (n == 0) {
    swprintf(result, kPathChars * 2, TEXT("0"));
  } else if (n >= chars) {
    // Too small: the required size, terminator included, and an untouched
    // buffer (first unit shown).
    swprintf(result, kPathChars * 2, TEXT("len(R)%c%u first=0x%x"), sign, magnitude,
             static_cast<unsigned>(buffer[0]));
  } else {
    const WCHAR* part = TEXT("NULL");
    if (filePart != nullptr && filePart >= buffer && filePart < buffer + n) part = filePart;
    if (wcsncmp(buffer, g_root, g_rootLen) == 0) {
      swprintf(result, kPathChars * 2, TEXT("len(R)%c%u %ls part=\"%ls\""), sign, magnitude,
               Shown(buffer), part);
    } else {
      // A result outside the scratch tree (a device path) has its own length.
      swprintf(result, kPathChars * 2, TEXT("len %u %ls part=\"%ls\""), static_cast<unsigned>(n),
               Shown(buffer), part);
    }
  }
  Line(TEXT("GetFullPathNameW"), args, result, error);
}

void FullPaths() {
  Note(TEXT("full paths, current directory <R>\\e"));
  WCHAR args[kPathChars];
  const WCHAR* cwd = P(TEXT("e"));
  swprintf(args, kPathChars, TEXT("%ls"), Shown(cwd));
  SetLastError(kSentinel);
  BOOL ok = SetCurrentDirectoryW(cwd);
  LineBool(TEXT("SetCurrentDirectoryW"), args, ok);
  if (!ok) return;
  const DWORD size = static_cast<DWORD>(kPathChars);
  FullPath(TEXT("x"), size);
  FullPath(TEXT(".\\x"), size);
  FullPath(TEXT(".."), size);
  FullPath(TEXT("..\\y\\z"), size);
  FullPath(TEXT("x\\"), size);
  FullPath(TEXT("x."), size);
  FullPath(TEXT("x  "), size);
  FullPath(TEXT("x. . "), size);
  FullPath(TEXT("x..\\y"), size);
  FullPath(TEXT("x\\.\\y\\..\\z"), size);
  FullPath(TEXT("x//y"), size);
  FullPath(TEXT("."), size);
  FullPath(P(TEXT("e\\x\\..\\y")), size);
  FullPath(P(TEXT("e/x/")), size);
  FullPath(TEXT("x"), 3);
  FullPath(TEXT("x"), 4, true);
  FullPath(TEXT("x"), 5, true);
  FullPath(TEXT("x"), 6, true);
  FullPath(TEXT(""), size);
  // Legacy DOS device names become device paths, wherever they stand.
  FullPath(TEXT("nul"), size);
  FullPath(TEXT("x\\COM1.txt"), size);
  FullPath(TEXT("aux: "), size);
  FullPath(TEXT("nul\\x"), size);
  FullPath(TEXT("com0"), size);
  // A server name alone has no file part.
  FullPath(TEXT("\\\\foo"), size);
  FullPath(TEXT("\\\\foo\\bar"), size);
  // The current directory is held open, so it cannot be removed.
  MkDir(TEXT("e\\cwd"));
  const WCHAR* inner = P(TEXT("e\\cwd"));
  swprintf(args, kPathChars, TEXT("%ls"), Shown(inner));
  SetLastError(kSentinel);
  ok = SetCurrentDirectoryW(inner);
  LineBool(TEXT("SetCurrentDirectoryW"), args, ok);
  RmDir(TEXT("e\\cwd"));
  // Leave the scratch tree so the directory can be removed afterwards.
  const WCHAR* root = P(TEXT(""));
  swprintf(args, kPathChars, TEXT("%ls"), Shown(root));
  SetLastError(kSentinel);
  ok = SetCurrentDirectoryW(root);
  LineBool(TEXT("SetCurrentDirectoryW"), args, ok);
  RmDir(TEXT("e\\cwd"));
}

// ------------------------------------------------------------ privileges

void Lookup(const WCHAR* name) {
  WCHAR args[kPathChars];
  swprintf(args, kPathChars, TEXT("NULL, \"%ls\""), name);
  LUID luid;
  luid.LowPart = 0xffff;
  luid.HighPart = 0;
  SetLastError(kSentinel);
  BOOL ok = LookupPrivilegeValueW(nullptr, name, &luid);
  DWORD error = GetLastError();
  WCHAR result[64];
  swprintf(result, 64, TEXT("%d luid=%u"), ok ? 1 : 0, static_cast<unsigned>(luid.LowPart));
  Line(TEXT("LookupPrivilegeValueW"), args, result, error);
}

void Adjust(HANDLE token, const WCHAR* name, DWORD attributes) {
  TOKEN_PRIVILEGES tp;
  tp.PrivilegeCount = 1;
  tp.Privileges[0].Attributes = attributes;
  if (!LookupPrivilegeValueW(nullptr, name, &tp.Privileges[0].Luid)) return;
  WCHAR args[kPathChars];
  swprintf(args, kPathChars, TEXT("token, FALSE, {\"%ls\", 0x%x}, 0, NULL, NULL"), name,
           static_cast<unsigned>(attributes));
  SetLastError(kSentinel);
  BOOL ok = AdjustTokenPrivileges(token, FALSE, &tp, 0, nullptr, nullptr);
  LineBool(TEXT("AdjustTokenPrivileges"), args, ok);
}

void Privileges() {
  Note(TEXT("token and privileges"));
  HANDLE token = nullptr;
  SetLastError(kSentinel);
  BOOL ok = OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token);
  LineBool(TEXT("OpenProcessToken"), TEXT("current, ADJUST|QUERY"), ok);
  Lookup(SE_BACKUP_NAME);
  Lookup(SE_RESTORE_NAME);
  Lookup(TEXT("sebackupprivilege"));
  Lookup(TEXT("SeBogusPrivilege"));
  if (!ok) return;
  Adjust(token, SE_BACKUP_NAME, SE_PRIVILEGE_ENABLED);
  Adjust(token, SE_BACKUP_NAME, 0);
  Close(token);
}

// ------------------------------------------------------------ formatting

void Formatting() {
  Note(TEXT("wide formatting"));
  WCHAR buffer[128];
  int n = swprintf(buffer, 128, TEXT("[%ls] %d %5u|%-4ls|%x|%05d|%c"), TEXT("C:\\dir\\f.txt"), -7, 42u,
                   TEXT("ab"), 255u, 42, TEXT('Z'));
  wprintf(TEXT("swprintf(128, ...) = %d \"%ls\"\n"), n, buffer);
  for (int i = 0; i < 8; ++i) buffer[i] = TEXT('#');
  n = swprintf(buffer, 4, TEXT("%ls"), TEXT("abcdef"));
  // What a too-small count does differs between C runtimes: the return
  // value and whether the buffer ends in a terminator are both shown.
  wprintf(TEXT("swprintf(4, \"abcdef\") = %d buffer=%x,%x,%x,%x,%x\n"), n, static_cast<unsigned>(buffer[0]),
          static_cast<unsigned>(buffer[1]), static_cast<unsigned>(buffer[2]), static_cast<unsigned>(buffer[3]),
          static_cast<unsigned>(buffer[4]));
  wprintf(TEXT("wprintf: ERROR: %ls (%u)\n"), Shown(P(TEXT("e\\c.txt"))), 5u);
}

// ------------------------------------------------------------ standard output

// The transcript is read through a pipe: standard output is no console, so
// the console calls fail on it and WriteFile passes bytes on untouched.
void StandardOutput() {
  Note(TEXT("standard output, redirected"));
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  wprintf(TEXT("GetStdHandle(STD_OUTPUT_HANDLE) = %ls\n"),
          out == NULL || out == INVALID_HANDLE_VALUE ? TEXT("none") : TEXT("HANDLE"));
  DWORD mode = 0;
  SetLastError(kSentinel);
  LineBool(TEXT("GetConsoleMode"), TEXT("stdout"), GetConsoleMode(out, &mode));
  DWORD written = 0;
  SetLastError(kSentinel);
  LineBool(TEXT("WriteConsoleW"), TEXT("stdout, \"x\""), WriteConsoleW(out, TEXT("x"), 1, &written, NULL));
  // Text the C runtime holds goes first; then raw UTF-8 bytes (an omega).
  fflush(stdout);
  const char bytes[] = "WriteFile bytes: \xce\xa9\n";
  written = 0;
  BOOL ok = WriteFile(out, bytes, sizeof(bytes) - 1, &written, NULL);
  wprintf(TEXT("WriteFile(stdout, %u bytes) = %d written=%u\n"), static_cast<unsigned>(sizeof(bytes) - 1),
          ok ? 1 : 0, static_cast<unsigned>(written));
}

}  // namespace

int RunConformance(const WCHAR* root) {
  size_t len = wcslen(root);
  if (len == 0 || len + 64 >= kPathChars) return 2;
  wcscpy(g_root, root);
  while (len > 1 && g_root[len - 1] == TEXT('\\')) g_root[--len] = 0;
  g_rootLen = len;

  Note(TEXT("conformance transcript: one line per call, paths below the scratch root <R>"));
  Note(TEXT("not compared (not implemented by Wine 8): reparse points (FSCTL_SET/GET_REPARSE_POINT),"));
  Note(TEXT("  BackupWrite, SetVolumeMountPointW, DeleteVolumeMountPointW,"));
  Note(TEXT("  CreateSymbolicLinkW (a stub that returns TRUE)"));
  if (!MkDir(TEXT(""))) return 3;
  Directories();
  Files();
  Writes();
  HardLinks();
  Enumeration();
  FullPaths();
  Privileges();
  Formatting();
  StandardOutput();
  return 0;
}
