// ExecutionPlan::compile: validation of every step and assembly of the
// immutable compiled pipeline.

#include <cmath>
#include <exception>
#include <string>
#include <type_traits>
#include <utility>

#include "engine.h"
#include "validation.h"

namespace tessalumen {
namespace {

constexpr const char* NO_TARGETS_MESSAGE = "a pipeline requires at least one target";
constexpr const char* NORMALIZE_NOT_TERMINAL_MESSAGE = "Normalize must be terminal";
constexpr const char* MASK_PLAN_ALLOCATION_MESSAGE = "mask plan allocation failed";
constexpr const char* CHANNEL_CHOICES_MESSAGE = "channel choices must match targets";
constexpr const char* COMPILATION_ALLOCATION_MESSAGE = "pipeline compilation ran out of memory";

// Propagates the error of a check, or goes on.
#define TRY_CHECK(expr)                                               \
    do {                                                              \
        if (auto status_ = (expr); !status_) {                        \
            return std::unexpected(std::move(status_.error()));       \
        }                                                             \
    } while (false)

CoreStatus check(bool ok, std::string_view message) {
    if (!ok) return fail_invalid(message);
    return {};
}

std::string labelled(std::string_view label, std::string_view rule) {
    std::string message(label);
    message += rule;
    return message;
}

// lo and hi finite, lo <= hi, and a width hi - lo that is finite in f32, so a
// uniform draw from the range stays finite.
bool is_finite_range(RealRange r) {
    return std::isfinite(r.lo) && std::isfinite(r.hi) && r.lo <= r.hi && std::isfinite(r.hi - r.lo);
}

CoreStatus check_finite_range(std::string_view label, RealRange r) {
    return check(is_finite_range(r), labelled(label, " must be an ordered finite range"));
}

// Zero and negative zero count as non-negative; the width of such a range is finite.
CoreStatus check_non_negative_range(std::string_view label, RealRange r) {
    const auto non_negative = [](float v) { return std::isfinite(v) && v >= 0.0f; };
    return check(non_negative(r.lo) && non_negative(r.hi) && r.lo <= r.hi,
                 labelled(label, " must be an ordered finite non-negative range"));
}

CoreStatus check_dimensions_limit(std::uint64_t size) {
    if (size == 0) return fail_invalid(DIMENSIONS_NOT_POSITIVE_MESSAGE);
    if (size >= MAX_DIMENSION) return fail_invalid(DIMENSIONS_TOO_LARGE_MESSAGE);
    return {};
}

CoreStatus check_pad_side(const std::optional<std::uint64_t>& minimum, const std::optional<std::uint64_t>& divisor,
                          std::string_view message) {
    const bool exactly_one = minimum.has_value() != divisor.has_value();
    const std::uint64_t given = minimum.value_or(divisor.value_or(0));
    return check(exactly_one && given > 0, message);
}

CoreStatus check_hole_extent(std::string_view label, const HoleExtent& extent) {
    if (const auto* fraction = std::get_if<FractionExtent>(&extent)) {
        return validate_positive_range(label, {fraction->lo, fraction->hi}, true);
    }
    const auto& pixels = std::get<PixelExtent>(extent);
    return check(pixels.lo >= 1 && pixels.lo <= pixels.hi, labelled(label, " must be an ordered positive range"));
}

bool is_strictly_positive_finite(float v) { return std::isfinite(v) && v > 0.0f; }

CoreResult<TransformPlan> compile_step(config::Resize s) {
    TRY_CHECK(validate_dimensions(s.height, s.width));
    TRY_CHECK(validate_probability(s.p));
    return s;
}

CoreResult<TransformPlan> compile_step(config::LongestMaxSize s) {
    TRY_CHECK(check_dimensions_limit(s.max_size));
    TRY_CHECK(validate_probability(s.p));
    return s;
}

template <class Crop>
    requires std::is_same_v<Crop, config::RandomCrop> || std::is_same_v<Crop, config::CenterCrop>
CoreResult<TransformPlan> compile_step(Crop s) {
    TRY_CHECK(validate_dimensions(s.height, s.width));
    TRY_CHECK(validate_probability(s.p));
    return s;
}

CoreResult<TransformPlan> compile_step(config::RandomResizedCrop s) {
    TRY_CHECK(validate_dimensions(s.height, s.width));
    TRY_CHECK(validate_positive_range("scale", s.scale, true));
    TRY_CHECK(validate_positive_range("ratio", s.ratio, false));
    TRY_CHECK(validate_probability(s.p));
    return s;
}

// Flips, Grayscale, Invert and Solarize (every threshold byte is valid).
template <class Step>
    requires std::is_same_v<Step, config::HorizontalFlip> || std::is_same_v<Step, config::VerticalFlip> ||
             std::is_same_v<Step, config::Grayscale> || std::is_same_v<Step, config::Invert> ||
             std::is_same_v<Step, config::Solarize>
CoreResult<TransformPlan> compile_step(Step s) {
    TRY_CHECK(validate_probability(s.p));
    return s;
}

CoreResult<TransformPlan> compile_step(config::PadIfNeeded s) {
    TRY_CHECK(check_pad_side(s.min_height, s.pad_height_divisor,
                             "PadIfNeeded height requires exactly one positive minimum or divisor"));
    TRY_CHECK(check_pad_side(s.min_width, s.pad_width_divisor,
                             "PadIfNeeded width requires exactly one positive minimum or divisor"));
    TRY_CHECK(validate_probability(s.p));
    auto fill = expand_channels(s.fill);
    if (!fill) return std::unexpected(std::move(fill.error()));
    return plan::PadIfNeeded{s.p,        s.min_height,    s.min_width, s.pad_height_divisor, s.pad_width_divisor,
                             s.position, s.border_mode, *fill};
}

CoreResult<TransformPlan> compile_step(config::CoarseDropout s) {
    TRY_CHECK(check(s.num_holes_range.lo >= 1 && s.num_holes_range.lo <= s.num_holes_range.hi,
                    "CoarseDropout num_holes_range must be an ordered positive range"));
    TRY_CHECK(check_hole_extent("CoarseDropout hole_height_range", s.hole_height_range));
    TRY_CHECK(check_hole_extent("CoarseDropout hole_width_range", s.hole_width_range));
    TRY_CHECK(validate_probability(s.p));
    auto fill = expand_channels(s.fill);
    if (!fill) return std::unexpected(std::move(fill.error()));
    return plan::CoarseDropout{s.p, s.num_holes_range, s.hole_height_range, s.hole_width_range, *fill};
}

CoreResult<TransformPlan> compile_step(config::ColorJitter s) {
    TRY_CHECK(check_non_negative_range("ColorJitter brightness", s.brightness));
    TRY_CHECK(check_non_negative_range("ColorJitter contrast", s.contrast));
    TRY_CHECK(check_non_negative_range("ColorJitter saturation", s.saturation));
    TRY_CHECK(check(std::isfinite(s.hue.lo) && std::isfinite(s.hue.hi) && -0.5f <= s.hue.lo && s.hue.lo <= s.hue.hi &&
                        s.hue.hi <= 0.5f,
                    "ColorJitter hue must be an ordered finite range in [-0.5, 0.5]"));
    TRY_CHECK(validate_probability(s.p));
    return s;
}

CoreResult<TransformPlan> compile_step(config::Affine s) {
    TRY_CHECK(check(is_finite_range(s.degrees), "Affine degrees must be a finite ordered range"));
    for (float t : s.translate) {
        TRY_CHECK(check(std::isfinite(t) && t >= 0.0f && t <= 1.0f,
                        "Affine translate values must be finite and in [0, 1]"));
    }
    TRY_CHECK(check(is_strictly_positive_finite(s.scale.lo) && is_strictly_positive_finite(s.scale.hi) &&
                        s.scale.lo <= s.scale.hi,
                    "Affine scale must be a finite ordered positive range"));
    bool shear_ok = s.shear[0] <= s.shear[1] && s.shear[2] <= s.shear[3];
    for (float v : s.shear) shear_ok = shear_ok && std::isfinite(v) && std::fabs(v) < 90.0f;
    TRY_CHECK(check(shear_ok, "Affine shear must contain finite ordered ranges within (-90, 90)"));
    TRY_CHECK(validate_probability(s.p));
    auto fill = expand_channels(s.fill);
    if (!fill) return std::unexpected(std::move(fill.error()));
    return plan::Affine{s.p, s.degrees, s.translate, s.scale, s.shear, s.interpolation, s.border_mode, *fill};
}

CoreResult<TransformPlan> compile_step(config::RandomRotation s) {
    TRY_CHECK(check(is_finite_range(s.degrees), "RandomRotation degrees must be a finite ordered range"));
    TRY_CHECK(validate_probability(s.p));
    auto fill = expand_channels(s.fill);
    if (!fill) return std::unexpected(std::move(fill.error()));
    return plan::RandomRotation{s.p, s.degrees, s.interpolation, s.border_mode, *fill};
}

CoreResult<TransformPlan> compile_step(config::GaussianNoise s) {
    TRY_CHECK(check_finite_range("GaussianNoise mean", s.mean));
    TRY_CHECK(check_non_negative_range("GaussianNoise std", s.std));
    TRY_CHECK(validate_probability(s.p));
    return s;
}

CoreResult<TransformPlan> compile_step(config::Sharpen s) {
    TRY_CHECK(check_non_negative_range("Sharpen alpha", s.alpha));
    TRY_CHECK(check(s.alpha.hi <= 1.0f, "Sharpen alpha values must be in [0, 1]"));
    TRY_CHECK(check_non_negative_range("Sharpen lightness", s.lightness));
    TRY_CHECK(validate_probability(s.p));
    return s;
}

CoreResult<TransformPlan> compile_step(config::Perspective s) {
    TRY_CHECK(check_non_negative_range("Perspective scale", s.scale));
    TRY_CHECK(check(s.scale.hi < 0.5f, "Perspective scale values must be in [0, 0.5)"));
    TRY_CHECK(validate_probability(s.p));
    auto fill = expand_channels(s.fill);
    if (!fill) return std::unexpected(std::move(fill.error()));
    return plan::Perspective{s.p, s.scale, s.interpolation, s.border_mode, *fill};
}

CoreResult<TransformPlan> compile_step(config::GridDistortion s) {
    TRY_CHECK(check(s.num_steps != 0, "GridDistortion num_steps must be positive"));
    TRY_CHECK(check_finite_range("GridDistortion distort_limit", s.distort_limit));
    TRY_CHECK(check(s.distort_limit.lo > -1.0f && s.distort_limit.hi < 1.0f,
                    "GridDistortion distort_limit values must be within (-1, 1)"));
    TRY_CHECK(validate_probability(s.p));
    auto fill = expand_channels(s.fill);
    if (!fill) return std::unexpected(std::move(fill.error()));
    return plan::GridDistortion{s.p, s.num_steps, s.distort_limit, s.interpolation, s.border_mode, *fill};
}

CoreResult<TransformPlan> compile_step(config::GaussianBlur s) {
    TRY_CHECK(validate_probability(s.p));
    TRY_CHECK(validate_positive_range("GaussianBlur sigma", s.sigma, false));
    plan::GaussianBlur blur{s.p, s.kernel_size, s.sigma, std::nullopt};
    if (s.sigma.lo == s.sigma.hi) {
        auto kernel = make_gaussian_kernel(s.kernel_size, s.sigma.lo);
        if (!kernel) return std::unexpected(std::move(kernel.error()));
        blur.kernel = std::move(*kernel);
    } else {
        // Built only to reject a range whose ends cannot be built.
        for (float sigma : {s.sigma.lo, s.sigma.hi}) {
            auto kernel = make_gaussian_kernel(s.kernel_size, sigma);
            if (!kernel) return std::unexpected(std::move(kernel.error()));
        }
    }
    return blur;
}

CoreResult<TransformPlan> compile_step(config::Posterize s) {
    TRY_CHECK(check(s.bits >= 1 && s.bits <= 8, "Posterize bits must be in [1, 8]"));
    TRY_CHECK(validate_probability(s.p));
    return s;
}

CoreResult<TransformPlan> compile_step(config::Normalize s) {
    bool finite = is_strictly_positive_finite(s.max_pixel_value);
    for (float m : s.mean) finite = finite && std::isfinite(m);
    for (float d : s.std) finite = finite && is_strictly_positive_finite(d);
    TRY_CHECK(check(finite, "Normalize mean must be finite; std and max_pixel_value must be finite and positive"));
    TRY_CHECK(validate_probability(s.p));
    const auto expand = [](const std::vector<float>& v) {
        return v.size() == 1 ? std::array<float, 3>{v[0], v[0], v[0]} : std::array<float, 3>{v[0], v[1], v[2]};
    };
    TRY_CHECK(check(s.mean.size() == 1 || s.mean.size() == 3, "mean requires one or three values"));
    TRY_CHECK(check(s.std.size() == 1 || s.std.size() == 3, "std requires one or three values"));
    return plan::Normalize{s.p, expand(s.mean), expand(s.std), s.max_pixel_value};
}

MaskAction mask_action_of(TransformKind kind) {
    switch (kind) {
        case TransformKind::Resize:
        case TransformKind::LongestMaxSize: return MaskAction::ResizeGeometry;
        case TransformKind::RandomCrop: return MaskAction::RandomCropGeometry;
        case TransformKind::RandomResizedCrop: return MaskAction::ResizedCropGeometry;
        case TransformKind::HorizontalFlip: return MaskAction::FlipHorizontal;
        case TransformKind::VerticalFlip: return MaskAction::FlipVertical;
        case TransformKind::CenterCrop: return MaskAction::CenterCropGeometry;
        case TransformKind::PadIfNeeded: return MaskAction::PadGeometry;
        case TransformKind::Affine: return MaskAction::AffineGeometry;
        case TransformKind::RandomRotation: return MaskAction::RotationGeometry;
        case TransformKind::Perspective: return MaskAction::PerspectiveGeometry;
        case TransformKind::GridDistortion: return MaskAction::GridGeometry;
        case TransformKind::CoarseDropout:
        case TransformKind::ColorJitter:
        case TransformKind::GaussianNoise:
        case TransformKind::Sharpen:
        case TransformKind::GaussianBlur:
        case TransformKind::Grayscale:
        case TransformKind::Invert:
        case TransformKind::Solarize:
        case TransformKind::Posterize:
        case TransformKind::Normalize: return MaskAction::ImageOnly;
    }
    return MaskAction::ImageOnly;
}

MaskStep mask_step_of(const TransformPlan& plan) {
    const TransformKind kind = kind_of(plan);
    const std::uint8_t border = std::visit(
        [](const auto& step) -> std::uint8_t {
            if constexpr (requires { step.border_mode; }) {
                return static_cast<std::uint8_t>(step.border_mode);
            } else {
                return 0;
            }
        },
        plan);
    return {transform_name(kind), probability_of(plan), mask_action_of(kind), border};
}

CoreResult<std::vector<std::uint64_t>> channel_alternatives_of(std::size_t index, const TargetSpec& target,
                                                               const std::optional<ChannelChoice>& choice,
                                                               const std::optional<std::string>& rgb_requirement) {
    if (target.role == TargetRole::Mask) return std::vector<std::uint64_t>{1};
    const std::string prefix = "target " + std::to_string(index) + ": ";
    if (choice && choice->fixed) {
        if (choice->channels == 1 && rgb_requirement) return fail_invalid(prefix + *rgb_requirement);
        if (choice->channels != 1 && choice->channels != 3) return fail_invalid(prefix + "unsupported image channels");
        return std::vector<std::uint64_t>{choice->channels};
    }
    if (rgb_requirement) return std::vector<std::uint64_t>{3};
    return std::vector<std::uint64_t>{1, 3};
}

}  // namespace

CoreResult<TransformPlan> compile_one(TransformSpec spec) {
    return std::visit([](auto&& step) { return compile_step(std::move(step)); }, std::move(spec));
}

namespace {

CoreResult<CompiledPipeline> compile_pipeline(PipelineSpec spec, ExecutionMode mode) {
    CompiledPipeline compiled{};
    compiled.mode = mode;
    compiled.rgb_requirement = rgb_requirement(spec.transforms);
    compiled.configured_texts.reserve(spec.transforms.size());
    for (const TransformSpec& step : spec.transforms) compiled.configured_texts.push_back(configured_texts(step));

    if (spec.targets.empty()) return fail_invalid(NO_TARGETS_MESSAGE);
    for (std::size_t i = 0; i + 1 < spec.transforms.size(); ++i) {
        if (kind_of(spec.transforms[i]) == TransformKind::Normalize) return fail_invalid(NORMALIZE_NOT_TERMINAL_MESSAGE);
    }

    compiled.plans.reserve(spec.transforms.size());
    for (TransformSpec& step : spec.transforms) {
        auto plan = compile_one(std::move(step));
        if (!plan) return std::unexpected(std::move(plan.error()));
        compiled.plans.push_back(std::move(*plan));
    }
    spec.transforms.clear();

    try {
        compiled.mask_plan.steps.reserve(compiled.plans.size());
        for (const TransformPlan& plan : compiled.plans) compiled.mask_plan.steps.push_back(mask_step_of(plan));
    } catch (const std::exception&) {
        return fail_runtime(MASK_PLAN_ALLOCATION_MESSAGE);
    }

    auto rgb = LoweringPlan::compile_channels(compiled.plans, mode, 3);
    if (!rgb) return std::unexpected(std::move(rgb.error()));
    compiled.lowering_rgb = std::move(*rgb);
    auto gray = LoweringPlan::compile_channels(compiled.plans, mode, 1);
    if (!gray) return std::unexpected(std::move(gray.error()));
    compiled.lowering_gray = std::move(*gray);

    if (!spec.channel_choices.empty() && spec.channel_choices.size() != spec.targets.size()) {
        return fail_invalid(CHANNEL_CHOICES_MESSAGE);
    }
    compiled.channel_alternatives.reserve(spec.targets.size());
    for (std::size_t i = 0; i < spec.targets.size(); ++i) {
        std::optional<ChannelChoice> choice;
        if (!spec.channel_choices.empty()) choice = spec.channel_choices[i];
        auto alternatives = channel_alternatives_of(i, spec.targets[i], choice, compiled.rgb_requirement);
        if (!alternatives) return std::unexpected(std::move(alternatives.error()));
        compiled.channel_alternatives.push_back(std::move(*alternatives));
    }

    compiled.targets = std::move(spec.targets);
    compiled.requirements = std::move(spec.requirements);
    return compiled;
}

}  // namespace

CoreResult<CompiledPipeline> ExecutionPlan::compile(PipelineSpec spec, ExecutionMode mode) {
    try {
        return compile_pipeline(std::move(spec), mode);
    } catch (const std::bad_alloc&) {
        return fail_runtime(COMPILATION_ALLOCATION_MESSAGE);
    }
}

}  // namespace tessalumen
