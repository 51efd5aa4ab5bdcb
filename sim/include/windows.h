// The host build's <windows.h>: the simulated platform's declarations of the
// Win32 surface the product uses. The build puts this folder first on the
// include path of everything that compiles the product for the host.
#pragma once

#include "sim/win32.h"
