#include "runtime/ResourceManaging.h"

namespace dravelin {

void ResourceManaging::prewarmResources() {
    loadResources();
    unloadResources();
}

} // namespace dravelin
