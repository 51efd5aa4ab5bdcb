// The benchmarks' view of the heap: the global allocation functions, replaced
// in heap_counter.cpp, count every allocation and the bytes held.
#pragma once

#include <cstddef>

namespace bench {

// Allocations made so far.
long long HeapAllocations();
// Bytes held now.
size_t HeapLive();
// The most bytes held since the last ResetHeapPeak.
size_t HeapPeak();
void ResetHeapPeak();

}  // namespace bench
