#include "platform/runtime/process_memory.hpp"

#include <malloc.h>

#include "core/util/log.hpp"

namespace kelvo {

void keepLargeAllocationsReturnable() {
    // Setting the bound explicitly also stops the library from moving it.
    if (mallopt(M_MMAP_THRESHOLD, int(kLargeAllocationBytes)) != 1) {
        Log::w("runtime", "cannot set the allocator's mapping bound: memory may grow across sessions");
    }
}

}  // namespace kelvo
