// Command line of linkbatch-sim: what machine to simulate and what to print.
#pragma once

#include <string>
#include <vector>

namespace lbsim {

struct VolumeOption {
  char16_t letter = u'C';
  std::string hostDir;  // empty: an empty volume
};

struct Options {
  std::vector<VolumeOption> volumes;      // empty: the default empty C:
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
  bool help = false;
  std::string commandFile;
  std::string resultsFile;              // empty: none asked for
};

// The privileges of an elevated administrator's token that the product uses.
const std::vector<std::string>& KnownPrivileges();
// The five kernel32 exports the product resolves at run time.
const std::vector<std::string>& OptionalExports();

// Parses the arguments after the program name. On failure returns false and
// says why in *error; *out is then unspecified.
bool ParseOptions(const std::vector<std::string>& args, Options* out, std::string* error);

const char* UsageText();

}  // namespace lbsim
