// Entry of the clone-progress example, shared by its Windows wmain and the
// host build's main, which runs it against the simulated machine.
#pragma once

#include "platform/platform.h"

// argv[1..] are the example's arguments; returns the process exit code:
// 0 when the clone ended with result 0, 1 when it failed or was cancelled,
// 2 for a usage error.
int CloneProgressMain(int argc, WCHAR** argv);
