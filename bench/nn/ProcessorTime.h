// Processor time of every thread of this process: on a machine others load,
// it stays near the work done where wall time does not (with
// OMP_WAIT_POLICY=passive, waiting threads do not add to it).
#pragma once

#include <ctime>

namespace dravelin {

inline double processorSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

} // namespace dravelin
