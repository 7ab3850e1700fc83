// Heap use of a stretch of code, seen through the C library's allocator, which Qt's containers
// and operator new both end in. Counting is off unless asked for, so timed code pays only a
// relaxed load per allocation.
#pragma once

#include <cstdint>

namespace miruteka::bench {

struct HeapFigures {
    std::int64_t peakBytes = 0; // highest live heap above the start, in usable bytes
    std::int64_t allocations = 0;
};

void StartHeapCount();
HeapFigures StopHeapCount();

template <typename Work> HeapFigures CountHeap(Work&& work)
{
    StartHeapCount();
    work();
    return StopHeapCount();
}

} // namespace miruteka::bench
