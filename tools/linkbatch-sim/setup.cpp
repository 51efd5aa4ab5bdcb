#include "setup.h"

#include <algorithm>
#include <filesystem>
#include <set>
#include <system_error>

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

bool CopyLevel(const fs::path& hostDir, const std::u16string& dest, FILE* warnings,
               std::string* error) {
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
    std::u16string name = sim::W(entry.filename().string());
    // NTFS names compare without regard to case through the Win32 layer, so
    // "A" and "a" on the host would be one entry on the volume.
    std::u16string folded = name;
    for (char16_t& c : folded)
      if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 0x20);
    fs::file_status status = fs::symlink_status(entry, ec);
    if (ec) {
      *error = "cannot read host entry '" + entry.string() + "': " + ec.message();
      return false;
    }
    if (!WindowsCanHold(name)) {
      fprintf(warnings, "linkbatch-sim: skipped '%s': Windows cannot hold that name\n",
              entry.string().c_str());
    } else if (!taken.insert(folded).second) {
      fprintf(warnings, "linkbatch-sim: skipped '%s': its name differs from another only in case\n",
              entry.string().c_str());
    } else if (fs::is_symlink(status)) {
      fprintf(warnings, "linkbatch-sim: skipped host symbolic link '%s'\n", entry.string().c_str());
    } else if (fs::is_directory(status)) {
      sim::MakeDirs(prefix + name);
      if (!CopyLevel(entry, prefix + name, warnings, error)) return false;
    } else if (fs::is_regular_file(status)) {
      sim::MakeFile(prefix + name);
    } else {
      fprintf(warnings, "linkbatch-sim: skipped '%s': not a directory or regular file\n",
              entry.string().c_str());
    }
  }
  return true;
}

std::u16string Root(char16_t letter) { return std::u16string(1, letter) + u":\\"; }

}  // namespace

bool CopyHostTree(const std::string& hostDir, const std::u16string& destRoot, FILE* warnings,
                  std::string* error) {
  std::error_code ec;
  if (!fs::is_directory(hostDir, ec)) {
    *error = "'" + hostDir + "' is not a host directory";
    return false;
  }
  return CopyLevel(fs::path(hostDir), destRoot, warnings, error);
}

std::vector<char16_t> ShownVolumes(const Options& options) {
  std::vector<char16_t> letters;
  for (const auto& v : options.volumes) letters.push_back(v.letter);
  if (letters.empty()) letters.push_back(u'C');
  std::sort(letters.begin(), letters.end());
  return letters;
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
    std::u16string path = sim::W(dir);
    std::replace(path.begin(), path.end(), u'/', u'\\');
    if (path.size() < 3 || path[1] != u':' || path[2] != u'\\') {
      *error = "--mkdir wants an absolute drive path such as C:\\mnt, got '" + dir + "'";
      return false;
    }
    char16_t letter = static_cast<char16_t>(path[0] & ~0x20);
    std::vector<char16_t> shown = ShownVolumes(options);
    if (std::find(shown.begin(), shown.end(), letter) == shown.end()) {
      *error = "--mkdir: no volume " + std::string(1, static_cast<char>(letter)) + ": for '" + dir + "'";
      return false;
    }
    path[0] = letter;
    sim::MakeDirs(path);
    if (!sim::Inspect(path).isDirectory) {
      *error = "--mkdir: could not make directory '" + dir + "'";
      return false;
    }
  }

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

}  // namespace lbsim
