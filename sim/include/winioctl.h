// The host build's <winioctl.h>: the control codes live in sim/win32.h with
// the rest of the simulated platform's declarations.
#pragma once

#include "sim/win32.h"
