#include "nn/compute/ComputeWaitPolicy.h"

#include <unistd.h>

#include <cstdlib>

namespace dravelin {

void usePassiveComputeWaiting(char** argv) {
    if (std::getenv("OMP_WAIT_POLICY") != nullptr || std::getenv("GOMP_SPINCOUNT") != nullptr) {
        return;
    }
    if (::setenv("OMP_WAIT_POLICY", "PASSIVE", 0) != 0 || argv == nullptr || argv[0] == nullptr) {
        return;
    }
    ::execv("/proc/self/exe", argv);
    // Still here: no /proc, or the file is gone. This run waits actively.
}

} // namespace dravelin
