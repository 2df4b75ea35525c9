#include "runtime/SystemMemory.h"

#include <mutex>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace dravelin {

namespace {

// Under it, 4 kB pages of a fresh mapping would cost more faults per
// evaluation than the heap's reuse saves memory; from it on, AlignedBuffer
// takes 2 MB pages.
constexpr int kOwnMappingFrom = 8 << 20;

} // namespace

void keepLargeBlocksOutOfTheHeap() {
#if defined(__GLIBC__)
    static std::once_flag once;
    std::call_once(once, [] { mallopt(M_MMAP_THRESHOLD, kOwnMappingFrom); });
#endif
}

void returnFreedMemory() noexcept {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

} // namespace dravelin
