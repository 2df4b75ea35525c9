#pragma once

#if defined(__x86_64__) || defined(__SSE__)
#include <xmmintrin.h>
#endif

namespace dravelin {

// While it lives, the calling thread's float results below the smallest
// normal number become zero and such inputs read as zero (x86's FTZ and DAZ
// bits); the previous mode comes back after.
//
// The vectorised loops that call clampedExp compute both sides of the clamp
// for every lane and blend: the clamped side multiplies ordinary values by
// e^-87-sized constants, whose subnormal products then cost a microcode assist
// per vector (silu ran 7× slower for it). Flushing changes no result above
// 1.2e-38.
class FlushDenormals {
public:
#if defined(__x86_64__) || defined(__SSE__)
    FlushDenormals() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | kFlushBits); }
    ~FlushDenormals() { _mm_setcsr(saved_); }
#else
    FlushDenormals() = default;
#endif
    FlushDenormals(const FlushDenormals&) = delete;
    FlushDenormals& operator=(const FlushDenormals&) = delete;

private:
#if defined(__x86_64__) || defined(__SSE__)
    // Flush-to-zero (bit 15) and denormals-are-zero (bit 6).
    static constexpr unsigned kFlushBits = 0x8040u;
    unsigned saved_;
#endif
};

} // namespace dravelin
