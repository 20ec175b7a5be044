// Mask geometry: the call's sampled crop, resize, pad, flip, affine,
// perspective and grid steps replayed on one label map with nearest-neighbour
// sampling. Out-of-place steps write into a workspace buffer and hand the
// replaced buffer back; flips run in place.

#include "mask.h"

#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "operations/crop_pad_flip.h"
#include "resampler.h"

namespace tessalumen {
namespace {

constexpr const char* MASK_PLAN_MISMATCH_MESSAGE = "sampled mask plan does not match pipeline";
constexpr const char* MASK_BUFFER_SHAPE_MESSAGE = "expected a non-empty HW uint8 mask buffer";
constexpr const char* MASK_CROP_EXCEEDS_MESSAGE = "sampled crop exceeds mask input";
constexpr const char* MASK_DIMENSIONS_OVERFLOW_MESSAGE = "mask dimensions overflow";
constexpr const char* MASK_PADDING_GEOMETRY_MESSAGE = "invalid sampled mask padding geometry";
constexpr const char* PADDING_DIMENSIONS_OVERFLOW_MESSAGE = "padding dimensions overflow";
constexpr const char* INVALID_MASK_BUFFER_PREFIX = "invalid mask buffer: ";
constexpr const char* INVALID_MASK_DESTINATION_PREFIX = "invalid mask resize destination: ";
constexpr const char* MASK_RESIZE_FAILED_PREFIX = "mask resize failed: ";
constexpr const char* AFFINE_MASK_TOO_LARGE_MESSAGE = "Affine mask dimensions must not exceed 16777216 per axis";
constexpr const char* GRID_MAPS_MISMATCH_MESSAGE = "grid maps must match the mask dimensions";

constexpr std::uint64_t I64_MAX = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
// Perspective denominators smaller than this in magnitude map to the fill.
constexpr float PERSPECTIVE_MIN_DENOMINATOR = 1e-8f;

constexpr std::uint8_t BORDER_CONSTANT = static_cast<std::uint8_t>(BorderMode::Constant);

std::unexpected<CoreError> plan_mismatch() { return fail_runtime(MASK_PLAN_MISMATCH_MESSAGE); }

bool multiply_overflows(std::uint64_t a, std::uint64_t b, std::uint64_t& product) {
    return __builtin_mul_overflow(a, b, &product);
}

// The mask invariant every operation relies on before it reads a byte.
CoreStatus check_mask_shape(const MaskRaster& mask) {
    std::uint64_t length = 0;
    if (multiply_overflows(mask.height, mask.width, length)) return fail_invalid(MASK_DIMENSIONS_OVERFLOW_MESSAGE);
    if (mask.height == 0 || mask.width == 0 || mask.data.size() != length) {
        return fail_invalid(MASK_BUFFER_SHAPE_MESSAGE);
    }
    return {};
}

// Rounded coordinates become signed 64-bit integers with saturation; NaN gives 0.
std::int64_t saturate_to_i64(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 9223372036854775808.0) return std::numeric_limits<std::int64_t>::max();
    if (value < -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

// Reflect-101 on an axis of n samples: period 2n - 2, the edge sample not
// repeated, any distance covered; every index is 0 when n = 1. n is the side
// of an existing raster, so 2n - 2 cannot overflow.
std::uint64_t reflect101(std::int64_t i, std::uint64_t n) {
    if (n == 1) return 0;
    const std::uint64_t period = 2 * n - 2;
    std::uint64_t m;
    if (i >= 0) {
        m = static_cast<std::uint64_t>(i) % period;
    } else {
        const std::uint64_t magnitude = static_cast<std::uint64_t>(-(i + 1)) + 1;
        m = (period - magnitude % period) % period;
    }
    return m < n ? m : period - m;
}

// One output byte read at source (u, v) under the step's border rule.
struct BorderedReader {
    const std::uint8_t* source;
    std::uint64_t height, width;
    bool reflect;
    std::uint8_t fill;

    [[nodiscard]] std::uint8_t at(std::int64_t u, std::int64_t v) const {
        if (reflect) return source[reflect101(v, height) * width + reflect101(u, width)];
        if (u < 0 || v < 0 || static_cast<std::uint64_t>(u) >= width || static_cast<std::uint64_t>(v) >= height) {
            return fill;
        }
        return source[static_cast<std::uint64_t>(v) * width + static_cast<std::uint64_t>(u)];
    }
};

// The replaced buffer goes back to the workspace once the new one is complete.
MaskRaster replace(MaskRaster old, Bytes data, std::uint64_t height, std::uint64_t width, Workspace& workspace,
                   bool reuse) {
    workspace.recycle_staged_u8(std::move(old.data), reuse);
    return MaskRaster{std::move(data), height, width};
}

CoreResult<MaskRaster> pad_mask(MaskRaster mask, const sampled::PadIfNeeded& pad, std::uint8_t border,
                                std::uint8_t fill, Workspace& workspace, bool reuse) {
    if (pad.height == mask.height && pad.width == mask.width) return mask;
    std::uint64_t bottom = 0;
    std::uint64_t right = 0;
    if (__builtin_add_overflow(mask.height, pad.top, &bottom) || bottom > pad.height ||
        __builtin_add_overflow(mask.width, pad.left, &right) || right > pad.width) {
        return fail_runtime(MASK_PADDING_GEOMETRY_MESSAGE);
    }
    std::uint64_t length = 0;
    if (multiply_overflows(pad.height, pad.width, length)) return fail_invalid(MASK_DIMENSIONS_OVERFLOW_MESSAGE);
    const bool reflect = border != BORDER_CONSTANT;
    // Reflection forms signed output-minus-offset coordinates; checked before
    // any buffer exists.
    if (reflect && (pad.top > I64_MAX || pad.left > I64_MAX || pad.height > I64_MAX || pad.width > I64_MAX)) {
        return fail_invalid(PADDING_DIMENSIONS_OVERFLOW_MESSAGE);
    }
    auto destination = workspace.take_staged_u8(length, reuse);
    if (!destination) return std::unexpected(std::move(destination.error()));
    const PaddingGeometry geometry{pad.top, pad.left, pad.height, pad.width};
    auto padded = pad_raw(mask.data, mask.height, mask.width, 1, geometry,
                          reflect ? BorderMode::Reflect101 : BorderMode::Constant, Fill{fill, fill, fill},
                          std::move(*destination));
    if (!padded) return std::unexpected(std::move(padded.error()));
    return replace(std::move(mask), std::move(padded->data), padded->height, padded->width, workspace, reuse);
}

CoreResult<MaskRaster> perspective_mask(MaskRaster mask, const sampled::Perspective& sample, std::uint8_t border,
                                        std::uint8_t fill, Workspace& workspace, bool reuse) {
    auto destination = workspace.take_staged_u8(mask.data.size(), reuse);
    if (!destination) return std::unexpected(std::move(destination.error()));
    const auto& m = sample.matrix;
    const BorderedReader reader{mask.data.data(), mask.height, mask.width, border != BORDER_CONSTANT, fill};
    std::uint8_t* out = destination->data();
    for (std::uint64_t y = 0; y < mask.height; ++y) {
        const float fy = static_cast<float>(y);
        const float by = m[1] * fy;
        const float ey = m[4] * fy;
        const float hy = m[7] * fy;
        for (std::uint64_t x = 0; x < mask.width; ++x, ++out) {
            const float fx = static_cast<float>(x);
            const float denominator = (m[6] * fx + hy) + m[8];
            // The fill marks unmappable pixels in both border modes.
            if (!std::isfinite(denominator) || std::fabs(denominator) < PERSPECTIVE_MIN_DENOMINATOR) {
                *out = fill;
                continue;
            }
            const float sx = ((m[0] * fx + by) + m[2]) / denominator;
            const float sy = ((m[3] * fx + ey) + m[5]) / denominator;
            if (!std::isfinite(sx) || !std::isfinite(sy)) {
                *out = fill;
                continue;
            }
            *out = reader.at(saturate_to_i64(roundf(sx)), saturate_to_i64(roundf(sy)));
        }
    }
    const std::uint64_t height = mask.height;
    const std::uint64_t width = mask.width;
    return replace(std::move(mask), std::move(*destination), height, width, workspace, reuse);
}

CoreResult<MaskRaster> grid_mask(MaskRaster mask, const sampled::GridDistortion& sample, std::uint8_t border,
                                 std::uint8_t fill, Workspace& workspace, bool reuse) {
    if (sample.x_map.size() != mask.width || sample.y_map.size() != mask.height) {
        return fail_runtime(GRID_MAPS_MISMATCH_MESSAGE);
    }
    auto destination = workspace.take_staged_u8(mask.data.size(), reuse);
    if (!destination) return std::unexpected(std::move(destination.error()));
    const BorderedReader reader{mask.data.data(), mask.height, mask.width, border != BORDER_CONSTANT, fill};
    std::uint8_t* out = destination->data();
    for (std::uint64_t y = 0; y < mask.height; ++y) {
        const std::int64_t v = saturate_to_i64(roundf(sample.y_map[y]));
        for (std::uint64_t x = 0; x < mask.width; ++x, ++out) {
            *out = reader.at(saturate_to_i64(roundf(sample.x_map[x])), v);
        }
    }
    const std::uint64_t height = mask.height;
    const std::uint64_t width = mask.width;
    return replace(std::move(mask), std::move(*destination), height, width, workspace, reuse);
}

CoreResult<MaskRaster> flip_mask(MaskRaster mask, bool horizontal) {
    const auto flipped = horizontal ? horizontal_flip(mask.data, mask.height, mask.width, 1)
                                    : vertical_flip(mask.data, mask.height, mask.width, 1);
    if (!flipped) return std::unexpected(flipped.error());
    return mask;
}

CoreResult<MaskRaster> apply_step(const MaskStep& step, const SampledTransform& sample, MaskRaster mask,
                                  std::uint8_t fill, Workspace& workspace, bool reuse) {
    switch (step.action) {
        case MaskAction::ResizeGeometry: {
            const auto* s = std::get_if<sampled::Resize>(&sample);
            if (s == nullptr) return plan_mismatch();
            return resize_mask(std::move(mask), s->height, s->width, workspace, reuse);
        }
        case MaskAction::RandomCropGeometry: {
            const auto* s = std::get_if<sampled::RandomCrop>(&sample);
            if (s == nullptr) return plan_mismatch();
            return crop_mask(std::move(mask), s->top, s->left, s->height, s->width, workspace, reuse);
        }
        case MaskAction::ResizedCropGeometry: {
            const auto* s = std::get_if<sampled::RandomResizedCrop>(&sample);
            if (s == nullptr) return plan_mismatch();
            auto cropped = crop_mask(std::move(mask), s->top, s->left, s->crop_height, s->crop_width, workspace, reuse);
            if (!cropped) return cropped;
            return resize_mask(std::move(*cropped), s->height, s->width, workspace, reuse);
        }
        case MaskAction::FlipHorizontal:
            if (!std::holds_alternative<sampled::HorizontalFlip>(sample)) return plan_mismatch();
            return flip_mask(std::move(mask), true);
        case MaskAction::FlipVertical:
            if (!std::holds_alternative<sampled::VerticalFlip>(sample)) return plan_mismatch();
            return flip_mask(std::move(mask), false);
        case MaskAction::CenterCropGeometry: {
            const auto* s = std::get_if<sampled::CenterCrop>(&sample);
            if (s == nullptr) return plan_mismatch();
            return crop_mask(std::move(mask), s->top, s->left, s->height, s->width, workspace, reuse);
        }
        case MaskAction::PadGeometry: {
            const auto* s = std::get_if<sampled::PadIfNeeded>(&sample);
            if (s == nullptr) return plan_mismatch();
            return pad_mask(std::move(mask), *s, step.border, fill, workspace, reuse);
        }
        case MaskAction::AffineGeometry: {
            const auto* s = std::get_if<sampled::Affine>(&sample);
            if (s == nullptr) return plan_mismatch();
            const AffineParameters parameters{s->translate_x, s->translate_y, s->shear_x,
                                              s->shear_y,     s->angle,       s->scale};
            return affine_mask(std::move(mask), parameters, step.border, fill, workspace, reuse);
        }
        case MaskAction::RotationGeometry: {
            const auto* s = std::get_if<sampled::RandomRotation>(&sample);
            if (s == nullptr) return plan_mismatch();
            const AffineParameters parameters{0.0f, 0.0f, 0.0f, 0.0f, s->angle, 1.0f};
            return affine_mask(std::move(mask), parameters, step.border, fill, workspace, reuse);
        }
        case MaskAction::PerspectiveGeometry: {
            const auto* s = std::get_if<sampled::Perspective>(&sample);
            if (s == nullptr) return plan_mismatch();
            return perspective_mask(std::move(mask), *s, step.border, fill, workspace, reuse);
        }
        case MaskAction::GridGeometry: {
            const auto* s = std::get_if<sampled::GridDistortion>(&sample);
            if (s == nullptr) return plan_mismatch();
            return grid_mask(std::move(mask), *s, step.border, fill, workspace, reuse);
        }
        case MaskAction::ImageOnly:
            switch (tag_of(sample)) {
                case SampledTag::CoarseDropout:
                case SampledTag::ColorJitter:
                case SampledTag::GaussianNoise:
                case SampledTag::Sharpen:
                case SampledTag::GaussianBlur:
                case SampledTag::Grayscale:
                case SampledTag::Invert:
                case SampledTag::Solarize:
                case SampledTag::Posterize:
                case SampledTag::Normalize: return mask;
                case SampledTag::Skipped:
                case SampledTag::Resize:
                case SampledTag::RandomCrop:
                case SampledTag::RandomResizedCrop:
                case SampledTag::HorizontalFlip:
                case SampledTag::VerticalFlip:
                case SampledTag::CenterCrop:
                case SampledTag::PadIfNeeded:
                case SampledTag::Affine:
                case SampledTag::RandomRotation:
                case SampledTag::Perspective:
                case SampledTag::GridDistortion: return plan_mismatch();
            }
            return plan_mismatch();
    }
    return plan_mismatch();
}

}  // namespace

CoreResult<MaskRaster> MaskPlan::apply_image(std::span<const SampledTransform> samples, MaskRaster mask,
                                             std::uint8_t fill, Workspace& workspace, bool reuse) const {
    if (steps.size() != samples.size()) return plan_mismatch();
    if (steps.empty()) return mask;
    if (auto shape = check_mask_shape(mask); !shape) return std::unexpected(std::move(shape.error()));
    try {
        for (std::size_t i = 0; i < steps.size(); ++i) {
            if (tag_of(samples[i]) == SampledTag::Skipped) continue;
            auto next = apply_step(steps[i], samples[i], std::move(mask), fill, workspace, reuse);
            if (!next) return next;
            mask = std::move(*next);
        }
    } catch (const std::bad_alloc&) {
        return fail_runtime(OUTPUT_ALLOCATION_MESSAGE);
    }
    return mask;
}

CoreResult<MaskRaster> crop_mask(MaskRaster mask, std::uint64_t top, std::uint64_t left, std::uint64_t height,
                                 std::uint64_t width, Workspace& workspace, bool reuse) {
    if (auto shape = check_mask_shape(mask); !shape) return std::unexpected(std::move(shape.error()));
    std::uint64_t bottom = 0;
    std::uint64_t right = 0;
    if (__builtin_add_overflow(top, height, &bottom) || bottom > mask.height ||
        __builtin_add_overflow(left, width, &right) || right > mask.width) {
        return fail_runtime(MASK_CROP_EXCEEDS_MESSAGE);
    }
    std::uint64_t length = 0;
    if (multiply_overflows(height, width, length)) return fail_invalid(MASK_DIMENSIONS_OVERFLOW_MESSAGE);
    auto destination = workspace.take_staged_u8(length, reuse);
    if (!destination) return std::unexpected(std::move(destination.error()));
    auto cropped = random_crop_raw_into(mask.data, mask.height, mask.width, 1, CropWindow{top, left, height, width},
                                        std::move(*destination));
    if (!cropped) return std::unexpected(std::move(cropped.error()));
    return replace(std::move(mask), std::move(cropped->data), height, width, workspace, reuse);
}

CoreResult<MaskRaster> resize_mask(MaskRaster mask, std::uint64_t output_height, std::uint64_t output_width,
                                   Workspace& workspace, bool reuse) {
    if (auto shape = check_mask_shape(mask); !shape) return std::unexpected(std::move(shape.error()));
    std::uint64_t length = 0;
    if (multiply_overflows(output_height, output_width, length)) {
        return fail_invalid(MASK_DIMENSIONS_OVERFLOW_MESSAGE);
    }
    // A size the resampler cannot take is refused before its buffer exists.
    if (auto sides = check_resample_sides(output_width, output_height); !sides) {
        return fail_runtime(INVALID_MASK_DESTINATION_PREFIX + sides.error());
    }
    auto destination = workspace.take_staged_u8(length, reuse);
    if (!destination) return std::unexpected(std::move(destination.error()));
    const auto source = resample_source(mask.width, mask.height, ResamplePixel::U8x1, mask.data);
    if (!source) return fail_invalid(INVALID_MASK_BUFFER_PREFIX + source.error());
    const auto target = resample_destination(output_width, output_height, ResamplePixel::U8x1, *destination);
    if (!target) return fail_runtime(INVALID_MASK_DESTINATION_PREFIX + target.error());
    if (auto done = resample(workspace.resampler, *source, *target, ResampleAlgorithm::Nearest); !done) {
        return fail_runtime(MASK_RESIZE_FAILED_PREFIX + done.error());
    }
    return replace(std::move(mask), std::move(*destination), output_height, output_width, workspace, reuse);
}

CoreResult<MaskRaster> affine_mask(MaskRaster mask, const AffineParameters& parameters, std::uint8_t border,
                                   std::uint8_t fill, Workspace& workspace, bool reuse) {
    if (auto shape = check_mask_shape(mask); !shape) return std::unexpected(std::move(shape.error()));
    if (mask.height > AFFINE_MASK_SIDE_LIMIT || mask.width > AFFINE_MASK_SIDE_LIMIT) {
        return fail_invalid(AFFINE_MASK_TOO_LARGE_MESSAGE);
    }
    const auto matrix = inverse_affine_matrix(parameters, mask.height, mask.width);
    if (!matrix) return std::unexpected(matrix.error());
    auto destination = workspace.take_staged_u8(mask.data.size(), reuse);
    if (!destination) return std::unexpected(std::move(destination.error()));

    const double m0 = (*matrix)[0], m1 = (*matrix)[1], m2 = (*matrix)[2];
    const double m3 = (*matrix)[3], m4 = (*matrix)[4], m5 = (*matrix)[5];
    const BorderedReader reader{mask.data.data(), mask.height, mask.width, border != BORDER_CONSTANT, fill};
    std::uint8_t* out = destination->data();
    for (std::uint64_t y = 0; y < mask.height; ++y) {
        const double dy = static_cast<double>(y);
        const double row_u = m1 * dy + m2;
        const double row_v = m4 * dy + m5;
        for (std::uint64_t x = 0; x < mask.width; ++x, ++out) {
            const double dx = static_cast<double>(x);
            const std::int64_t u = saturate_to_i64(std::round(m0 * dx + row_u));
            const std::int64_t v = saturate_to_i64(std::round(m3 * dx + row_v));
            *out = reader.at(u, v);
        }
    }
    const std::uint64_t height = mask.height;
    const std::uint64_t width = mask.width;
    return replace(std::move(mask), std::move(*destination), height, width, workspace, reuse);
}

}  // namespace tessalumen
