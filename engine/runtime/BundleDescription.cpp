#include "runtime/BundleDescription.h"

#include "runtime/Bundle.h"
#include "runtime/Checkpoint.h"
#include "runtime/Model.h"
#include "runtime/Network.h"
#include "runtime/NetworkRegistry.h"
#include "runtime/RuntimeErrors.h"

namespace dravelin {

ModelDescription describeBundle(const std::filesystem::path& bundleDirectory) {
    // A single-file checkpoint's network is described from the file's header.
    if (checkpointPartOf(bundleDirectory)) {
        return Model::describeBundle(bundleDirectory);
    }
    const Bundle bundle = Bundle::read(bundleDirectory);
    const std::string where = "The model bundle \"" + bundle.directoryName() + "\"";
    try {
        const std::string kindName =
            bundle.kind ? *bundle.kind
                        : NetworkRegistry::inferKindName(bundle.config, bundle.directoryName());
        const std::shared_ptr<const NetworkKind> kind = NetworkRegistry::shared().find(kindName);
        if (!kind) {
            throw ModelLoadError(where + " holds a network of class \"" + kindName +
                                 "\", which this runtime cannot build.");
        }
        ModelDescription description = kind->describe(bundle.config);
        for (const FeatureDescription& override : bundle.inputShapes) {
            for (FeatureDescription& input : description.inputs) {
                if (input.name == override.name) {
                    input.shape = override.shape;
                }
            }
        }
        return description;
    } catch (const ModelLoadError&) {
        throw;
    } catch (const std::exception& cause) {
        throw ModelLoadError(where + " cannot be described: " + cause.what());
    }
}

} // namespace dravelin
