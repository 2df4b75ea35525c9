#include "nn/blocks/MidBlock2D.h"

namespace dravelin {

MidBlock2D::MidBlock2D(const WeightReader& weights, const std::string& prefix,
                       const ResnetBlockSettings& resnet,
                       const std::optional<AttentionBlockSettings>& attention)
    : first_(weights, prefix + ".resnets.0", resnet),
      second_(weights, prefix + ".resnets.1", resnet) {
    if (attention) {
        attention_.emplace(weights, prefix + ".attentions.0", *attention);
    }
}

void MidBlock2D::declare(WeightList& list, const std::string& prefix,
                         const ResnetBlockSettings& resnet,
                         const std::optional<AttentionBlockSettings>& attention) {
    ResnetBlock2D::declare(list, prefix + ".resnets.0", resnet);
    if (attention) {
        AttentionBlock::declare(list, prefix + ".attentions.0", *attention);
    }
    ResnetBlock2D::declare(list, prefix + ".resnets.1", resnet);
}

FeatureMap MidBlock2D::forward(FeatureMap input) const {
    FeatureMap hidden = first_.forward(std::move(input));
    if (attention_) {
        attention_->forward(hidden);
    }
    return second_.forward(std::move(hidden));
}

} // namespace dravelin
