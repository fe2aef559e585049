#include "core/util/thread_scheduling.hpp"

#include <sched.h>
#include <stdint.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kelvo {

namespace {

// The kernel's sched_setattr argument, version 1 (56 bytes), written out here because the C
// library has no wrapper for the call.
struct SchedAttr {
    uint32_t size = sizeof(SchedAttr);
    uint32_t policy = SCHED_OTHER;
    uint64_t flags = 0;
    int32_t nice = 0;
    uint32_t priority = 0;
    uint64_t runtimeNs = 0;  // fair policies: the requested slice, 0 for the default
    uint64_t deadlineNs = 0;
    uint64_t periodNs = 0;
    uint32_t utilMin = 0;
    uint32_t utilMax = 0;
};
static_assert(sizeof(SchedAttr) == 56);

bool currentNice(int& nice) {
    errno = 0;
    nice = ::getpriority(PRIO_PROCESS, id_t(::gettid()));
    return errno == 0;
}

bool apply(const SchedAttr& attr) { return ::syscall(SYS_sched_setattr, 0, &attr, 0u) == 0; }

}  // namespace

bool requestShortTimeSlice(std::chrono::microseconds slice) {
    SchedAttr attr;
    if (!currentNice(attr.nice)) return false;
    // The kernel clamps to 0.1…100 ms; 0 would mean the default.
    attr.runtimeNs = uint64_t(std::max<int64_t>(1, slice.count())) * 1000;
    return apply(attr);
}

bool lowerToBatch(int nicer) {
    SchedAttr attr;
    int nice = 0;
    if (!currentNice(nice)) return false;
    attr.policy = SCHED_BATCH;
    attr.nice = std::min(19, nice + std::max(0, nicer));
    return apply(attr);
}

}  // namespace kelvo
