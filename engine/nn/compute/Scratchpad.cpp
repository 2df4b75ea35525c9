#include "nn/compute/Scratchpad.h"

#include "nn/compute/AlignedBuffer.h"
#include "nn/compute/ComputeContext.h"

namespace dravelin {

void Scratchpad::useShared(dnnl::primitive_attr& attributes) {
    attributes.set_scratchpad_mode(dnnl::scratchpad_mode::user);
}

void Scratchpad::addTo(std::unordered_map<int, dnnl::memory>& arguments,
                       const dnnl::memory::desc& described) {
    const size_t bytes = described.get_size();
    if (bytes == 0) {
        return;
    }
    // Kept for the thread's life: a generation's thread ends with it.
    thread_local AlignedBuffer buffer;
    const size_t floats = (bytes + sizeof(float) - 1) / sizeof(float);
    if (buffer.size() < floats) {
        buffer = AlignedBuffer();
        buffer = AlignedBuffer(floats);
    }
    arguments.insert_or_assign(DNNL_ARG_SCRATCHPAD,
                               dnnl::memory(described, ComputeContext::engine(), buffer.data()));
}

} // namespace dravelin
