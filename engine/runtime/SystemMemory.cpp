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
// Free memory at the heap's top kept for the next blocks: with the mapping
// threshold fixed, glibc would otherwise give it back at 128 kB and fault it
// in again for the next layer's buffers (a second of system time per
// denoising evaluation). returnFreedMemory() still gives it back.
constexpr int kKeptAtTheTop = 64 << 20;

} // namespace

void keepLargeBlocksOutOfTheHeap() {
#if defined(__GLIBC__)
    static std::once_flag once;
    std::call_once(once, [] {
        mallopt(M_MMAP_THRESHOLD, kOwnMappingFrom);
        mallopt(M_TRIM_THRESHOLD, kKeptAtTheTop);
    });
#endif
}

void returnFreedMemory() noexcept {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

} // namespace dravelin
