#pragma once

#include <cstddef>
#include <cstdint>

namespace dravelin {

// Float storage aligned for vector loads, owned by one object at a time.
// Every allocation is counted, so a benchmark can tell how much activation
// memory a network needed at its peak.
class AlignedBuffer {
public:
    AlignedBuffer() = default;
    // `count` floats, left uninitialised unless `zeroed`.
    explicit AlignedBuffer(size_t count, bool zeroed = false);
    ~AlignedBuffer();
    AlignedBuffer(AlignedBuffer&& other) noexcept;
    AlignedBuffer& operator=(AlignedBuffer&& other) noexcept;
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;

    float* data() { return data_; }
    const float* data() const { return data_; }
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }

    // Bytes held by all buffers now, and the most held at once since the
    // last resetPeak().
    static int64_t bytesInUse();
    static int64_t peakBytesInUse();
    static void resetPeak();

private:
    void release();

    float* data_ = nullptr;
    size_t count_ = 0;
};

} // namespace dravelin
