#pragma once

#include <oneapi/dnnl/dnnl.hpp>

namespace dravelin {

// Where the layers run: the oneDNN CPU engine (one per process) and a stream
// per calling thread, so that two models predicting on two threads never
// share one.
class ComputeContext {
public:
    static const dnnl::engine& engine();
    static dnnl::stream& stream();

    // Threads a prediction uses: DRAVELIN_THREADS when set, else
    // OMP_NUM_THREADS when set, else one per physical core this process may
    // run on (its affinity; a second hardware thread on a core only competes
    // for the same vector units), no more than its control group's CPU quota
    // allows.
    static int threadCount();
};

// Gives the calling thread's OpenMP team (oneDNN's and our own loops) the
// compute thread count for as long as it lives.
class ComputeThreadsScope {
public:
    ComputeThreadsScope();
    ~ComputeThreadsScope();
    ComputeThreadsScope(const ComputeThreadsScope&) = delete;
    ComputeThreadsScope& operator=(const ComputeThreadsScope&) = delete;

private:
    int previous_;
};

} // namespace dravelin
