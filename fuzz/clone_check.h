// What must hold after a tree clone, for the clone fuzz target.
#pragma once

#include <map>
#include <string>

#include "clone/clone.h"
#include "fuzz/fuzz_support.h"

namespace lbfuzz {

// before: the volume C: before the clone of C:\s into C:\d; planted: each
// link in the source (upper-cased path) and the real directory it leads to.
// Calls Fail on the first broken invariant.
void CheckCloneOutcome(const Snapshot& before, const FailureList& failures, DWORD result,
                       DWORD counter, LinkKind kind, unsigned char usePrefix,
                       const std::map<std::u16string, std::u16string>& planted);

}  // namespace lbfuzz
