#include "setup.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <system_error>
#include <utility>

#include "sim/fullpath.h"
#include "sim/sim.h"

namespace fs = std::filesystem;

namespace lbsim {
namespace {

// Characters NTFS refuses in a name through the Win32 layer, and names that
// Win32 path parsing would rewrite (trailing dot or space).
bool WindowsCanHold(const std::u16string& name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  for (char16_t c : name) {
    if (c < 0x20 || c == u'\\' || c == u'/' || c == u':' || c == u'*' || c == u'?' || c == u'"' ||
        c == u'<' || c == u'>' || c == u'|')
      return false;
  }
  return name.back() != u'.' && name.back() != u' ';
}

// Why a host name cannot become a name on the volume, or null.
const char* RefusedName(const std::string& hostName, const std::u16string& name) {
  // A host name that is not UTF-8 has no UTF-16 spelling.
  if (sim::U8(name) != hostName) return "its name is not UTF-8";
  if (!WindowsCanHold(name)) return "Windows cannot hold that name";
  // CON, NUL, AUX.c and the like name devices: RtlIsDosDeviceName_U.
  std::u16string device;
  if (sim::DosDeviceName(name, &device)) return "the name is a DOS device name";
  return nullptr;
}

// The hidden and system attributes a host entry carries in the extended
// attribute where Wine (ntdll/unix/file.c) and Samba keep DOS attributes,
// written as "0x" and hexadecimal digits; read-only follows the missing
// write permission, as Wine maps it.
DWORD HostAttributes(const fs::path& path, const struct stat& st) {
  DWORD attributes = (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) ? 0 : FILE_ATTRIBUTE_READONLY;
  char text[32] = {};
  ssize_t n = getxattr(path.c_str(), "user.DOSATTRIB", text, sizeof text - 1);
  if (n > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    char* end = nullptr;
    unsigned long bits = strtoul(text + 2, &end, 16);
    attributes |= static_cast<DWORD>(bits) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  }
  return attributes;
}

std::string Failure(const char* what, const std::u16string& path) {
  return std::string(what) + " '" + sim::U8(path) + "' (error " + std::to_string(GetLastError()) + ")";
}

// A file with the host file's bytes and attributes, made through the
// simulated calls.
bool CopyFile(const fs::path& host, const std::u16string& dest, DWORD attributes, std::string* error) {
  std::ifstream in(host, std::ios::binary);
  std::vector<char> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.eof() && in.fail()) {
    *error = "cannot read host file '" + host.string() + "'";
    return false;
  }
  HANDLE h = CreateFileW(dest.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         attributes ? attributes : FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    *error = Failure("cannot make file", dest);
    return false;
  }
  DWORD written = 0;
  bool ok = data.empty() || WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
  if (!ok) *error = Failure("cannot write file", dest);
  CloseHandle(h);
  return ok;
}

// Names of host files already copied, by identity: a second name of one
// becomes a hard link.
using CopiedFiles = std::map<std::pair<dev_t, ino_t>, std::u16string>;

bool CopyLevel(const fs::path& hostDir, const std::u16string& dest, FILE* warnings,
               CopiedFiles* copied, std::string* error) {
  std::error_code ec;
  std::vector<fs::path> entries;
  for (fs::directory_iterator it(hostDir, ec), end; !ec && it != end; it.increment(ec))
    entries.push_back(it->path());
  if (ec) {
    *error = "cannot read host directory '" + hostDir.string() + "': " + ec.message();
    return false;
  }
  std::sort(entries.begin(), entries.end());
  std::u16string prefix = dest.back() == u'\\' ? dest : dest + u"\\";
  std::set<std::u16string> taken;
  for (const fs::path& entry : entries) {
    const std::string hostName = entry.filename().string();
    std::u16string name = sim::W(hostName);
    // NTFS names compare without regard to case through the Win32 layer, so
    // "A" and "a" on the host would be one entry on the volume.
    std::u16string folded = name;
    for (char16_t& c : folded)
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
    struct stat st;
    if (lstat(entry.c_str(), &st) != 0) {
      *error = "cannot read host entry '" + entry.string() + "'";
      return false;
    }
    const std::u16string path = prefix + name;
    if (const char* why = RefusedName(hostName, name)) {
      fprintf(warnings, "linkbatch-sim: skipped '%s': %s\n", entry.string().c_str(), why);
    } else if (!taken.insert(folded).second) {
      fprintf(warnings, "linkbatch-sim: skipped '%s': its name differs from another only in case\n",
              entry.string().c_str());
    } else if (S_ISLNK(st.st_mode)) {
      fprintf(warnings, "linkbatch-sim: skipped host symbolic link '%s'\n", entry.string().c_str());
    } else if (S_ISDIR(st.st_mode)) {
      if (!CreateDirectoryW(path.c_str(), nullptr)) {
        *error = Failure("cannot make directory", path);
        return false;
      }
      if (HostAttributes(entry, st)) {
        fprintf(warnings, "linkbatch-sim: '%s': a directory's attributes are not copied\n",
                entry.string().c_str());
      }
      if (!CopyLevel(entry, path, warnings, copied, error)) return false;
    } else if (S_ISREG(st.st_mode)) {
      auto first = copied->find({st.st_dev, st.st_ino});
      if (first != copied->end()) {
        if (!sim::CreateHardLinkW(path.c_str(), first->second.c_str(), nullptr)) {
          *error = Failure("cannot make hard link", path);
          return false;
        }
      } else {
        if (!CopyFile(entry, path, HostAttributes(entry, st), error)) return false;
        if (st.st_nlink > 1) copied->emplace(std::make_pair(st.st_dev, st.st_ino), path);
      }
    } else {
      fprintf(warnings, "linkbatch-sim: skipped '%s': not a directory or regular file\n",
              entry.string().c_str());
    }
  }
  return true;
}

std::u16string Root(char16_t letter) { return std::u16string(1, letter) + u":\\"; }

// The absolute form GetFullPathNameW gives a drive path; false for a path
// that cannot be made absolute or names a device ("C:\\CON" is "\\\\.\\CON").
bool FullDrivePath(const std::u16string& path, std::u16string* full) {
  std::vector<WCHAR> buffer(path.size() + MAX_PATH);
  DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), nullptr);
  if (n == 0 || n >= buffer.size()) return false;
  full->assign(buffer.data(), n);
  return full->size() >= 3 && (*full)[1] == u':' && (*full)[2] == u'\\';
}

// --mkdir: the path goes through the full-path rules of the product's calls
// ("." and ".." resolved, a trailing dot or space dropped), and each missing
// directory is made with CreateDirectoryW, so a name Windows refuses is
// refused here with Windows' error.
bool MakeDirectory(const std::string& dir, const std::vector<char16_t>& volumes, std::string* error) {
  std::u16string path = sim::W(dir);
  if (path.size() < 3 || path[1] != u':' || (path[2] != u'\\' && path[2] != u'/')) {
    *error = "--mkdir wants an absolute drive path such as C:\\mnt, got '" + dir + "'";
    return false;
  }
  char16_t letter = static_cast<char16_t>(path[0] & ~0x20);
  if (std::find(volumes.begin(), volumes.end(), letter) == volumes.end()) {
    *error = "--mkdir: no volume " + std::string(1, static_cast<char>(letter)) + ": for '" + dir + "'";
    return false;
  }
  std::u16string normal;
  if (!FullDrivePath(path, &normal)) {
    *error = "--mkdir: '" + dir + "' names a device or cannot be made absolute";
    return false;
  }
  while (normal.size() > 3 && normal.back() == u'\\') normal.pop_back();
  for (size_t end = 3; end <= normal.size(); ++end) {
    if (end < normal.size() && normal[end] != u'\\') continue;
    std::u16string step = normal.substr(0, end);
    DWORD attributes = GetFileAttributesW(step.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      if (!CreateDirectoryW(step.c_str(), nullptr)) {
        *error = "--mkdir: " + Failure("cannot make directory", step);
        return false;
      }
    } else if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      *error = "--mkdir: '" + sim::U8(step) + "' is a file";
      return false;
    }
  }
  return true;
}

}  // namespace

bool CopyHostTree(const std::string& hostDir, const std::u16string& destRoot, FILE* warnings,
                  std::string* error) {
  std::error_code ec;
  if (!fs::is_directory(hostDir, ec)) {
    *error = "'" + hostDir + "' is not a host directory";
    return false;
  }
  CopiedFiles copied;
  return CopyLevel(fs::path(hostDir), destRoot, warnings, &copied, error);
}

std::vector<char16_t> ShownVolumes(const Options& options) {
  std::vector<char16_t> letters;
  for (const auto& v : options.volumes) letters.push_back(v.letter);
  if (letters.empty()) letters.push_back(u'C');
  std::sort(letters.begin(), letters.end());
  return letters;
}

bool StartProcess(const Options& options, std::string* error) {
  // What the process before left behind goes with it: Windows closes every
  // handle of a process that ends, however it ends.
  sim::CloseProcessHandles();
  sim::ResetCrtStreams();
  sim::ResetProcess();
  sim::SetWindowsVersion(options.major, options.minor, options.build);
  sim::SetDeveloperMode(options.developerMode);
  sim::SetElevated(!options.standardUser);
  // CreateHardLinkW and the volume mount point functions exist from 5.0 on,
  // CreateSymbolicLinkW from 6.0 on.
  sim::SetExportPresent("CreateSymbolicLinkW", options.major >= 6);
  for (const auto& name : options.without) sim::SetExportPresent(name, false);
  sim::SetLoadLibraryFails(options.noKernel32);
  std::vector<std::u16string> held;
  for (const auto& p : options.privileges) held.push_back(sim::W(p));
  sim::SetTokenPrivileges(held);

  std::u16string cd = options.currentDirectory.empty()
                          ? Root(options.volumes.empty() ? u'C' : options.volumes[0].letter)
                          : sim::W(options.currentDirectory);
  SetLastError(0);
  if (!SetCurrentDirectoryW(cd.c_str())) {
    *error = "--cd: cannot make '" + sim::U8(cd) + "' the current directory (error " +
             std::to_string(GetLastError()) + ")";
    return false;
  }
  sim::ClearCalls();
  sim::ClearFaults();
  return true;
}

bool SetUpMachine(const Options& options, FILE* warnings, std::string* error) {
  sim::Reset();
  for (const auto& v : options.volumes) {
    // A fresh machine already has C:.
    if (v.letter != u'C') sim::AddVolume(v.letter);
    if (!v.hostDir.empty() && !CopyHostTree(v.hostDir, Root(v.letter), warnings, error))
      return false;
  }
  for (const auto& dir : options.makeDirs) {
    if (!MakeDirectory(dir, ShownVolumes(options), error)) return false;
  }
  for (const auto& share : options.shares) {
    std::u16string directory;
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    if (FullDrivePath(sim::W(share.directory), &directory)) attributes = GetFileAttributesW(directory.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      *error = "--share: '" + share.directory + "' is not a directory on a volume";
      return false;
    }
    sim::AddShare(sim::W(share.server), sim::W(share.name), directory);
  }
  for (const auto& route : options.routes) sim::RouteToHost(sim::W(route.path), route.host);
  return StartProcess(options, error);
}

}  // namespace lbsim
