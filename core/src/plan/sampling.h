#pragma once
// One call's concrete parameters: a `SampledTransform` per step, in step
// order, drawn from the call stream against a running size that starts at
// the first target's size and follows the geometric steps. Every target of
// the call executes the same list, which keeps masks aligned with images.
//
// Static settings (interpolation, border, kernel size, normalisation) stay in
// the step's `TransformPlan`; a record copies only what is named below.

#include <array>
#include <cstdint>
#include <span>
#include <variant>
#include <vector>

#include "../error.h"
#include "../model.h"
#include "../plan.h"
#include "../random_stream.h"

namespace tessalumen {

namespace sampled {

// The probability gate failed: the step passes the raster through.
struct Skipped {
    bool operator==(const Skipped&) const = default;
};
// Resize and LongestMaxSize: the output size.
struct Resize {
    std::uint64_t height, width;
    bool operator==(const Resize&) const = default;
};
struct RandomCrop {
    std::uint64_t top, left, height, width;
    bool operator==(const RandomCrop&) const = default;
};
// Crop the window (top, left, crop_height, crop_width), resize it to (height, width).
struct RandomResizedCrop {
    std::uint64_t height, width;
    std::uint64_t top, left, crop_height, crop_width;
    bool operator==(const RandomResizedCrop&) const = default;
};
struct HorizontalFlip {
    bool operator==(const HorizontalFlip&) const = default;
};
struct VerticalFlip {
    bool operator==(const VerticalFlip&) const = default;
};
struct CenterCrop {
    std::uint64_t top, left, height, width;
    bool operator==(const CenterCrop&) const = default;
};
// `height` and `width` are the padded size; the input sits at (top, left).
struct PadIfNeeded {
    std::uint64_t top, left, height, width;
    bool operator==(const PadIfNeeded&) const = default;
};
struct DropoutHole {
    std::uint64_t top, left, height, width;
    bool operator==(const DropoutHole&) const = default;
};
struct CoarseDropout {
    Fill fill;                        // copied from the plan
    std::vector<DropoutHole> holes;   // may overlap; empty when no hole was drawn
    bool operator==(const CoarseDropout&) const = default;
};
// Stage codes of `order`.
inline constexpr std::uint8_t JITTER_BRIGHTNESS = 0;
inline constexpr std::uint8_t JITTER_CONTRAST = 1;
inline constexpr std::uint8_t JITTER_SATURATION = 2;
inline constexpr std::uint8_t JITTER_HUE = 3;
struct ColorJitter {
    float brightness, contrast, saturation, hue;
    std::array<std::uint8_t, 4> order;  // stage codes in execution order
    bool hue_active;                    // false: hue is last and not applied
    bool operator==(const ColorJitter&) const = default;
};
// Translations in pixels, angles in degrees.
struct Affine {
    float translate_x, translate_y;
    float shear_x, shear_y;
    float angle;
    float scale;
    bool operator==(const Affine&) const = default;
};
struct RandomRotation {
    float angle;  // degrees
    bool operator==(const RandomRotation&) const = default;
};
struct GaussianNoise {
    std::uint64_t noise_seed;  // seeds the noise stream, restarted per target
    float mean, std;
    bool per_channel;  // copied from the plan
    bool operator==(const GaussianNoise&) const = default;
};
struct Sharpen {
    float alpha, lightness;
    bool operator==(const Sharpen&) const = default;
};
// Row order a, b, c, d, e, f, g, h, 1: output (x, y) reads the source at
// ((a x + b y + c) / (g x + h y + 1), (d x + e y + f) / (g x + h y + 1)).
struct Perspective {
    std::array<float, 9> matrix;
    bool operator==(const Perspective&) const = default;
};
// Source coordinate, in pixels, of each output column (x_map) and row (y_map).
struct GridDistortion {
    std::vector<float> x_map, y_map;
    bool operator==(const GridDistortion&) const = default;
};
struct GaussianBlur {
    float sigma;
    bool operator==(const GaussianBlur&) const = default;
};
struct Grayscale {
    bool operator==(const Grayscale&) const = default;
};
struct Invert {
    bool operator==(const Invert&) const = default;
};
struct Solarize {
    std::uint8_t threshold;  // copied from the plan
    bool operator==(const Solarize&) const = default;
};
struct Posterize {
    std::uint8_t bits;  // copied from the plan
    bool operator==(const Posterize&) const = default;
};
struct Normalize {
    bool operator==(const Normalize&) const = default;
};

}  // namespace sampled

// The variant index is the record's tag.
using SampledTransform = std::variant<
    sampled::Skipped, sampled::Resize, sampled::RandomCrop, sampled::RandomResizedCrop,
    sampled::HorizontalFlip, sampled::VerticalFlip, sampled::CenterCrop, sampled::PadIfNeeded,
    sampled::CoarseDropout, sampled::ColorJitter, sampled::Affine, sampled::RandomRotation,
    sampled::GaussianNoise, sampled::Sharpen, sampled::Perspective, sampled::GridDistortion,
    sampled::GaussianBlur, sampled::Grayscale, sampled::Invert, sampled::Solarize,
    sampled::Posterize, sampled::Normalize>;

enum class SampledTag : std::uint8_t {
    Skipped = 0,
    Resize,
    RandomCrop,
    RandomResizedCrop,
    HorizontalFlip,
    VerticalFlip,
    CenterCrop,
    PadIfNeeded,
    CoarseDropout,
    ColorJitter,
    Affine,
    RandomRotation,
    GaussianNoise,
    Sharpen,
    Perspective,
    GridDistortion,
    GaussianBlur,
    Grayscale,
    Invert,
    Solarize,
    Posterize,
    Normalize,
};
static_assert(std::variant_size_v<SampledTransform> == 22);

[[nodiscard]] inline SampledTag tag_of(const SampledTransform& sample) {
    return static_cast<SampledTag>(sample.index());
}

inline constexpr const char* SAMPLED_PLAN_ALLOCATION_MESSAGE = "sampled plan allocation failed";
inline constexpr const char* CROP_TOO_LARGE_MESSAGE = "crop larger than input";
inline constexpr const char* RESIZED_DIMENSIONS_OVERFLOW_MESSAGE = "resized dimensions overflow";
inline constexpr const char* MISSING_PAD_DIVISOR_MESSAGE = "missing pad divisor";
inline constexpr const char* PADDED_DIMENSIONS_OVERFLOW_MESSAGE = "padded dimensions overflow";
inline constexpr const char* DROPOUT_ALLOCATION_MESSAGE = "dropout sample allocation failed";
inline constexpr const char* GRID_MAP_ALLOCATION_MESSAGE = "grid map allocation failed";
inline constexpr const char* GRID_CONTROL_ALLOCATION_MESSAGE = "grid control allocation failed";
inline constexpr const char* GRID_STEPS_MESSAGE = "GridDistortion num_steps must be positive";

// Samples every step of one call: plans in pipeline order, the first target's
// height and width, and the call's `stream_seed`. Returns one record per plan
// (an empty pipeline gives an empty list) or the first error.
[[nodiscard]] CoreResult<std::vector<SampledTransform>> sample_plans(
    std::span<const TransformPlan> plans, std::uint64_t height, std::uint64_t width, std::uint64_t stream_seed);

// One axis map of GridDistortion: `size` source coordinates, the first 0 and
// the last size - 1.
[[nodiscard]] CoreResult<std::vector<float>> sample_grid_map(
    std::uint64_t size, std::uint64_t steps, RealRange range, StreamRng& stream);

namespace plan {
// The single-precision range draw of the call stream.
[[nodiscard]] inline float sample_uniform(RealRange range, StreamRng& stream) {
    return stream.sample_uniform(range.lo, range.hi);
}
}  // namespace plan

}  // namespace tessalumen
