#include "nn/compute/AlignedBuffer.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace dravelin {

namespace {

// Cache-line alignment; also what 512-bit vector loads want.
constexpr size_t kAlignment = 64;
// Buffers from this size on (a large feature map, a layer's laid-out input)
// are held in 2 MB pages where the kernel offers them: a fresh buffer's first
// touch then faults once per 2 MB instead of once per 4 kB, which took about
// half the processor time of writing a new 134 MB map.
constexpr size_t kLargePageFrom = size_t{8} << 20;
constexpr size_t kLargePage = size_t{2} << 20;

std::atomic<int64_t> inUse{0};
std::atomic<int64_t> peak{0};

void account(int64_t bytes) {
    const int64_t now = inUse.fetch_add(bytes) + bytes;
    int64_t seen = peak.load();
    while (now > seen && !peak.compare_exchange_weak(seen, now)) {
    }
}

} // namespace

AlignedBuffer::AlignedBuffer(size_t count, bool zeroed) {
    if (count == 0) {
        return;
    }
    if (count > (SIZE_MAX - kLargePage) / sizeof(float)) {
        throw std::bad_alloc();
    }
    const size_t wanted = count * sizeof(float);
    const size_t alignment = wanted >= kLargePageFrom ? kLargePage : kAlignment;
    const size_t bytes = (wanted + alignment - 1) / alignment * alignment;
    data_ = static_cast<float*>(std::aligned_alloc(alignment, bytes));
    if (data_ == nullptr) {
        throw std::bad_alloc();
    }
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (alignment == kLargePage) {
        // Advice only: where the kernel declines, 4 kB pages serve as before.
        madvise(data_, bytes, MADV_HUGEPAGE);
    }
#endif
    count_ = count;
    if (zeroed) {
        std::memset(data_, 0, count * sizeof(float));
    }
    account(static_cast<int64_t>(count_ * sizeof(float)));
}

AlignedBuffer::~AlignedBuffer() {
    release();
}

AlignedBuffer::AlignedBuffer(AlignedBuffer&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), count_(std::exchange(other.count_, 0)) {}

AlignedBuffer& AlignedBuffer::operator=(AlignedBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = std::exchange(other.data_, nullptr);
        count_ = std::exchange(other.count_, 0);
    }
    return *this;
}

void AlignedBuffer::release() {
    if (data_ != nullptr) {
        std::free(data_);
        account(-static_cast<int64_t>(count_ * sizeof(float)));
        data_ = nullptr;
        count_ = 0;
    }
}

int64_t AlignedBuffer::bytesInUse() {
    return inUse.load();
}

int64_t AlignedBuffer::peakBytesInUse() {
    return peak.load();
}

void AlignedBuffer::resetPeak() {
    peak.store(inUse.load());
}

} // namespace dravelin
