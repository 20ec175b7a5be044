#pragma once
// Validated per-step parameters. A `TransformPlan` is what compilation makes
// of a `TransformSpec`: the same variant order and fields, except that
//   - every fill list is exactly three bytes (one value repeated per channel),
//   - Normalize mean and std are exactly three values each,
//   - GaussianBlur carries its kernel when the sigma range is a single value.
// Plans are immutable once compiled and shared by every call.

#include <array>
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "model.h"
#include "plan/gaussian_kernel.h"

namespace tessalumen {

using Fill = std::array<std::uint8_t, 3>;

namespace plan {

using Resize = config::Resize;
using LongestMaxSize = config::LongestMaxSize;
using RandomCrop = config::RandomCrop;
using RandomResizedCrop = config::RandomResizedCrop;
using HorizontalFlip = config::HorizontalFlip;
using VerticalFlip = config::VerticalFlip;
using CenterCrop = config::CenterCrop;
struct PadIfNeeded {
    float p;
    std::optional<std::uint64_t> min_height, min_width;
    std::optional<std::uint64_t> pad_height_divisor, pad_width_divisor;
    PadPosition position;
    BorderMode border_mode;
    Fill fill;
};
struct CoarseDropout {
    float p;
    CountRange num_holes_range;
    HoleExtent hole_height_range, hole_width_range;
    Fill fill;
};
using ColorJitter = config::ColorJitter;
struct Affine {
    float p;
    RealRange degrees;
    std::array<float, 2> translate;
    RealRange scale;
    std::array<float, 4> shear;
    Interpolation interpolation;
    BorderMode border_mode;
    Fill fill;
};
struct RandomRotation {
    float p;
    RealRange degrees;
    Interpolation interpolation;
    BorderMode border_mode;
    Fill fill;
};
using GaussianNoise = config::GaussianNoise;
using Sharpen = config::Sharpen;
struct Perspective {
    float p;
    RealRange scale;
    Interpolation interpolation;
    BorderMode border_mode;
    Fill fill;
};
struct GridDistortion {
    float p;
    std::uint64_t num_steps;
    RealRange distort_limit;
    Interpolation interpolation;
    BorderMode border_mode;
    Fill fill;
};
struct GaussianBlur {
    float p;
    std::uint64_t kernel_size;
    RealRange sigma;
    std::optional<GaussianKernel> kernel;  // present exactly when sigma.lo == sigma.hi
};
using Grayscale = config::Grayscale;
using Invert = config::Invert;
using Solarize = config::Solarize;
using Posterize = config::Posterize;
struct Normalize {
    float p;
    std::array<float, 3> mean, std;
    float max_pixel_value;
};

}  // namespace plan

using TransformPlan = std::variant<
    plan::Resize, plan::LongestMaxSize, plan::RandomCrop, plan::RandomResizedCrop, plan::HorizontalFlip,
    plan::VerticalFlip, plan::CenterCrop, plan::PadIfNeeded, plan::CoarseDropout, plan::ColorJitter,
    plan::Affine, plan::RandomRotation, plan::GaussianNoise, plan::Sharpen, plan::Perspective,
    plan::GridDistortion, plan::GaussianBlur, plan::Grayscale, plan::Invert, plan::Solarize,
    plan::Posterize, plan::Normalize>;
static_assert(std::variant_size_v<TransformPlan> == TRANSFORM_COUNT);

[[nodiscard]] inline TransformKind kind_of(const TransformPlan& plan) {
    return static_cast<TransformKind>(plan.index());
}

// The probability `p` every step carries.
[[nodiscard]] inline float probability_of(const TransformPlan& plan) {
    return std::visit([](const auto& step) { return step.p; }, plan);
}

}  // namespace tessalumen
