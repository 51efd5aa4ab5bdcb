// Reparse records for a real NTFS driver to read back.
//
//   emit_records records
//     Runs the product's junction, mount and symbolic-link operations on the
//     simulated machine and prints each record they leave, one line each:
//       record <TAB> link path <TAB> dir|file <TAB> hex bytes <TAB> intended target
//     The intended target is written by hand in the tables below, as the full
//     Windows path (or volume name) the link is meant to reach; it is never
//     derived from the record itself.
//
//   emit_records set-reparse
//     Reads lines "name <TAB> dir|file <TAB> hex bytes" and hands each record
//     to FSCTL_SET_REPARSE_POINT on a fresh directory or empty file of a fresh
//     simulated machine; prints "name <TAB> 0 or the error" per line.
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "links/links.h"
#include "platform/probe.h"
#include "sim/sim.h"

namespace {

std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

bool ParseHex(const std::string& text, std::vector<uint8_t>* out) {
  auto nibble = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (text.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = nibble(text[i]);
    const int lo = nibble(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<uint8_t>(hi * 16 + lo));
  }
  return true;
}

// A fresh machine as the product sees it at start-up: volumes C: and D:, the
// optional functions found and the privileges its token holds switched on.
void FreshMachine() {
  sim::Reset();
  sim::AddVolume(u'D');
  ResetCapabilities();
  ProbeCapabilities();
}

int failures = 0;

void Fail(const std::string& what, DWORD code) {
  std::fprintf(stderr, "emit_records: %s failed with %lu\n", what.c_str(), static_cast<unsigned long>(code));
  ++failures;
}

void Print(const std::u16string& link, const std::string& intended) {
  const sim::NodeInfo info = sim::Inspect(link);
  if (info.reparseData.empty()) {
    Fail(sim::U8(link) + " left no reparse data", 0);
    return;
  }
  std::printf("record\t%s\t%s\t%s\t%s\n", sim::U8(link).c_str(), info.isDirectory ? "dir" : "file",
              Hex(info.reparseData).c_str(), intended.c_str());
}

struct JunctionCase {
  std::u16string name;
  std::u16string target;
  std::u16string intended;
};

// Every target shape the junction writer handles. The working directory is
// C:\work, so relative targets land below it.
std::vector<JunctionCase> JunctionCases() {
  std::vector<JunctionCase> cases = {
      {u"drive", u"C:\\data", u"C:\\data"},
      {u"drive-slash", u"C:\\data\\", u"C:\\data"},
      {u"drive-deeper", u"C:\\data\\sub", u"C:\\data\\sub"},
      {u"drive-forward-slashes", u"C:/data/sub/", u"C:\\data\\sub"},
      {u"drive-dots", u"C:\\work\\..\\data\\.\\sub", u"C:\\data\\sub"},
      {u"drive-lower-case", u"c:\\DATA\\Sub", u"C:\\data\\sub"},
      {u"drive-root", u"C:\\", u"C:\\"},
      {u"other-drive", u"D:\\x", u"D:\\x"},
      {u"other-drive-slash", u"D:\\x\\", u"D:\\x"},
      {u"other-drive-root", u"D:\\", u"D:\\"},
      {u"unc", u"\\\\srv\\share\\dir", u"\\\\srv\\share\\dir"},
      {u"unc-slash", u"\\\\srv\\share\\dir\\", u"\\\\srv\\share\\dir"},
      {u"prefixed", u"\\\\?\\C:\\data", u"C:\\data"},
      {u"prefixed-slash", u"\\\\?\\C:\\data\\", u"C:\\data"},
      {u"prefixed-root", u"\\\\?\\C:\\", u"C:\\"},
      {u"prefixed-unc", u"\\\\?\\UNC\\srv\\share", u"\\\\srv\\share"},
      {u"device", u"\\\\.\\C:\\data", u"C:\\data"},
      {u"relative", u"rel\\target", u"C:\\work\\rel\\target"},
      {u"relative-up", u"..\\data", u"C:\\data"},
      {u"drive-relative", u"C:rel", u"C:\\work\\rel"},
      {u"rooted", u"\\data\\sub", u"C:\\data\\sub"},
      {u"non-ascii", u"C:\\donn\u00e9es\\\u65e5\u672c", u"C:\\donn\u00e9es\\\u65e5\u672c"},
  };
  // Three components of 200 characters: a record of about 1.2 KB.
  std::u16string deep = u"C:\\long";
  for (char16_t c : {u'a', u'b', u'c'}) deep += u"\\" + std::u16string(200, c);
  cases.push_back({u"long", deep, deep});
  return cases;
}

struct SymlinkCase {
  const char16_t* name;
  const char16_t* target;
  DWORD flags;
  const char* intended;
};

// Symbolic links made in C:\s; relative targets are relative to that folder.
const SymlinkCase kSymlinks[] = {
    {u"dir-absolute", u"C:\\data", SYMBOLIC_LINK_FLAG_DIRECTORY, "C:\\data"},
    {u"dir-absolute-slash", u"C:\\data\\", SYMBOLIC_LINK_FLAG_DIRECTORY, "C:\\data\\"},
    {u"dir-dots", u"C:\\s\\..\\data", SYMBOLIC_LINK_FLAG_DIRECTORY, "C:\\data"},
    {u"dir-prefixed", u"\\\\?\\C:\\data", SYMBOLIC_LINK_FLAG_DIRECTORY, "C:\\data"},
    {u"dir-drive-relative", u"C:data", SYMBOLIC_LINK_FLAG_DIRECTORY, "C:\\data"},
    {u"dir-relative-up", u"..\\data", SYMBOLIC_LINK_FLAG_DIRECTORY, "C:\\data"},
    {u"dir-relative-down", u"inner", SYMBOLIC_LINK_FLAG_DIRECTORY, "C:\\s\\inner"},
    {u"dir-rooted", u"\\data\\sub", SYMBOLIC_LINK_FLAG_DIRECTORY, "C:\\data\\sub"},
    {u"dir-other-drive", u"D:\\x", SYMBOLIC_LINK_FLAG_DIRECTORY, "D:\\x"},
    {u"dir-unc", u"\\\\srv\\share\\dir", SYMBOLIC_LINK_FLAG_DIRECTORY, "\\\\srv\\share\\dir"},
    {u"file-absolute", u"C:\\notes.txt", 0, "C:\\notes.txt"},
    {u"file-relative-up", u"..\\notes.txt", 0, "C:\\notes.txt"},
    {u"file-other-drive", u"D:\\x\\notes.txt", 0, "D:\\x\\notes.txt"},
};

// Volumes mounted on folders of C:; the record names the volume itself.
struct MountCase {
  const char16_t* volume;
  const char16_t* folder;
  char16_t letter;
};
const MountCase kMounts[] = {
    {u"D:\\", u"C:\\mnt\\d", u'D'},
    {u"C:\\", u"C:\\mnt\\c", u'C'},
    {u"C:\\mnt\\d\\", u"C:\\mnt\\via-folder", u'D'},
};

int EmitRecords() {
  FreshMachine();
  sim::MakeDirs(u"C:\\work");
  sim::MakeDirs(u"C:\\j");
  if (!SetCurrentDirectoryW(u"C:\\work")) Fail("SetCurrentDirectoryW", GetLastError());
  for (const JunctionCase& c : JunctionCases()) {
    const std::u16string link = u"C:\\j\\" + c.name;
    const DWORD code = MakeJunction(link.c_str(), c.target.c_str());
    if (code != 0) {
      Fail("MakeJunction " + sim::U8(link), code);
      continue;
    }
    Print(link, sim::U8(c.intended));
  }

  if (!SetCurrentDirectoryW(u"C:\\")) Fail("SetCurrentDirectoryW", GetLastError());
  sim::MakeDirs(u"C:\\s");
  for (const SymlinkCase& c : kSymlinks) {
    const std::u16string link = std::u16string(u"C:\\s\\") + c.name;
    if (MakeSymbolicLink(link.c_str(), c.target, c.flags) != 1) {
      Fail("MakeSymbolicLink " + sim::U8(link), GetLastError());
      continue;
    }
    Print(link, c.intended);
  }

  for (const MountCase& c : kMounts) {
    sim::MakeDirs(c.folder);
    const DWORD code = MountVolume(c.volume, c.folder);
    if (code != 0) {
      Fail("MountVolume " + sim::U8(c.folder), code);
      continue;
    }
    Print(c.folder, sim::U8(sim::VolumeGuidPath(c.letter)));
  }
  return failures == 0 ? 0 : 1;
}

// FSCTL_SET_REPARSE_POINT as the product issues it: a handle opened for
// writing on the reparse point itself.
DWORD SetReparse(bool directory, const std::vector<uint8_t>& record) {
  FreshMachine();
  const char16_t* path = u"C:\\target";
  if (directory) {
    sim::MakeDirs(path);
  } else {
    sim::MakeFile(path);
  }
  HANDLE h = CreateFileW(path, GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
  if (h == INVALID_HANDLE_VALUE) {
    Fail("CreateFileW", GetLastError());
    return GetLastError();
  }
  DWORD returned = 0;
  std::vector<uint8_t> buffer = record;
  const BOOL ok = DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, buffer.empty() ? NULL : buffer.data(),
                                  static_cast<DWORD>(buffer.size()), NULL, 0, &returned, NULL);
  const DWORD code = ok ? 0 : GetLastError();
  CloseHandle(h);
  return code;
}

int RunSetReparse() {
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line.empty()) continue;
    std::istringstream fields(line);
    std::string name, kind, hex;
    std::getline(fields, name, '\t');
    std::getline(fields, kind, '\t');
    std::getline(fields, hex, '\t');
    std::vector<uint8_t> record;
    if ((kind != "dir" && kind != "file") || !ParseHex(hex, &record)) {
      std::fprintf(stderr, "emit_records: bad input line for %s\n", name.c_str());
      return 2;
    }
    std::printf("%s\t%lu\n", name.c_str(), static_cast<unsigned long>(SetReparse(kind == "dir", record)));
  }
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 2 ? argv[1] : "";
  if (mode == "records") return EmitRecords();
  if (mode == "set-reparse") return RunSetReparse();
  std::fprintf(stderr, "usage: emit_records records|set-reparse\n");
  return 2;
}
