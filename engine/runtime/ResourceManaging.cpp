#include "runtime/ResourceManaging.h"

namespace dravelin {

void ResourceManaging::prewarmResources() {
    loadResources();
    unloadResources();
}

void ResourceManaging::checkResources() {
    prewarmResources();
}

} // namespace dravelin
