#pragma once
// The parameter checks of compilation. Each returns nothing or a CoreError of
// kind Invalid with its fixed message.

#include <cstdint>
#include <span>
#include <string_view>

#include "error.h"
#include "model.h"
#include "plan.h"

namespace tessalumen {

inline constexpr const char* PROBABILITY_MESSAGE = "probability must be in [0, 1]";
inline constexpr const char* DIMENSIONS_NOT_POSITIVE_MESSAGE = "dimensions must be positive";
inline constexpr const char* DIMENSIONS_TOO_LARGE_MESSAGE = "dimensions exceed the native backend limit";
inline constexpr const char* DIMENSIONS_OVERFLOW_MESSAGE = "image dimensions overflow";
inline constexpr const char* FILL_COUNT_MESSAGE = "fill requires one or three values";

// Checks shared by every operation that sizes, reads or allocates a raster.
inline constexpr const char* IMAGE_CHANNELS_MESSAGE = "image requires one or three channels";
inline constexpr const char* INVALID_RASTER_BUFFER_MESSAGE = "invalid raster buffer";
inline constexpr const char* OUTPUT_ALLOCATION_MESSAGE = "output allocation failed";

// Configured sizes stay below 2^32 and height * width * 3 fits in 64 bits.
inline constexpr std::uint64_t MAX_DIMENSION = std::uint64_t{1} << 32;
inline constexpr std::uint64_t MAX_PIXEL_COUNT = 0x5555555555555555ull;

// A finite p with 0 <= p <= 1.
[[nodiscard]] CoreStatus validate_probability(float p);
[[nodiscard]] CoreStatus validate_dimensions(std::uint64_t height, std::uint64_t width);
// Both ends strictly positive and finite, lo <= hi, and hi <= 1 when `at_most_one`.
[[nodiscard]] CoreStatus validate_positive_range(std::string_view label, RealRange range, bool at_most_one);
// 1 (gray) or 3 (RGB) channels, else IMAGE_CHANNELS_MESSAGE (Invalid).
[[nodiscard]] CoreStatus check_image_channels(std::uint64_t channels);
// height * width * channels, or "image dimensions overflow" (Invalid).
[[nodiscard]] CoreResult<std::uint64_t> raster_sample_count(std::uint64_t height, std::uint64_t width,
                                                            std::uint64_t channels);
// One value becomes three copies; three stay; any other count fails.
[[nodiscard]] CoreResult<Fill> expand_channels(std::span<const std::uint8_t> values);

}  // namespace tessalumen
