#pragma once

namespace kelvo {

// Makes every allocation of at least `kLargeAllocationBytes` (frames, the encoder's pictures, the
// conversion buffers) its own mapping that goes back to the system when freed. Without it the C
// library raises that bound after the first large free, and each session's large buffers are
// carved from heaps that it keeps: a long-running host grows session after session. Call once,
// first thing in main(), before any thread starts.
void keepLargeAllocationsReturnable();

inline constexpr unsigned long kLargeAllocationBytes = 1ul << 20;

}  // namespace kelvo
