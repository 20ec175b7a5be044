#pragma once
// The image resampler every workspace carries: presents caller buffers as
// images (refusing buffers that do not hold the declared pixels) and resizes
// a whole source image onto a whole destination image.
//
// Nearest neighbour, per axis with source length S, output length D and
// s = S / D in f64: output index t reads source index trunc(0.5 s + t s).
// It copies bytes and never blends, which is what label maps need.
//
// Errors are descriptions (text); the callers prefix them with what they were
// resizing, for example "invalid mask buffer: ".

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "resampler_state.h"

namespace tessalumen {

// Pixel layouts the resampler takes; the value is the byte count per pixel.
enum class ResamplePixel : std::uint8_t { U8x1 = 1, U8x3 = 3 };

enum class ResampleAlgorithm : std::uint8_t {
    Nearest = 0,
    BilinearAdaptive = 1,  // bilinear filter, support widened when shrinking (antialias)
    BilinearFixed = 2,     // bilinear filter, support kept at one source pixel
};

// A read-only image over borrowed bytes.
struct ResampleSource {
    std::uint32_t width, height;
    ResamplePixel pixel;
    std::span<const std::uint8_t> bytes;
};

// A writable image over bytes of exactly width * height * pixel bytes.
struct ResampleDestination {
    std::uint32_t width, height;
    ResamplePixel pixel;
    std::span<std::uint8_t> bytes;
};

// Whether an image of this size can be presented at all: non-empty, each side
// below 2^32. Lets a caller refuse a size before allocating its buffer.
[[nodiscard]] std::expected<void, std::string> check_resample_sides(std::uint64_t width, std::uint64_t height);

// The source must be non-empty, each side below 2^32, and hold at least
// width * height pixels.
[[nodiscard]] std::expected<ResampleSource, std::string> resample_source(std::uint64_t width,
                                                                         std::uint64_t height,
                                                                         ResamplePixel pixel,
                                                                         std::span<const std::uint8_t> bytes);
// The destination must be non-empty, each side below 2^32, and hold exactly
// width * height pixels.
[[nodiscard]] std::expected<ResampleDestination, std::string> resample_destination(
    std::uint64_t width, std::uint64_t height, ResamplePixel pixel, std::span<std::uint8_t> bytes);

// Resizes the whole source onto the whole destination (no cropping). Both
// images must have the same pixel layout. The state's tables are reused
// across calls.
[[nodiscard]] std::expected<void, std::string> resample(ResamplerState& state, const ResampleSource& source,
                                                        const ResampleDestination& destination,
                                                        ResampleAlgorithm algorithm);

// The source index each output index reads along one axis under nearest
// neighbour, written into `indices` (resized to `output_length`).
void nearest_axis_indices(std::uint64_t source_length, std::uint64_t output_length,
                          std::vector<std::uint32_t>& indices);

}  // namespace tessalumen
