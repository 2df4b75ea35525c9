#include "pipeline/ResourceManaging.h"

namespace dravelin {

void ResourceManaging::prewarmResources() {
    loadResources();
    unloadResources();
}

} // namespace dravelin
