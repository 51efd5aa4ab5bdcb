// Builds the simulated machine that a run of linkbatch-sim asks for.
#pragma once

#include <cstdio>
#include <string>

#include "options.h"

namespace lbsim {

// Copies the directories and regular files under hostDir onto the volume
// path destRoot ("C:\"), in name order. Host symbolic links and other special
// files, and names Windows cannot hold, are skipped with a warning on
// `warnings`. Returns false with *error when the host tree cannot be read.
bool CopyHostTree(const std::string& hostDir, const std::u16string& destRoot, FILE* warnings,
                  std::string* error);

// A fresh simulated machine as the options describe. Returns false with
// *error when the machine cannot be built (nothing has been run then).
bool SetUpMachine(const Options& options, FILE* warnings, std::string* error);

// The drive letters the run shows, in letter order.
std::vector<char16_t> ShownVolumes(const Options& options);

}  // namespace lbsim
