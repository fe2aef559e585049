#pragma once

#include <chrono>

namespace kelvo {

// How the calling thread is scheduled. Threads it starts afterwards inherit what is set here.
// Both return false, changing nothing, where the kernel refuses; callers carry on as they were.

// Fair policy, the thread's niceness kept, and a short time slice: a thread that wakes with a
// shorter slice than the one running preempts it at once instead of waiting out its slice, which
// on a busy core is what keeps a touch from waiting milliseconds behind the encoder. (Kernels
// before 6.12 take the call and keep their default slice.)
bool requestShortTimeSlice(std::chrono::microseconds slice);

// Batch policy, `nicer` steps nicer than now (at most 19), the default slice: a thread that never
// preempts another when it wakes and yields the core to any short-slice thread that does.
bool lowerToBatch(int nicer);

}  // namespace kelvo
