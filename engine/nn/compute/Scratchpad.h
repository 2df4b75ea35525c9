#pragma once

#include <oneapi/dnnl/dnnl.hpp>

#include <unordered_map>

namespace dravelin {

// The scratch memory oneDNN's primitives use while they run. Primitives made
// with scratchpad_mode::user borrow this thread's one buffer, grown to the
// largest any of them has asked for, instead of each keeping a buffer of its
// own for as long as it lives (what oneDNN as Debian builds it, with
// concurrent execution, does otherwise: hundreds of megabytes over a
// denoising network's layers).
class Scratchpad {
public:
    // Sets user scratchpad mode on a primitive's attributes.
    static void useShared(dnnl::primitive_attr& attributes);
    // Adds DNNL_ARG_SCRATCHPAD for `described` (a primitive descriptor's
    // scratchpad_desc()) on this thread's buffer, valid until the next call
    // on this thread; nothing when the primitive needs none.
    static void addTo(std::unordered_map<int, dnnl::memory>& arguments,
                      const dnnl::memory::desc& described);
};

} // namespace dravelin
