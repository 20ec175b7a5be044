// One call's parameters, drawn step by step from the call stream. The order
// of draws below is part of the reproducibility contract: a draw added,
// removed or moved changes every later sample of the call.

#include "sampling.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "../validation.h"

namespace tessalumen {
namespace {

__extension__ typedef unsigned __int128 U128;

// Attempts before RandomResizedCrop falls back to a centred crop, and before
// Perspective gives up on a degenerate system and keeps the identity.
constexpr int RESIZED_CROP_ATTEMPTS = 10;
constexpr int PERSPECTIVE_ATTEMPTS = 10;
// A pivot below this makes the corner system degenerate.
constexpr double PERSPECTIVE_MIN_PIVOT = 1e-10;

// Propagate the error of a fallible step, or go on with its value.
#define TRY_ASSIGN(target, expr)                                              \
    do {                                                                      \
        auto result_ = (expr);                                                \
        if (!result_) return std::unexpected(std::move(result_.error()));     \
        target = std::move(*result_);                                         \
    } while (false)

#define TRY_STATUS(expr)                                                      \
    do {                                                                      \
        if (auto status_ = (expr); !status_) {                                \
            return std::unexpected(std::move(status_.error()));               \
        }                                                                     \
    } while (false)

// Real to unsigned: NaN and negative values give 0, values beyond the type's
// range give its maximum.
std::uint64_t saturating_u64(double v) {
    if (!(v > 0.0)) return 0;
    if (v >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(v);
}

// Keeps a sampled side within [1, limit]. Written without std::clamp so that a
// zero limit cannot reach a precondition.
std::uint64_t clamp_side(std::uint64_t v, std::uint64_t limit) {
    return std::min(std::max<std::uint64_t>(v, 1), limit);
}

// The running size: the geometry a step sees after the steps before it.
struct Size {
    std::uint64_t height, width;
};

class Sampler {
public:
    Sampler(Size size, std::uint64_t seed) : size_(size), rng_(StreamRng::from_seed(seed)) {}

    CoreResult<SampledTransform> sample(const TransformPlan& plan) {
        if (!rng_.passes_probability(probability_of(plan))) return sampled::Skipped{};
        auto sample = std::visit([this](const auto& step) { return draw(step); }, plan);
        if (sample) advance(*sample);
        return sample;
    }

private:
    void advance(const SampledTransform& sample) {
        std::visit(
            [this](const auto& s) {
                using S = std::decay_t<decltype(s)>;
                if constexpr (std::is_same_v<S, sampled::Resize> || std::is_same_v<S, sampled::RandomResizedCrop> ||
                              std::is_same_v<S, sampled::RandomCrop> || std::is_same_v<S, sampled::CenterCrop> ||
                              std::is_same_v<S, sampled::PadIfNeeded>) {
                    size_ = {s.height, s.width};
                }
            },
            sample);
    }

    float uniform(RealRange range) { return rng_.sample_uniform(range.lo, range.hi); }

    CoreResult<SampledTransform> draw(const plan::Resize& s) { return sampled::Resize{s.height, s.width}; }

    // Scales the longer side to exactly `max_size` and the other one in
    // proportion, rounding half up on the exact 128-bit quotient.
    CoreResult<SampledTransform> draw(const plan::LongestMaxSize& s) {
        TRY_STATUS(validate_dimensions(size_.height, size_.width));
        TRY_STATUS(validate_dimensions(s.max_size, 1));
        const std::uint64_t longest = std::max(size_.height, size_.width);
        std::array<std::uint64_t, 2> sides{size_.height, size_.width};
        for (std::uint64_t& side : sides) {
            const U128 product = U128{s.max_size} * side;
            U128 scaled = product / longest;
            const U128 remainder = product % longest;
            if (2 * remainder >= longest) ++scaled;
            if (scaled > std::numeric_limits<std::uint64_t>::max()) {
                return fail_invalid(RESIZED_DIMENSIONS_OVERFLOW_MESSAGE);
            }
            side = std::max<std::uint64_t>(static_cast<std::uint64_t>(scaled), 1);
        }
        TRY_STATUS(validate_dimensions(sides[0], sides[1]));
        return sampled::Resize{sides[0], sides[1]};
    }

    CoreResult<SampledTransform> draw(const plan::RandomCrop& s) {
        if (s.height > size_.height || s.width > size_.width) return fail_invalid(CROP_TOO_LARGE_MESSAGE);
        const std::uint64_t top = rng_.uniform_index(0, size_.height - s.height);
        const std::uint64_t left = rng_.uniform_index(0, size_.width - s.width);
        return sampled::RandomCrop{top, left, s.height, s.width};
    }

    CoreResult<SampledTransform> draw(const plan::RandomResizedCrop& s) {
        const std::uint64_t h_in = size_.height;
        const std::uint64_t w_in = size_.width;
        const double ln_lo = std::log(static_cast<double>(s.ratio.lo));
        const double ln_hi = std::log(static_cast<double>(s.ratio.hi));
        const double area = static_cast<double>(h_in) * static_cast<double>(w_in);
        for (int attempt = 0; attempt < RESIZED_CROP_ATTEMPTS; ++attempt) {
            const double target = area * rng_.uniform_f64(s.scale.lo, s.scale.hi);
            const double aspect = std::exp(rng_.uniform_f64(ln_lo, ln_hi));
            const std::uint64_t w = saturating_u64(std::round(std::sqrt(target * aspect)));
            const std::uint64_t h = saturating_u64(std::round(std::sqrt(target / aspect)));
            if (h >= 1 && h <= h_in && w >= 1 && w <= w_in) {
                const std::uint64_t top = rng_.uniform_index(0, h_in - h);
                const std::uint64_t left = rng_.uniform_index(0, w_in - w);
                return sampled::RandomResizedCrop{s.height, s.width, top, left, h, w};
            }
        }
        // No attempt fitted: the largest centred crop whose ratio is in range.
        std::uint64_t h = h_in;
        std::uint64_t w = w_in;
        const double ratio_lo = static_cast<double>(s.ratio.lo);
        const double ratio_hi = static_cast<double>(s.ratio.hi);
        const double ratio = static_cast<double>(w_in) / static_cast<double>(h_in);
        if (ratio < ratio_lo) {
            h = clamp_side(saturating_u64(std::round(static_cast<double>(w_in) / ratio_lo)), h_in);
        } else if (ratio > ratio_hi) {
            w = clamp_side(saturating_u64(std::round(static_cast<double>(h_in) * ratio_hi)), w_in);
        }
        return sampled::RandomResizedCrop{s.height, s.width, (h_in - h) / 2, (w_in - w) / 2, h, w};
    }

    CoreResult<SampledTransform> draw(const plan::HorizontalFlip&) { return sampled::HorizontalFlip{}; }
    CoreResult<SampledTransform> draw(const plan::VerticalFlip&) { return sampled::VerticalFlip{}; }

    // The odd remainder goes to the bottom and right.
    CoreResult<SampledTransform> draw(const plan::CenterCrop& s) {
        if (s.height > size_.height || s.width > size_.width) return fail_invalid(CROP_TOO_LARGE_MESSAGE);
        return sampled::CenterCrop{(size_.height - s.height) / 2, (size_.width - s.width) / 2, s.height, s.width};
    }

    static CoreResult<std::uint64_t> padded_side(std::uint64_t side, const std::optional<std::uint64_t>& minimum,
                                                 const std::optional<std::uint64_t>& divisor) {
        if (minimum) return std::max(*minimum, side);
        if (!divisor || *divisor == 0) return fail_invalid(MISSING_PAD_DIVISOR_MESSAGE);
        const std::uint64_t d = *divisor;
        if (side > std::numeric_limits<std::uint64_t>::max() - (d - 1)) {
            return fail_invalid(PADDED_DIMENSIONS_OVERFLOW_MESSAGE);
        }
        const std::uint64_t rounded = side + (d - 1);
        return rounded - rounded % d;
    }

    CoreResult<SampledTransform> draw(const plan::PadIfNeeded& s) {
        std::uint64_t height = 0;
        std::uint64_t width = 0;
        TRY_ASSIGN(height, padded_side(size_.height, s.min_height, s.pad_height_divisor));
        TRY_ASSIGN(width, padded_side(size_.width, s.min_width, s.pad_width_divisor));
        TRY_STATUS(validate_dimensions(height, width));
        const std::uint64_t dy = height - size_.height;
        const std::uint64_t dx = width - size_.width;
        std::uint64_t top = 0;
        std::uint64_t left = 0;
        switch (s.position) {
            case PadPosition::Center: top = dy / 2, left = dx / 2; break;
            case PadPosition::TopLeft: break;
            case PadPosition::TopRight: left = dx; break;
            case PadPosition::BottomLeft: top = dy; break;
            case PadPosition::BottomRight: top = dy, left = dx; break;
            case PadPosition::Random:
                if (dy > 0) top = rng_.uniform_index(0, dy);
                if (dx > 0) left = rng_.uniform_index(0, dx);
                break;
        }
        return sampled::PadIfNeeded{top, left, height, width};
    }

    // A hole side from a pixel range clipped to the side, or from a fraction
    // of the side floored and kept at least one pixel.
    std::uint64_t hole_side(const HoleExtent& extent, std::uint64_t side) {
        if (const auto* pixels = std::get_if<PixelExtent>(&extent)) {
            return rng_.uniform_index(std::min(pixels->lo, side), std::min(pixels->hi, side));
        }
        const auto& fraction = std::get<FractionExtent>(extent);
        const float f = uniform({fraction.lo, fraction.hi});
        const float extent_px = std::floor(f * static_cast<float>(side));
        return clamp_side(saturating_u64(extent_px), side);
    }

    CoreResult<SampledTransform> draw(const plan::CoarseDropout& s) {
        const std::uint64_t count = rng_.uniform_index(s.num_holes_range.lo, s.num_holes_range.hi);
        sampled::CoarseDropout dropout{s.fill, {}};
        if (count == 0) return dropout;
        try {
            if (count > dropout.holes.max_size()) return fail_runtime(DROPOUT_ALLOCATION_MESSAGE);
            dropout.holes.reserve(count);
        } catch (const std::bad_alloc&) {
            return fail_runtime(DROPOUT_ALLOCATION_MESSAGE);
        } catch (const std::length_error&) {
            return fail_runtime(DROPOUT_ALLOCATION_MESSAGE);
        }
        for (std::uint64_t i = 0; i < count; ++i) {
            const std::uint64_t height = hole_side(s.hole_height_range, size_.height);
            const std::uint64_t width = hole_side(s.hole_width_range, size_.width);
            const std::uint64_t top = rng_.uniform_index(0, size_.height - height);
            const std::uint64_t left = rng_.uniform_index(0, size_.width - width);
            dropout.holes.push_back({top, left, height, width});
        }
        return dropout;
    }

    CoreResult<SampledTransform> draw(const plan::ColorJitter& s) {
        sampled::ColorJitter jitter{};
        jitter.brightness = uniform(s.brightness);
        jitter.contrast = uniform(s.contrast);
        jitter.saturation = uniform(s.saturation);
        jitter.hue = uniform(s.hue);
        // -0 compares equal to 0, so a (-0, 0) range is inactive too.
        jitter.hue_active = s.hue.lo != 0.0f || s.hue.hi != 0.0f;
        jitter.order = {sampled::JITTER_BRIGHTNESS, sampled::JITTER_CONTRAST, sampled::JITTER_SATURATION,
                        sampled::JITTER_HUE};
        rng_.shuffle_order(std::span(jitter.order).first(jitter.hue_active ? 4 : 3));
        return jitter;
    }

    CoreResult<SampledTransform> draw(const plan::Affine& s) {
        sampled::Affine affine{};
        affine.angle = uniform(s.degrees);
        // Negating the product makes a zero fraction the range [-0, 0]: no draw, a -0 shift.
        const float tx = static_cast<float>(size_.width) * s.translate[0];
        affine.translate_x = uniform({-tx, tx});
        const float ty = static_cast<float>(size_.height) * s.translate[1];
        affine.translate_y = uniform({-ty, ty});
        affine.scale = uniform(s.scale);
        affine.shear_x = uniform({s.shear[0], s.shear[1]});
        affine.shear_y = uniform({s.shear[2], s.shear[3]});
        return affine;
    }

    CoreResult<SampledTransform> draw(const plan::RandomRotation& s) {
        return sampled::RandomRotation{uniform(s.degrees)};
    }

    CoreResult<SampledTransform> draw(const plan::GaussianNoise& s) {
        const float mean = uniform(s.mean);
        const float std = uniform(s.std);
        return sampled::GaussianNoise{rng_.next_word(), mean, std, s.per_channel};
    }

    CoreResult<SampledTransform> draw(const plan::Sharpen& s) {
        const float alpha = uniform(s.alpha);
        return sampled::Sharpen{alpha, uniform(s.lightness)};
    }

    CoreResult<SampledTransform> draw(const plan::Perspective& s);

    CoreResult<SampledTransform> draw(const plan::GridDistortion& s) {
        sampled::GridDistortion grid{};
        TRY_ASSIGN(grid.x_map, sample_grid_map(size_.width, s.num_steps, s.distort_limit, rng_));
        TRY_ASSIGN(grid.y_map, sample_grid_map(size_.height, s.num_steps, s.distort_limit, rng_));
        return grid;
    }

    CoreResult<SampledTransform> draw(const plan::GaussianBlur& s) { return sampled::GaussianBlur{uniform(s.sigma)}; }
    CoreResult<SampledTransform> draw(const plan::Grayscale&) { return sampled::Grayscale{}; }
    CoreResult<SampledTransform> draw(const plan::Invert&) { return sampled::Invert{}; }
    CoreResult<SampledTransform> draw(const plan::Solarize& s) { return sampled::Solarize{s.threshold}; }
    CoreResult<SampledTransform> draw(const plan::Posterize& s) { return sampled::Posterize{s.bits}; }
    CoreResult<SampledTransform> draw(const plan::Normalize&) { return sampled::Normalize{}; }

    Size size_;
    StreamRng rng_;
};

constexpr std::array<float, 9> IDENTITY_MATRIX = {1.0f, 0.0f, 0.0f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 1.0f};

// The homography that maps each displaced corner (x, y) back to its source
// corner (u, v), by Gauss-Jordan elimination with partial pivoting on the
// 8 x 9 augmented system. Empty when the system is degenerate or a
// coefficient does not fit f32.
std::optional<std::array<float, 9>> solve_corner_homography(const std::array<std::array<double, 2>, 4>& displaced,
                                                            const std::array<std::array<double, 2>, 4>& source) {
    std::array<std::array<double, 9>, 8> a{};
    for (std::size_t c = 0; c < 4; ++c) {
        const double x = displaced[c][0];
        const double y = displaced[c][1];
        const double u = source[c][0];
        const double v = source[c][1];
        a[2 * c] = {x, y, 1.0, 0.0, 0.0, 0.0, x * (-u), y * (-u), u};
        a[2 * c + 1] = {0.0, 0.0, 0.0, x, y, 1.0, x * (-v), y * (-v), v};
    }
    for (std::size_t col = 0; col < 8; ++col) {
        // Largest magnitude at or below the diagonal; the later row wins ties.
        std::size_t pivot_row = col;
        for (std::size_t r = col + 1; r < 8; ++r) {
            if (std::fabs(a[r][col]) >= std::fabs(a[pivot_row][col])) pivot_row = r;
        }
        if (std::fabs(a[pivot_row][col]) < PERSPECTIVE_MIN_PIVOT) return std::nullopt;
        std::swap(a[col], a[pivot_row]);
        const double pivot = a[col][col];
        for (std::size_t k = col; k < 9; ++k) a[col][k] /= pivot;
        for (std::size_t r = 0; r < 8; ++r) {
            if (r == col) continue;
            const double factor = a[r][col];
            for (std::size_t k = col; k < 9; ++k) a[r][k] = a[r][k] - a[col][k] * factor;
        }
    }
    std::array<float, 9> matrix{};
    for (std::size_t i = 0; i < 8; ++i) {
        matrix[i] = static_cast<float>(a[i][8]);
        if (!std::isfinite(matrix[i])) return std::nullopt;
    }
    matrix[8] = 1.0f;
    return matrix;
}

CoreResult<SampledTransform> Sampler::draw(const plan::Perspective& s) {
    if (size_.height < 2 || size_.width < 2) return sampled::Perspective{IDENTITY_MATRIX};
    const double xm = static_cast<double>(size_.width - 1);
    const double ym = static_cast<double>(size_.height - 1);
    const std::array<std::array<double, 2>, 4> source = {{{0.0, 0.0}, {xm, 0.0}, {xm, ym}, {0.0, ym}}};
    for (int attempt = 0; attempt < PERSPECTIVE_ATTEMPTS; ++attempt) {
        const double scale = static_cast<double>(uniform(s.scale));
        std::array<double, 8> d{};
        for (double& v : d) v = rng_.uniform_f64(0.0, scale);
        // Each corner moves inward by a fraction in [0, scale] of each axis.
        const std::array<std::array<double, 2>, 4> displaced = {{
            {d[0] * xm, d[1] * ym},
            {xm - d[2] * xm, d[3] * ym},
            {xm - d[4] * xm, ym - d[5] * ym},
            {d[6] * xm, ym - d[7] * ym},
        }};
        if (auto matrix = solve_corner_homography(displaced, source)) return sampled::Perspective{*matrix};
    }
    return sampled::Perspective{IDENTITY_MATRIX};
}

}  // namespace

CoreResult<std::vector<float>> sample_grid_map(std::uint64_t size, std::uint64_t steps, RealRange range,
                                               StreamRng& stream) {
    // Compilation rejects zero steps; a direct caller gets the same answer
    // instead of an anchor list too short to interpolate in.
    if (steps == 0) return fail_invalid(GRID_STEPS_MESSAGE);
    std::vector<float> map;
    try {
        if (size > map.max_size()) return fail_runtime(GRID_MAP_ALLOCATION_MESSAGE);
        map.reserve(std::max<std::uint64_t>(size, 1));
    } catch (const std::bad_alloc&) {
        return fail_runtime(GRID_MAP_ALLOCATION_MESSAGE);
    } catch (const std::length_error&) {
        return fail_runtime(GRID_MAP_ALLOCATION_MESSAGE);
    }
    if (size <= 1) {
        map.push_back(0.0f);
        return map;
    }
    if (range.lo == 0.0f && range.hi == 0.0f) {
        for (std::uint64_t i = 0; i < size; ++i) map.push_back(static_cast<float>(i));
        return map;
    }
    // Cumulative cell sizes: each cell is 1 + a draw from the range, positive
    // for ranges inside (-1, 1), so the anchors increase.
    const std::uint64_t cells = std::min(steps, size - 1);
    std::vector<float> anchors;
    try {
        anchors.reserve(cells + 1);
    } catch (const std::bad_alloc&) {
        return fail_runtime(GRID_CONTROL_ALLOCATION_MESSAGE);
    } catch (const std::length_error&) {
        return fail_runtime(GRID_CONTROL_ALLOCATION_MESSAGE);
    }
    anchors.push_back(0.0f);
    for (std::uint64_t j = 1; j <= cells; ++j) {
        anchors.push_back((stream.sample_uniform(range.lo, range.hi) + 1.0f) + anchors[j - 1]);
    }
    const float total = anchors[cells];
    const float last = static_cast<float>(size - 1);
    const float cell_count = static_cast<float>(cells);
    for (std::uint64_t i = 0; i < size; ++i) {
        const float g = (static_cast<float>(i) * cell_count) / last;
        const std::uint64_t j = std::min(saturating_u64(std::floor(g)), cells - 1);
        const float m = anchors[j];
        const float o = anchors[j + 1];
        map.push_back((((o - m) * (g - static_cast<float>(j))) + m) / total * last);
    }
    map[size - 1] = last;
    return map;
}

CoreResult<std::vector<SampledTransform>> sample_plans(std::span<const TransformPlan> plans, std::uint64_t height,
                                                       std::uint64_t width, std::uint64_t stream_seed) {
    std::vector<SampledTransform> samples;
    try {
        samples.reserve(plans.size());
    } catch (const std::bad_alloc&) {
        return fail_runtime(SAMPLED_PLAN_ALLOCATION_MESSAGE);
    } catch (const std::length_error&) {
        return fail_runtime(SAMPLED_PLAN_ALLOCATION_MESSAGE);
    }
    Sampler sampler({height, width}, stream_seed);
    for (const TransformPlan& plan : plans) {
        auto sample = sampler.sample(plan);
        if (!sample) return std::unexpected(std::move(sample.error()));
        samples.push_back(std::move(*sample));
    }
    return samples;
}

}  // namespace tessalumen
