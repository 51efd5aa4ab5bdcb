// The full-path rules of RtlGetFullPathName_U, which GetFullPathNameW wraps.
//
// The path is classified by its first characters ('/' and '\' are the same
// separator for this), turned into an absolute string using the current
// directory where needed, and then normalised in one pass over its
// components below a root that ".." never climbs above.
//
// The legacy DOS device names ("NUL", "C:\x\COM1", "AUX" -> "\\.\NUL" ...)
// are recognised by DosDeviceName, which GetFullPathNameW consults first and
// the file functions consult before they look at a volume.
#include "sim/fullpath.h"

#include <vector>

#include "sim/fs_model.h"

namespace sim {
namespace {

bool IsSep(char16_t c) { return c == u'\\' || c == u'/'; }


bool IsDriveLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

// Joins root and the components of rest, resolving "." and "..".
// rest is empty or starts with a separator.
std::u16string Collapse(const std::u16string& root, const std::u16string& rest) {
  std::vector<std::u16string> parts;
  bool endsWithSep = false;
  size_t i = 0;
  while (i < rest.size()) {
    while (i < rest.size() && IsSep(rest[i])) ++i;  // duplicate separators collapse
    if (i >= rest.size()) {
      endsWithSep = true;
      break;
    }
    size_t j = i;
    while (j < rest.size() && !IsSep(rest[j])) ++j;
    std::u16string part = rest.substr(i, j - i);
    const bool followedBySep = j < rest.size();
    i = j;
    endsWithSep = false;
    if (part == u".") continue;
    if (part == u"..") {
      // ".." stops at the root: "C:\.." is "C:\", "\\server\share\.." stays
      // on the share.
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    // A component followed by a separator loses one trailing dot:
    // "c:/test./file" -> "c:\test\file", "c:/test../file" -> "c:\test.\file",
    // while "c:/test.. /file" keeps its name (ends with a space).
    if (followedBySep && part.back() == u'.') part.pop_back();
    parts.push_back(part);
  }

  std::u16string out = root;
  for (const auto& p : parts) {
    out += u'\\';
    out += p;
  }
  // A trailing separator is kept ("c:/test/" -> "c:\test\"); a root reached
  // through ".." or given with its separator ends with one ("c:/test/.." ->
  // "c:\", "//./foo/.." -> "\\.\").
  if (endsWithSep || (parts.empty() && !rest.empty())) out += u'\\';

  // Trailing dots and spaces go from the last component only:
  // "c:/test  ....   ..   " -> "c:\test", "c:/test/.. " -> "c:\test\".
  if (!parts.empty() && !endsWithSep) {
    size_t keep = out.size();
    while (keep > root.size() && (out[keep - 1] == u'.' || out[keep - 1] == u' ')) --keep;
    out.resize(keep);
  }
  return out;
}

// Splits an absolute path (drive, UNC or device form, separators not yet
// converted) into the root ".." cannot leave and the rest.
bool SplitAbsolute(const std::u16string& s, std::u16string* root, std::u16string* rest) {
  if (s.size() >= 3 && IsDriveLetter(s[0]) && s[1] == u':' && IsSep(s[2])) {
    // "c:/test" -> "c:\test": the letter's case is kept as given.
    *root = s.substr(0, 2);
    *rest = s.substr(2);
    return true;
  }
  if (s.size() >= 2 && IsSep(s[0]) && IsSep(s[1])) {
    // "\\.\x" and "\\?\x" (either separator): the device namespace; its root
    // is the four-character prefix ("//./foo/.." -> "\\.\", "//?/foo/.." ->
    // "\\?\"). GetFullPathNameW normalises what follows the "\\?\" prefix too:
    // Microsoft's "File path formats on Windows systems" says paths that begin
    // with \\?\ are still normalised when explicitly passed to
    // GetFullPathName; only the file APIs skip parsing for them.
    if (s.size() >= 3 && (s[2] == u'.' || s[2] == u'?') && (s.size() == 3 || IsSep(s[3]))) {
      *root = std::u16string(u"\\\\") + s[2];
      *rest = s.size() == 3 ? std::u16string(u"\\") : s.substr(3);
      return true;
    }
    // UNC: "\\server\share" is the root; ".." never climbs above the share.
    size_t serverEnd = 2;
    while (serverEnd < s.size() && !IsSep(s[serverEnd])) ++serverEnd;
    if (serverEnd >= s.size()) {
      *root = u"\\\\" + s.substr(2);  // "\\foo" -> "\\foo", "//" -> "\\"
      rest->clear();
      return true;
    }
    size_t shareEnd = serverEnd + 1;
    while (shareEnd < s.size() && !IsSep(s[shareEnd])) ++shareEnd;
    *root = u"\\\\" + s.substr(2, serverEnd - 2);
    if (shareEnd > serverEnd + 1) {
      *root += u'\\';
      *root += s.substr(serverEnd + 1, shareEnd - serverEnd - 1);
      *rest = s.substr(shareEnd);
    } else {
      *rest = s.substr(serverEnd);  // "//foo/" -> "\\foo\"
    }
    return true;
  }
  return false;
}

// The root of the current directory, for "\foo": "C:" or "\\server\share".
std::u16string RootOf(const std::u16string& cwd) {
  std::u16string root, rest;
  if (SplitAbsolute(cwd, &root, &rest)) return root;
  return cwd;
}

bool SameNoCase(const std::u16string& a, const char16_t* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    if (fs::UpcaseUnit(a[i]) != b[i]) return false;
  }
  return i == a.size() && !b[i];
}

bool IsDeviceBaseName(const std::u16string& n) {
  static const char16_t* const kNames[] = {u"AUX", u"CON", u"NUL", u"PRN", u"CONIN$", u"CONOUT$"};
  for (const char16_t* k : kNames) {
    if (SameNoCase(n, k)) return true;
  }
  // COM1 to COM9 and LPT1 to LPT9; "COM0", "LPT0" and "NUL0" are files.
  if (n.size() == 4 && n[3] >= u'1' && n[3] <= u'9') {
    const std::u16string stem = n.substr(0, 3);
    return SameNoCase(stem, u"COM") || SameNoCase(stem, u"LPT");
  }
  return false;
}

}  // namespace

// The rules of Wine's test_RtlIsDosDeviceName_U table (which Windows
// passes): UNC and device paths ("\\foo\nul", "\\.\CON" since Windows 8)
// are never device names; otherwise the last component is cut at its first
// '.' or ':' ("c:PRN:.txt", "C:\x\nul.txt"), trailing spaces go
// ("c:NUL  ....  "), and what is left is compared without regard to case. A
// trailing separator leaves no last component ("c:\nul\" is not a device).
bool DosDeviceName(const std::u16string& input, std::u16string* name) {
  if (input.size() >= 2 && IsSep(input[0]) && IsSep(input[1])) return false;
  size_t start = (input.size() >= 2 && IsDriveLetter(input[0]) && input[1] == u':') ? 2 : 0;
  for (size_t i = start; i < input.size(); ++i) {
    if (IsSep(input[i])) start = i + 1;
  }
  size_t end = start;
  while (end < input.size() && input[end] != u'.' && input[end] != u':') ++end;
  while (end > start && input[end - 1] == u' ') --end;
  const std::u16string base = input.substr(start, end - start);
  if (!IsDeviceBaseName(base)) return false;
  *name = base;
  return true;
}

bool ComputeFullPath(const std::u16string& input, const std::u16string& cwd, std::u16string* out) {
  if (input.empty()) return false;

  std::u16string root, rest;
  if (SplitAbsolute(input, &root, &rest)) {
    *out = Collapse(root, rest);
    return true;
  }

  std::u16string absolute;
  if (input.size() >= 2 && IsDriveLetter(input[0]) && input[1] == u':') {
    // "C:x": relative to that drive's current directory: the process's own
    // directory for its drive, the root of any other ("D:foo" -> "D:\foo").
    const char16_t letter = fs::UpcaseUnit(input[0]);
    std::u16string base;
    if (cwd.size() >= 2 && cwd[1] == u':' && fs::UpcaseUnit(cwd[0]) == letter) {
      base = cwd;
    } else {
      base = std::u16string(1, letter) + u":\\";
    }
    const std::u16string tail = input.substr(2);
    // "C:" alone is that drive's current directory itself, without a
    // trailing separator.
    absolute = tail.empty() ? base : base + u"\\" + tail;
  } else if (IsSep(input[0])) {
    absolute = RootOf(cwd) + input;  // "\foo" -> "C:\foo": the current drive
  } else {
    absolute = cwd + u"\\" + input;
  }
  if (!SplitAbsolute(absolute, &root, &rest)) {
    // A current directory that is not absolute cannot happen on Windows;
    // keep the text rather than invent a root.
    *out = absolute;
    return true;
  }
  *out = Collapse(root, rest);
  return true;
}

}  // namespace sim
