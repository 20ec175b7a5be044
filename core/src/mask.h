#pragma once
// The part of a pipeline that mask targets follow: one `MaskStep` per step,
// saying which geometry the step applies to a label map, and the operations
// that replay a call's sampled geometry on one mask.
//
// Masks are never blended: every byte of an output mask is a byte of the
// input mask or the mask target's own fill. Geometric steps sample by nearest
// neighbour with the step's border mode; photometric steps leave masks alone.
//
// Buffer rule of every out-of-place operation (crop, resize, pad, affine,
// perspective, grid): the destination comes from
// `Workspace::take_staged_u8(length, reuse)`, and once the operation has
// succeeded the previous mask buffer goes back through
// `Workspace::recycle_staged_u8(buffer, reuse)`. Flips work in place. On any
// failure the mask buffer that was moved in is released.

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "error.h"
#include "model.h"
#include "operations/affine_matrix.h"
#include "plan/sampling.h"
#include "workspace.h"

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

// An owned one-channel label map, row-major, exactly height * width bytes.
struct MaskRaster {
    Bytes data;
    std::uint64_t height, width;
};

// Largest mask side an affine or rotation step accepts.
inline constexpr std::uint64_t AFFINE_MASK_SIDE_LIMIT = std::uint64_t{1} << 24;

struct MaskPlan {
    std::vector<MaskStep> steps;

    // Replays the call's samples (one per step, in step order) on `mask`.
    // Skipped samples do nothing; a mask whose applied steps are all
    // image-only comes back in the very buffer that went in.
    [[nodiscard]] CoreResult<MaskRaster> apply_image(std::span<const SampledTransform> samples, MaskRaster mask,
                                                     std::uint8_t fill, Workspace& workspace, bool reuse) const;
};

// The window (top, left, height, width) of the mask.
[[nodiscard]] CoreResult<MaskRaster> crop_mask(MaskRaster mask, std::uint64_t top, std::uint64_t left,
                                               std::uint64_t height, std::uint64_t width, Workspace& workspace,
                                               bool reuse);

// Nearest-neighbour resize with the workspace's resampler, whatever the
// step's own interpolation.
[[nodiscard]] CoreResult<MaskRaster> resize_mask(MaskRaster mask, std::uint64_t output_height,
                                                 std::uint64_t output_width, Workspace& workspace, bool reuse);

// Nearest-neighbour affine warp with the image warp's inverse matrix, so a
// mask and a nearest image warp agree pixel for pixel. `border` is the
// step's BorderMode byte (0 constant with `fill`, 1 reflect-101).
[[nodiscard]] CoreResult<MaskRaster> affine_mask(MaskRaster mask, const AffineParameters& parameters,
                                                 std::uint8_t border, std::uint8_t fill, Workspace& workspace,
                                                 bool reuse);

}  // namespace tessalumen
