#include "validation.h"

#include <cmath>
#include <string>

namespace tessalumen {

CoreStatus validate_probability(float p) {
    if (!(std::isfinite(p) && p >= 0.0f && p <= 1.0f)) return fail_invalid(PROBABILITY_MESSAGE);
    return {};
}

CoreStatus validate_dimensions(std::uint64_t height, std::uint64_t width) {
    if (height == 0 || width == 0) return fail_invalid(DIMENSIONS_NOT_POSITIVE_MESSAGE);
    if (height >= MAX_DIMENSION || width >= MAX_DIMENSION) return fail_invalid(DIMENSIONS_TOO_LARGE_MESSAGE);
    // Both sides are below 2^32, so the product cannot wrap.
    if (height * width > MAX_PIXEL_COUNT) return fail_invalid(DIMENSIONS_OVERFLOW_MESSAGE);
    return {};
}

CoreStatus validate_positive_range(std::string_view label, RealRange range, bool at_most_one) {
    const auto positive = [](float v) { return std::isfinite(v) && v > 0.0f; };
    if (positive(range.lo) && positive(range.hi) && range.lo <= range.hi && (!at_most_one || range.hi <= 1.0f)) {
        return {};
    }
    std::string message(label);
    message += " must be an ordered finite positive range";
    if (at_most_one) message += " at most 1";
    return fail_invalid(message);
}

CoreStatus check_image_channels(std::uint64_t channels) {
    if (channels != 1 && channels != 3) return fail_invalid(IMAGE_CHANNELS_MESSAGE);
    return {};
}

CoreResult<std::uint64_t> raster_sample_count(std::uint64_t height, std::uint64_t width, std::uint64_t channels) {
    std::uint64_t pixels = 0;
    std::uint64_t samples = 0;
    if (__builtin_mul_overflow(height, width, &pixels) || __builtin_mul_overflow(pixels, channels, &samples)) {
        return fail_invalid(DIMENSIONS_OVERFLOW_MESSAGE);
    }
    return samples;
}

CoreResult<Fill> expand_channels(std::span<const std::uint8_t> values) {
    if (values.size() == 1) return Fill{values[0], values[0], values[0]};
    if (values.size() == 3) return Fill{values[0], values[1], values[2]};
    return fail_invalid(FILL_COUNT_MESSAGE);
}

}  // namespace tessalumen
