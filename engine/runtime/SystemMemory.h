#pragma once

namespace dravelin {

// How this process's heap gives memory back to the system, so that what a
// model lets go leaves the resident size instead of waiting in the heap.

// Blocks from 8 MB on (feature maps, a layer's weights) are mapped from the
// system on their own and unmapped when freed, in place of glibc's moving
// threshold, which rises to 32 MB once a large block is freed and then lets
// such blocks pile up, fragmented, in the heap: the resident size of the
// denoising network grew with every evaluation that way. Smaller blocks stay
// in the heap, where reusing them costs no page faults, and up to 64 MB
// freed at the heap's top stays there for the next ones. Set once; later
// calls do nothing.
void keepLargeBlocksOutOfTheHeap();

// Gives the free pages inside the heap back to the system (after a model is
// unloaded, say). Milliseconds.
void returnFreedMemory() noexcept;

} // namespace dravelin
