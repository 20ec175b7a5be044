#include "resampler.h"

#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace tessalumen {
namespace {

constexpr const char* EMPTY_IMAGE_DESCRIPTION = "image width and height must be positive";
constexpr const char* SIDE_TOO_LARGE_DESCRIPTION = "image width and height must be below 4294967296";
constexpr const char* PIXEL_MISMATCH_DESCRIPTION = "source and destination pixel layouts differ";
constexpr const char* TABLE_ALLOCATION_DESCRIPTION = "resampler table allocation failed";
constexpr const char* BILINEAR_UNAVAILABLE_DESCRIPTION = "bilinear resampling is not available in this build";

constexpr std::uint64_t SIDE_LIMIT = std::uint64_t{1} << 32;

std::string buffer_description(std::string_view what, std::size_t length, std::uint64_t width,
                               std::uint64_t height, ResamplePixel pixel) {
    std::string text(what);
    text += " of ";
    text += std::to_string(length);
    text += " bytes does not hold ";
    text += std::to_string(width);
    text += " x ";
    text += std::to_string(height);
    text += " pixels of ";
    text += std::to_string(static_cast<unsigned>(pixel));
    text += static_cast<unsigned>(pixel) == 1 ? " byte" : " bytes";
    return text;
}

// Sides are below 2^32 and a pixel is at most 3 bytes, so the product fits 64 bits.
std::uint64_t image_bytes(std::uint64_t width, std::uint64_t height, ResamplePixel pixel) {
    return width * height * static_cast<std::uint64_t>(pixel);
}

// trunc(0.5 s + t s) for output index t; the product and the sum are f64
// operations in that order. The clamp only guards the last index against a
// rounding surprise: 0.5 s + (D - 1) s = S - 0.5 s stays below S.
std::uint64_t nearest_index(double scale, std::uint64_t t, std::uint64_t source_length) {
    const double position = 0.5 * scale + static_cast<double>(t) * scale;
    const auto index = static_cast<std::uint64_t>(position);
    return index < source_length ? index : source_length - 1;
}

template <std::size_t PixelBytes>
void nearest_rows(const ResampleSource& source, const ResampleDestination& destination,
                  const std::vector<std::uint32_t>& columns) {
    const std::uint64_t source_stride = std::uint64_t{source.width} * PixelBytes;
    const std::uint64_t output_stride = std::uint64_t{destination.width} * PixelBytes;
    const double row_scale = static_cast<double>(source.height) / static_cast<double>(destination.height);
    const std::uint8_t* src = source.bytes.data();
    std::uint8_t* dst = destination.bytes.data();
    std::uint64_t previous_row = std::numeric_limits<std::uint64_t>::max();
    for (std::uint64_t y = 0; y < destination.height; ++y) {
        const std::uint64_t source_row = nearest_index(row_scale, y, source.height);
        std::uint8_t* out = dst + y * output_stride;
        if (source_row == previous_row) {
            // Enlarging repeats whole output rows.
            std::memcpy(out, out - output_stride, output_stride);
            continue;
        }
        previous_row = source_row;
        const std::uint8_t* in = src + source_row * source_stride;
        for (std::uint64_t x = 0; x < destination.width; ++x) {
            const std::uint8_t* pixel = in + std::uint64_t{columns[x]} * PixelBytes;
            for (std::size_t c = 0; c < PixelBytes; ++c) out[x * PixelBytes + c] = pixel[c];
        }
    }
}

}  // namespace

std::expected<void, std::string> check_resample_sides(std::uint64_t width, std::uint64_t height) {
    if (width == 0 || height == 0) return std::unexpected(EMPTY_IMAGE_DESCRIPTION);
    if (width >= SIDE_LIMIT || height >= SIDE_LIMIT) return std::unexpected(SIDE_TOO_LARGE_DESCRIPTION);
    return {};
}

void nearest_axis_indices(std::uint64_t source_length, std::uint64_t output_length,
                          std::vector<std::uint32_t>& indices) {
    indices.resize(output_length);
    const double scale = static_cast<double>(source_length) / static_cast<double>(output_length);
    for (std::uint64_t t = 0; t < output_length; ++t) {
        indices[t] = static_cast<std::uint32_t>(nearest_index(scale, t, source_length));
    }
}

std::expected<ResampleSource, std::string> resample_source(std::uint64_t width, std::uint64_t height,
                                                           ResamplePixel pixel,
                                                           std::span<const std::uint8_t> bytes) {
    if (auto sides = check_resample_sides(width, height); !sides) return std::unexpected(std::move(sides.error()));
    if (bytes.size() < image_bytes(width, height, pixel)) {
        return std::unexpected(buffer_description("source buffer", bytes.size(), width, height, pixel));
    }
    return ResampleSource{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), pixel, bytes};
}

std::expected<ResampleDestination, std::string> resample_destination(std::uint64_t width, std::uint64_t height,
                                                                     ResamplePixel pixel,
                                                                     std::span<std::uint8_t> bytes) {
    if (auto sides = check_resample_sides(width, height); !sides) return std::unexpected(std::move(sides.error()));
    if (bytes.size() != image_bytes(width, height, pixel)) {
        return std::unexpected(buffer_description("destination buffer", bytes.size(), width, height, pixel));
    }
    return ResampleDestination{static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height), pixel,
                               bytes};
}

std::expected<void, std::string> resample(ResamplerState& state, const ResampleSource& source,
                                          const ResampleDestination& destination, ResampleAlgorithm algorithm) {
    if (source.pixel != destination.pixel) return std::unexpected(PIXEL_MISMATCH_DESCRIPTION);
    switch (algorithm) {
        case ResampleAlgorithm::Nearest: break;
        case ResampleAlgorithm::BilinearAdaptive:
        case ResampleAlgorithm::BilinearFixed: return std::unexpected(BILINEAR_UNAVAILABLE_DESCRIPTION);
    }
    try {
        nearest_axis_indices(source.width, destination.width, state.nearest_columns);
    } catch (const std::bad_alloc&) {
        return std::unexpected(TABLE_ALLOCATION_DESCRIPTION);
    } catch (const std::length_error&) {
        return std::unexpected(TABLE_ALLOCATION_DESCRIPTION);
    }
    switch (source.pixel) {
        case ResamplePixel::U8x1: nearest_rows<1>(source, destination, state.nearest_columns); break;
        case ResamplePixel::U8x3: nearest_rows<3>(source, destination, state.nearest_columns); break;
    }
    return {};
}

}  // namespace tessalumen
