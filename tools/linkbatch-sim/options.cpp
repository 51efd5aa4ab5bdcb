#include "options.h"

#include <algorithm>
#include <string>

namespace lbsim {

const std::vector<std::string>& KnownPrivileges() {
  static const std::vector<std::string> names = {
      "SeBackupPrivilege", "SeRestorePrivilege", "SeCreateSymbolicLinkPrivilege"};
  return names;
}

const std::vector<std::string>& OptionalExports() {
  static const std::vector<std::string> names = {
      "CreateHardLinkW", "CreateSymbolicLinkW", "GetVolumeNameForVolumeMountPointW",
      "SetVolumeMountPointW", "DeleteVolumeMountPointW"};
  return names;
}

const char* UsageText() {
  return "usage: linkbatch-sim [options] COMMANDFILE [RESULTSFILE]\n"
         "Runs linkbatch on COMMANDFILE (UTF-16LE) against a simulated Windows machine;\n"
         "with RESULTSFILE, linkbatch writes its results file there on this host.\n"
         "  --volume L:=HOSTDIR  drive L: holds a copy of HOSTDIR's directories and files\n"
         "  --volume L:          drive L: is an empty volume (default: one empty C:)\n"
         "  --mkdir PATH         make an empty directory (and its parents) before the run\n"
         "  --cd PATH            current directory (default: the first volume's root)\n"
         "  --windows VERSION    5.0, 5.1, 5.2, 6.0, 6.1, 6.2, 6.3 or 10.0 (default 10.0),\n"
         "                       optionally with a build: 10.0.14393\n"
         "  --developer-mode     Developer Mode is on (symbolic links without the\n"
         "                       privilege from Windows 10 build 14972)\n"
         "  --standard-user      a standard user's token: not elevated, and no\n"
         "                       privileges unless --privileges names some\n"
         "  --without FUNCTION   remove one optional kernel32 function (repeatable)\n"
         "  --no-kernel32        LoadLibraryW(\"kernel32.dll\") fails\n"
         "  --privileges LIST    comma-separated privileges the token holds, or none\n"
         "                       (default SeBackupPrivilege,SeRestorePrivilege,\n"
         "                       SeCreateSymbolicLinkPrivilege)\n"
         "  --trace              print every platform call to standard error\n"
         "  --show               print the volumes' trees before and after the run\n"
         "  --dump-reparse       with --show, print each reparse point's raw data\n"
         "  --help               print this text\n"
         "The last line of standard output is \"exit code: N\"; the status is N modulo 256.\n"
         "Bad options: status 2, nothing run.\n";
}

namespace {

bool ParseVolume(const std::string& value, VolumeOption* volume, std::string* error) {
  // "L:" or "L:=HOSTDIR"
  if (value.size() < 2 || value[1] != ':' ||
      !((value[0] >= 'A' && value[0] <= 'Z') || (value[0] >= 'a' && value[0] <= 'z'))) {
    *error = "--volume wants L: or L:=HOSTDIR, got '" + value + "'";
    return false;
  }
  volume->letter = static_cast<char16_t>(value[0] & ~0x20);
  if (value.size() == 2) return true;
  if (value[2] != '=' || value.size() == 3) {
    *error = "--volume wants L: or L:=HOSTDIR, got '" + value + "'";
    return false;
  }
  volume->hostDir = value.substr(3);
  return true;
}

bool ParseVersion(const std::string& value, Options* out, std::string* error) {
  static const struct {
    const char* text;
    unsigned major, minor;
  } versions[] = {{"5.0", 5, 0}, {"5.1", 5, 1}, {"5.2", 5, 2}, {"6.0", 6, 0},
                  {"6.1", 6, 1}, {"6.2", 6, 2}, {"6.3", 6, 3}, {"10.0", 10, 0}};
  // VERSION or VERSION.BUILD, the build a number from 1 to 99999.
  const size_t firstDot = value.find('.');
  const size_t secondDot = firstDot == std::string::npos ? firstDot : value.find('.', firstDot + 1);
  const std::string release = value.substr(0, secondDot);
  unsigned build = 0;
  if (secondDot != std::string::npos) {
    const std::string digits = value.substr(secondDot + 1);
    bool ok = !digits.empty() && digits.size() <= 5;
    for (char c : digits) ok = ok && c >= '0' && c <= '9';
    if (ok) build = static_cast<unsigned>(std::stoul(digits));
    if (!ok || build == 0) {
      *error = "--windows: the build in '" + value + "' is not a number from 1 to 99999";
      return false;
    }
  }
  for (const auto& v : versions) {
    if (release == v.text) {
      out->major = v.major;
      out->minor = v.minor;
      out->build = build;
      return true;
    }
  }
  *error = "--windows wants 5.0, 5.1, 5.2, 6.0, 6.1, 6.2, 6.3 or 10.0, with an optional .BUILD, got '" +
           value + "'";
  return false;
}

bool ParsePrivileges(const std::string& value, Options* out, std::string* error) {
  out->privileges.clear();
  if (value == "none") return true;
  size_t start = 0;
  for (;;) {
    size_t comma = value.find(',', start);
    std::string name = value.substr(start, comma == std::string::npos ? comma : comma - start);
    const auto& known = KnownPrivileges();
    if (std::find(known.begin(), known.end(), name) == known.end()) {
      *error = "--privileges: unknown privilege '" + name +
               "' (known: SeBackupPrivilege, SeRestorePrivilege, SeCreateSymbolicLinkPrivilege, "
               "or none)";
      return false;
    }
    if (std::find(out->privileges.begin(), out->privileges.end(), name) == out->privileges.end())
      out->privileges.push_back(name);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

// The options that only switch something on.
bool Options::*SwitchNamed(const std::string& name) {
  static const struct {
    const char* name;
    bool Options::*flag;
  } switches[] = {{"--no-kernel32", &Options::noKernel32}, {"--developer-mode", &Options::developerMode},
                  {"--standard-user", &Options::standardUser}, {"--trace", &Options::trace},
                  {"--show", &Options::show}, {"--dump-reparse", &Options::dumpReparse}};
  for (const auto& s : switches) {
    if (name == s.name) return s.flag;
  }
  return nullptr;
}

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options* out, std::string* error) {
  *out = Options();
  out->privileges = KnownPrivileges();
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string name = arg;
    std::string value;
    bool hasInlineValue = false;
    size_t eq = arg.find('=');
    if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      hasInlineValue = true;
    }
    auto takeValue = [&]() -> bool {
      if (hasInlineValue) return true;
      if (i + 1 >= args.size()) {
        *error = name + " wants a value";
        return false;
      }
      value = args[++i];
      return true;
    };
    auto noValue = [&]() -> bool {
      if (!hasInlineValue) return true;
      *error = name + " takes no value";
      return false;
    };
    if (name == "--volume") {
      VolumeOption volume;
      if (!takeValue() || !ParseVolume(value, &volume, error)) return false;
      for (const auto& v : out->volumes) {
        if (v.letter == volume.letter) {
          *error = std::string("--volume: drive ") + static_cast<char>(volume.letter) +
                   ": given twice";
          return false;
        }
      }
      out->volumes.push_back(volume);
    } else if (name == "--mkdir") {
      if (!takeValue()) return false;
      if (value.empty()) {
        *error = "--mkdir wants a path";
        return false;
      }
      out->makeDirs.push_back(value);
    } else if (name == "--cd") {
      if (!takeValue()) return false;
      if (value.empty()) {
        *error = "--cd wants a path";
        return false;
      }
      out->currentDirectory = value;
    } else if (name == "--windows") {
      if (!takeValue() || !ParseVersion(value, out, error)) return false;
    } else if (name == "--without") {
      if (!takeValue()) return false;
      const auto& known = OptionalExports();
      if (std::find(known.begin(), known.end(), value) == known.end()) {
        *error = "--without: '" + value +
                 "' is not one of CreateHardLinkW, CreateSymbolicLinkW, "
                 "GetVolumeNameForVolumeMountPointW, SetVolumeMountPointW, "
                 "DeleteVolumeMountPointW";
        return false;
      }
      out->without.push_back(value);
    } else if (name == "--privileges") {
      if (!takeValue() || !ParsePrivileges(value, out, error)) return false;
      out->privilegesGiven = true;
    } else if (bool Options::*flag = SwitchNamed(name)) {
      if (!noValue()) return false;
      out->*flag = true;
    } else if (name == "--help" || name == "-h") {
      out->help = true;
    } else {
      *error = "unknown option '" + arg + "'";
      return false;
    }
  }
  if (out->help) return true;
  // A standard user's token holds none of the three privileges, unless the
  // account was given some (--privileges says which).
  if (out->standardUser && !out->privilegesGiven) out->privileges.clear();
  if (out->dumpReparse && !out->show) {
    *error = "--dump-reparse needs --show";
    return false;
  }
  if (positional.empty() || positional.size() > 2) {
    *error = positional.empty() ? "no command file given"
                                : "more than a command file and a results file given";
    return false;
  }
  out->commandFile = positional[0];
  if (positional.size() == 2) out->resultsFile = positional[1];
  return true;
}

}  // namespace lbsim
