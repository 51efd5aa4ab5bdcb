// The conformance probe's one entry: runs every call below the scratch
// directory root (which it creates) and prints the transcript on standard
// output. Returns 0 when the transcript is complete.
#pragma once

#include "platform/platform.h"

int RunConformance(const WCHAR* root);
