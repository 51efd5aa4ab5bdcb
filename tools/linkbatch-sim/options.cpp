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
  return "usage: linkbatch-sim [options] COMMANDFILE [RESULTSFILE] [--then COMMANDFILE [RESULTSFILE]]...\n"
         "       linkbatch-sim [options] -- [ARGUMENT]...\n"
         "Runs linkbatch on COMMANDFILE (UTF-16LE) against a simulated Windows machine;\n"
         "with RESULTSFILE, linkbatch writes its results file there: on this host, or on\n"
         "the simulated machine when it is written C:\\... After --, the arguments are\n"
         "linkbatch's own, as many as given.\n"
         "  --volume L:=HOSTDIR  drive L: holds a copy of HOSTDIR's directories and files\n"
         "  --volume L:          drive L: is an empty volume (default: one empty C:)\n"
         "  --mkdir PATH         make an empty directory (and its parents) before the run\n"
         "  --share \\\\SERVER\\NAME=DIR  the server share reaches the directory DIR\n"
         "  --route PATH=HOSTFILE  the simulated file PATH is the host file HOSTFILE\n"
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
         "  --dump-data          with --show, print each file's data\n"
         "  --fail NAME[:N[:CODE]]  the Nth call of NAME (default 1) fails with CODE\n"
         "                       (default 5; silent: the last error is left as it was)\n"
         "  --fail-nth N[:CODE]  the Nth call of any function that can fail fails\n"
         "  --kill-at NAME[:N]   the process is killed as the Nth call of NAME begins\n"
         "  --then COMMANDFILE [RESULTSFILE]  then run linkbatch again on the same\n"
         "                       machine with every fault cleared; --fail, --fail-nth and\n"
         "                       --kill-at after it apply to that run (repeatable)\n"
         "  --help               print this text\n"
         "The last line of standard output is \"exit code: N\" of the last run; the\n"
         "status is N modulo 256. Bad options or set-up: status 2, nothing run.\n";
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

// \\SERVER\NAME=C:\DIR
bool ParseShare(const std::string& value, ShareOption* share, std::string* error) {
  const size_t eq = value.find('=');
  const size_t slash = value.find('\\', 2);
  if (value.compare(0, 2, "\\\\") != 0 || eq == std::string::npos || slash == std::string::npos ||
      slash == 2 || slash + 1 >= eq || value.find('\\', slash + 1) < eq || eq + 1 == value.size()) {
    *error = "--share wants \\\\SERVER\\NAME=DIR, got '" + value + "'";
    return false;
  }
  share->server = value.substr(2, slash - 2);
  share->name = value.substr(slash + 1, eq - slash - 1);
  share->directory = value.substr(eq + 1);
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

bool ParseCount(const std::string& text, int* n) {
  if (text.empty() || text.size() > 9) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  *n = std::stoi(text);
  return *n > 0;
}

bool ParseCode(const std::string& text, FaultOption* fault) {
  if (text == "silent") {
    fault->silent = true;
    return true;
  }
  if (text.empty() || text.size() > 10) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  fault->code = std::stoul(text);
  return fault->code <= 0xFFFFFFFFul;
}

bool IsFunctionName(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_'))
      return false;
  }
  return true;
}

// NAME[:N[:CODE]] for --fail, N[:CODE] for --fail-nth, NAME[:N] for --kill-at.
bool ParseFault(const std::string& option, const std::string& value, FaultOption* fault,
                std::string* error) {
  std::vector<std::string> parts;
  for (size_t start = 0;;) {
    size_t colon = value.find(':', start);
    parts.push_back(value.substr(start, colon == std::string::npos ? colon : colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  fault->text = option + " " + value;
  bool ok;
  if (option == "--fail-nth") {
    fault->kind = FaultOption::Kind::FailNth;
    ok = parts.size() <= 2 && ParseCount(parts[0], &fault->nth) &&
         (parts.size() < 2 || ParseCode(parts[1], fault));
  } else {
    const bool kill = option == "--kill-at";
    fault->kind = kill ? FaultOption::Kind::Kill : FaultOption::Kind::Fail;
    fault->name = parts[0];
    ok = parts.size() <= (kill ? 2u : 3u) && IsFunctionName(parts[0]) &&
         (parts.size() < 2 || ParseCount(parts[1], &fault->nth)) &&
         (parts.size() < 3 || ParseCode(parts[2], fault));
  }
  if (!ok) {
    *error = option + " wants " +
             (option == "--fail-nth" ? "N[:CODE]"
              : option == "--kill-at" ? "NAME[:N]"
                                      : "NAME[:N[:CODE]]") +
             " (N from 1, CODE a number or silent), got '" + value + "'";
  }
  return ok;
}

// The options that only switch something on.
bool Options::*SwitchNamed(const std::string& name) {
  static const struct {
    const char* name;
    bool Options::*flag;
  } switches[] = {{"--no-kernel32", &Options::noKernel32}, {"--developer-mode", &Options::developerMode},
                  {"--standard-user", &Options::standardUser}, {"--trace", &Options::trace},
                  {"--show", &Options::show}, {"--dump-reparse", &Options::dumpReparse},
                  {"--dump-data", &Options::dumpData}};
  for (const auto& s : switches) {
    if (name == s.name) return s.flag;
  }
  return nullptr;
}

}  // namespace

bool IsMachinePath(const std::string& path) {
  if (!path.empty() && path[0] == '\\') return true;
  return path.size() >= 2 && path[1] == ':' &&
         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

bool ParseOptions(const std::vector<std::string>& args, Options* out, std::string* error) {
  *out = Options();
  out->privileges = KnownPrivileges();
  out->runs.emplace_back();
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    std::vector<std::string>& runArgs = out->runs.back().args;
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      if (!optionsEnded && runArgs.size() == 2) {
        *error = out->runs.size() == 1 ? "more than a command file and a results file given"
                                       : "more than a command file and a results file after --then";
        return false;
      }
      runArgs.push_back(arg);
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
    } else if (name == "--share") {
      ShareOption share;
      if (!takeValue() || !ParseShare(value, &share, error)) return false;
      out->shares.push_back(share);
    } else if (name == "--route") {
      if (!takeValue()) return false;
      const size_t eq = value.find('=');
      if (eq == std::string::npos || eq == 0 || eq + 1 == value.size() || !IsMachinePath(value)) {
        *error = "--route wants PATH=HOSTFILE, PATH a Windows path, got '" + value + "'";
        return false;
      }
      out->routes.push_back({value.substr(0, eq), value.substr(eq + 1)});
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
    } else if (name == "--fail" || name == "--fail-nth" || name == "--kill-at") {
      FaultOption fault;
      if (!takeValue() || !ParseFault(name, value, &fault, error)) return false;
      out->runs.back().faults.push_back(fault);
    } else if (name == "--then") {
      if (!takeValue()) return false;
      if (out->runs.back().args.empty()) {
        *error = "--then follows a run without a command file";
        return false;
      }
      out->runs.emplace_back();
      out->runs.back().args.push_back(value);
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
  if ((out->dumpReparse || out->dumpData) && !out->show) {
    *error = std::string(out->dumpReparse ? "--dump-reparse" : "--dump-data") + " needs --show";
    return false;
  }
  // After "--" any number of arguments, none included, is linkbatch's own.
  if (out->runs.front().args.empty() && !optionsEnded) {
    *error = "no command file given";
    return false;
  }
  return true;
}

}  // namespace lbsim
