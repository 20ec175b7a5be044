#pragma once
// The plain data the engine shares: a pipeline as the Python layer declares
// it (one `TransformSpec` per step plus the target signature) and the per-call
// inputs and outputs. These types carry no behaviour; `ExecutionPlan::compile`
// validates them and the engine executes them.
//
// Rasters are contiguous, row-major uint8 samples in HWC order with 1 (gray)
// or 3 (RGB) channels; byte length is always height * width * channels.
// Masks are one-channel HW label maps, never blended. Float results are f32
// in HWC or CHW order.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>
#include <vector>

namespace tessalumen {

using Bytes = std::vector<std::uint8_t>;

template <class T>
struct Range {
    T lo;
    T hi;
};
using RealRange = Range<float>;
using CountRange = Range<std::uint64_t>;

enum class Interpolation : std::uint8_t { Nearest = 0, Bilinear = 1 };
enum class BorderMode : std::uint8_t { Constant = 0, Reflect101 = 1 };
enum class PadPosition : std::uint8_t {
    Center = 0,
    TopLeft = 1,
    TopRight = 2,
    BottomLeft = 3,
    BottomRight = 4,
    Random = 5,
};

// CoarseDropout hole sizes: fractions of the image side or whole pixels.
struct FractionExtent {
    float lo;
    float hi;
};
struct PixelExtent {
    std::uint64_t lo;
    std::uint64_t hi;
};
using HoleExtent = std::variant<FractionExtent, PixelExtent>;

// Configured steps, as the Python layer declares them. Every step carries `p`,
// the probability that it is applied in a call. Fill lists and Normalize
// mean/std hold the values as given (1 or 3 are valid; compilation checks).
namespace config {

struct Resize {
    float p;
    std::uint64_t height, width;
    Interpolation interpolation;
    bool antialias;
};
struct LongestMaxSize {
    float p;
    std::uint64_t max_size;
    Interpolation interpolation;
    bool antialias;
};
struct RandomCrop {
    float p;
    std::uint64_t height, width;
};
struct RandomResizedCrop {
    float p;
    std::uint64_t height, width;
    RealRange scale;  // crop area as a fraction of the input area
    RealRange ratio;  // crop aspect ratio
    Interpolation interpolation;
    bool antialias;
};
struct HorizontalFlip {
    float p;
};
struct VerticalFlip {
    float p;
};
struct CenterCrop {
    float p;
    std::uint64_t height, width;
};
struct PadIfNeeded {
    float p;
    std::optional<std::uint64_t> min_height, min_width;
    std::optional<std::uint64_t> pad_height_divisor, pad_width_divisor;
    PadPosition position;
    BorderMode border_mode;
    Bytes fill;
};
struct CoarseDropout {
    float p;
    CountRange num_holes_range;
    HoleExtent hole_height_range, hole_width_range;
    Bytes fill;
};
struct ColorJitter {
    float p;
    RealRange brightness, contrast, saturation;
    RealRange hue;  // fraction of a full turn
};
struct Affine {
    float p;
    RealRange degrees;
    std::array<float, 2> translate;  // (x, y) as fractions of width and height
    RealRange scale;
    std::array<float, 4> shear;  // degrees: (x lo, x hi, y lo, y hi)
    Interpolation interpolation;
    BorderMode border_mode;
    Bytes fill;
};
struct RandomRotation {
    float p;
    RealRange degrees;
    Interpolation interpolation;
    BorderMode border_mode;
    Bytes fill;
};
struct GaussianNoise {
    float p;
    RealRange mean, std;
    bool per_channel;
};
struct Sharpen {
    float p;
    RealRange alpha, lightness;
};
struct Perspective {
    float p;
    RealRange scale;
    Interpolation interpolation;
    BorderMode border_mode;
    Bytes fill;
};
struct GridDistortion {
    float p;
    std::uint64_t num_steps;
    RealRange distort_limit;
    Interpolation interpolation;
    BorderMode border_mode;
    Bytes fill;
};
struct GaussianBlur {
    float p;
    std::uint64_t kernel_size;
    RealRange sigma;
};
struct Grayscale {
    float p;
};
struct Invert {
    float p;
};
struct Solarize {
    float p;
    std::uint8_t threshold;
};
struct Posterize {
    float p;
    std::uint8_t bits;
};
struct Normalize {
    float p;
    std::vector<float> mean, std;
    float max_pixel_value = 255.0f;
};

}  // namespace config

// The variant index is the transform's registered order number.
using TransformSpec = std::variant<
    config::Resize, config::LongestMaxSize, config::RandomCrop, config::RandomResizedCrop,
    config::HorizontalFlip, config::VerticalFlip, config::CenterCrop, config::PadIfNeeded,
    config::CoarseDropout, config::ColorJitter, config::Affine, config::RandomRotation,
    config::GaussianNoise, config::Sharpen, config::Perspective, config::GridDistortion,
    config::GaussianBlur, config::Grayscale, config::Invert, config::Solarize,
    config::Posterize, config::Normalize>;

enum class TransformKind : std::uint8_t {
    Resize = 0,
    LongestMaxSize,
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

inline constexpr std::size_t TRANSFORM_COUNT = 22;
static_assert(std::variant_size_v<TransformSpec> == TRANSFORM_COUNT);

// Registered names, indexed by `TransformKind`.
inline constexpr std::array<std::string_view, TRANSFORM_COUNT> REGISTERED_TRANSFORM_NAMES = {
    "Resize",         "LongestMaxSize", "RandomCrop",     "RandomResizedCrop", "HorizontalFlip",
    "VerticalFlip",   "CenterCrop",     "PadIfNeeded",    "CoarseDropout",     "ColorJitter",
    "Affine",         "RandomRotation", "GaussianNoise",  "Sharpen",           "Perspective",
    "GridDistortion", "GaussianBlur",   "Grayscale",      "Invert",            "Solarize",
    "Posterize",      "Normalize",
};

[[nodiscard]] constexpr std::string_view transform_name(TransformKind kind) {
    return REGISTERED_TRANSFORM_NAMES[static_cast<std::size_t>(kind)];
}

[[nodiscard]] inline TransformKind kind_of(const TransformSpec& spec) {
    return static_cast<TransformKind>(spec.index());
}

// The probability `p` every step carries.
[[nodiscard]] inline float probability_of(const TransformSpec& spec) {
    return std::visit([](const auto& step) { return step.p; }, spec);
}

enum class TargetRole : std::uint8_t { Image = 0, Mask = 1 };

// The role of one target in the pipeline signature; `fill` is the label
// written into mask pixels that geometric steps uncover (0 for images).
struct TargetSpec {
    TargetRole role;
    std::uint8_t fill;
};

// Which result layouts a target's declared outputs need. An image target with
// neither flag is rejected at call time.
struct TargetRequirements {
    bool hwc;  // some output is not a tensor output (always set for masks)
    bool chw;  // an image target has a tensor output
};

// What the Python layer knows of one target when it declares a pipeline.
struct TargetDescriptor {
    TargetRole role;
    std::uint8_t fill;
    bool hwc;
    bool chw;
};

// A fixed channel count for an image decoded from encoded bytes or a path
// (`fixed` set), or none when the count is only known at call time.
struct ChannelChoice {
    bool fixed;
    std::uint64_t channels;
};

struct PipelineSpec {
    std::vector<ChannelChoice> channel_choices;  // one per target, or empty
    std::vector<TransformSpec> transforms;       // steps in execution order
    std::vector<TargetSpec> targets;
    std::vector<TargetRequirements> requirements;

    [[nodiscard]] static PipelineSpec with_target_requirements(
        std::vector<TransformSpec> transforms, std::vector<TargetDescriptor> descriptors);
};

// One target's raster for one call. Owned data may be consumed and reused by
// the engine; borrowed data is caller memory, valid for the whole call and
// never written.
struct TargetInput {
    std::variant<Bytes, std::span<const std::uint8_t>> data;
    std::uint64_t ndim;  // 2 (HW) or 3 (HWC)
    std::uint64_t channels;
    std::uint64_t height, width;
    TargetRole role;
    std::uint8_t fill;

    [[nodiscard]] std::span<const std::uint8_t> bytes() const {
        if (const auto* owned = std::get_if<Bytes>(&data)) return {owned->data(), owned->size()};
        return std::get<std::span<const std::uint8_t>>(data);
    }
};

enum class RasterKind : std::uint8_t { U8Hwc = 0, F32Hwc = 1, U8Chw = 2, F32Chw = 3 };

// One result raster: bytes for the U8 kinds, f32 values for the F32 kinds,
// height * width * channels elements either way.
struct OutputRaster {
    RasterKind kind;
    std::uint64_t channels;
    std::uint64_t ndim;  // 3, or the input's ndim for HWC results
    std::uint64_t height, width;
    std::variant<Bytes, std::vector<float>> data;
};

// `hwc` only ever holds U8Hwc or F32Hwc, `chw` only U8Chw or F32Chw.
struct ImageOutput {
    std::optional<OutputRaster> hwc;
    std::optional<OutputRaster> chw;
};

struct MaskOutput {
    Bytes data;
    std::uint64_t height, width;
};

using TargetOutput = std::variant<ImageOutput, MaskOutput>;

}  // namespace tessalumen
