#pragma once
// The part of a pipeline that mask targets follow: one `MaskStep` per step,
// saying which geometry the step applies to a label map.

#include <cstdint>
#include <string_view>
#include <vector>

namespace tessalumen {

enum class MaskAction : std::uint8_t {
    ResizeGeometry = 0,       // Resize, LongestMaxSize
    RandomCropGeometry = 1,   // RandomCrop
    ResizedCropGeometry = 2,  // RandomResizedCrop
    FlipHorizontal = 3,
    FlipVertical = 4,
    CenterCropGeometry = 5,
    PadGeometry = 6,  // PadIfNeeded
    AffineGeometry = 7,
    RotationGeometry = 8,  // RandomRotation
    PerspectiveGeometry = 9,
    GridGeometry = 10,  // GridDistortion
    ImageOnly = 11,     // photometric steps: masks are left untouched
};

struct MaskStep {
    std::string_view name;  // the transform's registered name
    float p;
    MaskAction action;
    std::uint8_t border;  // the step's BorderMode where it has one, else 0
};

struct MaskPlan {
    std::vector<MaskStep> steps;
};

}  // namespace tessalumen
