// Command line of linkbatch-sim: what machine to simulate and what to print.
#pragma once

#include <string>
#include <vector>

namespace lbsim {

struct VolumeOption {
  char16_t letter = u'C';
  std::string hostDir;  // empty: an empty volume
};

// A fault armed for one run: --fail, --fail-nth or --kill-at. Calls are
// counted from the start of the run.
struct FaultOption {
  enum class Kind { Fail, FailNth, Kill };
  Kind kind = Kind::Fail;
  std::string name;         // the function; empty for FailNth
  int nth = 1;              // the call that fails or is killed, from 1
  unsigned long code = 5;   // the error it fails with (not for Kill)
  bool silent = false;      // fails leaving the last error as it was
  std::string text;         // as written, for messages
};

// One run of linkbatch on the machine: the first, then one per --then.
struct RunOption {
  std::vector<std::string> args;      // linkbatch's arguments
  std::vector<FaultOption> faults;    // armed as the run starts
};

// \\SERVER\NAME reaches DIRECTORY, a directory on a volume.
struct ShareOption {
  std::string server;
  std::string name;
  std::string directory;
};

// The simulated path `path`, under any spelling, is the host file `host`.
struct RouteOption {
  std::string path;
  std::string host;
};

struct Options {
  std::vector<VolumeOption> volumes;      // empty: the default empty C:
  std::vector<ShareOption> shares;
  std::vector<RouteOption> routes;
  std::string currentDirectory;         // empty: the first volume's root
  std::vector<std::string> makeDirs;    // empty directories made before the run
  unsigned major = 10;
  unsigned minor = 0;
  unsigned build = 0;                   // 0: the release's own build
  bool developerMode = false;
  bool standardUser = false;            // a standard user's token, not elevated
  std::vector<std::string> without;     // optional kernel32 exports removed
  bool noKernel32 = false;
  std::vector<std::string> privileges;  // held by the token
  bool privilegesGiven = false;         // --privileges was given
  bool trace = false;
  bool show = false;
  bool dumpReparse = false;
  bool dumpData = false;
  bool help = false;
  // The runs in order. The first run's arguments are COMMANDFILE
  // [RESULTSFILE], or everything after "--"; a --then run's are its
  // COMMANDFILE [RESULTSFILE].
  std::vector<RunOption> runs;
};

// The privileges of an elevated administrator's token that the product uses.
const std::vector<std::string>& KnownPrivileges();
// The five kernel32 exports the product resolves at run time.
const std::vector<std::string>& OptionalExports();

// A RESULTSFILE written as a Windows path (a drive letter and a colon, or a
// leading backslash) is made on the simulated machine; any other is a host
// path.
bool IsMachinePath(const std::string& path);

// Parses the arguments after the program name. On failure returns false and
// says why in *error; *out is then unspecified.
bool ParseOptions(const std::vector<std::string>& args, Options* out, std::string* error);

const char* UsageText();

}  // namespace lbsim
