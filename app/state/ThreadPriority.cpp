#include "state/ThreadPriority.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace dravelin {

int thisThreadNiceValue() {
    // On Linux the nice value belongs to the thread: "process" here is the
    // thread's own id.
    errno = 0;
    return ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
}

bool lowerThisThreadPriority(int increment) {
    const int target = std::min(thisThreadNiceValue() + increment, 19);
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), target) == 0;
}

} // namespace dravelin
