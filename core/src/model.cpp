#include "model.h"

#include <utility>

namespace tessalumen {

PipelineSpec PipelineSpec::with_target_requirements(std::vector<TransformSpec> transforms,
                                                    std::vector<TargetDescriptor> descriptors) {
    PipelineSpec spec;
    spec.transforms = std::move(transforms);
    spec.targets.reserve(descriptors.size());
    spec.requirements.reserve(descriptors.size());
    for (const TargetDescriptor& d : descriptors) {
        spec.targets.push_back({d.role, d.fill});
        spec.requirements.push_back({d.hwc, d.chw});
    }
    return spec;
}

}  // namespace tessalumen
