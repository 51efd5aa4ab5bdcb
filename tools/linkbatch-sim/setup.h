// Builds the simulated machine that a run of linkbatch-sim asks for.
#pragma once

#include <cstdio>
#include <string>

#include "options.h"

namespace lbsim {

// Copies the directories and regular files under hostDir onto the volume
// path destRoot ("C:\"), in name order: each file with its bytes, read-only
// when it has no write permission, hidden or system as its user.DOSATTRIB
// extended attribute says (where Wine keeps them), and a second name of one
// host file as a hard link. Host symbolic links and other special files, and
// names Windows cannot hold (DOS device names and names that are not UTF-8
// included), are skipped with a warning on `warnings`. Returns false with
// *error when the host tree cannot be read or copied.
bool CopyHostTree(const std::string& hostDir, const std::u16string& destRoot, FILE* warnings,
                  std::string* error);

// A fresh simulated machine as the options describe, with a process ready to
// run. Returns false with *error when the machine cannot be built (nothing
// has been run then).
bool SetUpMachine(const Options& options, FILE* warnings, std::string* error);

// A new process on the same machine, after the one before ended: its handles
// closed, a fresh token, the version and functions the options describe, the
// current directory, no calls counted and no faults. The caller also resets
// the product's own process state (ResetCapabilities).
bool StartProcess(const Options& options, std::string* error);

// The drive letters the run shows, in letter order.
std::vector<char16_t> ShownVolumes(const Options& options);

}  // namespace lbsim
