#include "nn/compute/AlignedBuffer.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace dravelin {

namespace {

// Cache-line alignment; also what 512-bit vector loads want.
constexpr size_t kAlignment = 64;

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
    if (count > (SIZE_MAX - kAlignment) / sizeof(float)) {
        throw std::bad_alloc();
    }
    const size_t bytes = (count * sizeof(float) + kAlignment - 1) / kAlignment * kAlignment;
    data_ = static_cast<float*>(std::aligned_alloc(kAlignment, bytes));
    if (data_ == nullptr) {
        throw std::bad_alloc();
    }
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
