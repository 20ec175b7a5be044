#include "operations/crop_pad_flip.h"

#include <limits>
#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "validation.h"

#include "cpu_features.h"
#include "kernels/flip.h"
#include "kernels/pad.h"

namespace tessalumen {
namespace {

constexpr std::uint64_t GRAY = 1;
constexpr std::uint64_t RGB = 3;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t sum = 0;
    return __builtin_add_overflow(a, b, &sum) ? std::numeric_limits<std::uint64_t>::max() : sum;
}

// Sets the length of `buffer` to exactly `size`, keeping its capacity when it suffices.
CoreStatus set_length(Bytes& buffer, std::uint64_t size) {
    try {
        buffer.resize(size);
    } catch (const std::bad_alloc&) {
        return fail_runtime(OUTPUT_ALLOCATION_MESSAGE);
    } catch (const std::length_error&) {
        return fail_runtime(OUTPUT_ALLOCATION_MESSAGE);
    }
    return {};
}

// The raster a flip works on must be exactly height x width x channels bytes.
CoreStatus check_flip_raster(std::uint64_t size, std::uint64_t height, std::uint64_t width, std::uint64_t channels) {
    constexpr std::string_view FLIP_RASTER_MISMATCH = "flip raster does not match its dimensions";
    if (auto ok = check_image_channels(channels); !ok) return ok;
    const auto samples = raster_sample_count(height, width, channels);
    if (!samples) return std::unexpected(samples.error());
    if (size != *samples) return fail_runtime(FLIP_RASTER_MISMATCH);
    return {};
}

}  // namespace

CoreResult<RasterBuffer> random_crop_raw_into(std::span<const std::uint8_t> source, std::uint64_t height,
                                              std::uint64_t width, std::uint64_t channels, CropWindow window,
                                              Bytes destination) {
    if (auto ok = check_image_channels(channels); !ok) return std::unexpected(ok.error());
    const auto samples = raster_sample_count(height, width, channels);
    if (!samples) return std::unexpected(samples.error());
    if (source.size() != *samples) return fail_invalid(INVALID_RASTER_BUFFER_MESSAGE);

    constexpr std::string_view CROP_EXCEEDS_INPUT = "sampled crop exceeds input";
    if (saturating_add(window.top, window.height) > height || saturating_add(window.left, window.width) > width)
        return fail_runtime(CROP_EXCEEDS_INPUT);

    // Cannot overflow: the window lies inside the source, whose size was checked.
    const std::uint64_t row_bytes = window.width * channels;
    if (auto ok = set_length(destination, window.height * row_bytes); !ok) return std::unexpected(ok.error());
    kernels::pad::crop_window(source.data(), width * channels, (window.top * width + window.left) * channels,
                              window.height, row_bytes, destination.data());
    return RasterBuffer{std::move(destination), window.height, window.width};
}

CoreResult<RasterBuffer> pad_raw(std::span<const std::uint8_t> source, std::uint64_t height, std::uint64_t width,
                                 std::uint64_t channels, PaddingGeometry padding, BorderMode border_mode,
                                 const Fill& fill, Bytes destination) {
    if (auto ok = check_image_channels(channels); !ok) return std::unexpected(ok.error());
    const auto padded_samples = raster_sample_count(padding.padded_height, padding.padded_width, channels);
    if (!padded_samples) return std::unexpected(padded_samples.error());
    const auto source_samples = raster_sample_count(height, width, channels);
    if (!source_samples) return std::unexpected(source_samples.error());

    constexpr std::string_view INVALID_PADDING = "invalid sampled padding geometry";
    if (saturating_add(padding.top, height) > padding.padded_height ||
        saturating_add(padding.left, width) > padding.padded_width || source.size() != *source_samples)
        return fail_runtime(INVALID_PADDING);
    // Mirroring needs at least one source pixel to mirror.
    if (border_mode == BorderMode::Reflect101 && *padded_samples != 0 && *source_samples == 0)
        return fail_runtime(INVALID_PADDING);

    constexpr std::uint64_t SIGNED_MAX = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    constexpr std::string_view PADDING_OVERFLOW = "padding dimensions overflow";
    if (border_mode == BorderMode::Reflect101 && (padding.left > SIGNED_MAX || width > SIGNED_MAX))
        return fail_invalid(PADDING_OVERFLOW);

    if (auto ok = set_length(destination, *padded_samples); !ok) return std::unexpected(ok.error());
    if (*padded_samples == 0) return RasterBuffer{std::move(destination), padding.padded_height, padding.padded_width};

    switch (border_mode) {
        case BorderMode::Constant:
            if (channels == RGB) {
                kernels::pad::constant_rgb(source, height, width, padding.top, padding.left, padding.padded_width,
                                           fill, destination);
            } else {
                kernels::pad::constant(source, height, width, padding.top, padding.left, padding.padded_width,
                                       fill[0], destination);
            }
            break;
        case BorderMode::Reflect101: {
            // Source column (as a byte offset in a row) of every output column
            // outside the source: the left ones, then the right ones.
            const std::uint64_t left = padding.left;
            const std::uint64_t right = padding.padded_width - left - width;
            constexpr std::string_view MAP_ALLOCATION_FAILED = "padding map allocation failed";
            std::vector<std::uint64_t> border_columns;
            try {
                border_columns.reserve(saturating_add(left, right));
            } catch (const std::bad_alloc&) {
                return fail_runtime(MAP_ALLOCATION_FAILED);
            } catch (const std::length_error&) {
                return fail_runtime(MAP_ALLOCATION_FAILED);
            }
            for (std::uint64_t x = 0; x < left; ++x)
                border_columns.push_back(kernels::pad::reflect101_before(left - x, width) * channels);
            for (std::uint64_t x = 0; x < right; ++x)
                border_columns.push_back(kernels::pad::reflect101_at(width + x, width) * channels);
            kernels::pad::reflect101(source.data(), height, width, channels, padding.top, left,
                                     padding.padded_height, padding.padded_width, border_columns,
                                     destination.data());
            break;
        }
    }
    return RasterBuffer{std::move(destination), padding.padded_height, padding.padded_width};
}

CoreStatus horizontal_flip(std::span<std::uint8_t> raster, std::uint64_t height, std::uint64_t width,
                           std::uint64_t channels) {
    if (auto ok = check_flip_raster(raster.size(), height, width, channels); !ok) return ok;
    const bool avx2 = cpu_features().avx2;
    if (channels == RGB) {
        if (avx2) {
            kernels::flip::horizontal_flip_avx2(raster.data(), height, width);
        } else {
            kernels::flip::horizontal_flip_scalar(raster.data(), height, width);
        }
    } else if (avx2) {
        kernels::flip::horizontal_flip_gray_avx2(raster.data(), height, width);
    } else {
        kernels::flip::horizontal_flip_gray_scalar(raster.data(), height, width);
    }
    return {};
}

CoreStatus vertical_flip(std::span<std::uint8_t> raster, std::uint64_t height, std::uint64_t width,
                         std::uint64_t channels) {
    if (auto ok = check_flip_raster(raster.size(), height, width, channels); !ok) return ok;
    kernels::flip::vertical_flip_in_place(raster.data(), height, width * channels);
    return {};
}

CoreStatus vertical_flip_into_channels(std::span<const std::uint8_t> source, std::span<std::uint8_t> destination,
                                       std::uint64_t height, std::uint64_t width, std::uint64_t channels) {
    if (auto ok = check_flip_raster(source.size(), height, width, channels); !ok) return ok;
    if (auto ok = check_flip_raster(destination.size(), height, width, channels); !ok) return ok;
    kernels::flip::vertical_flip_into(source.data(), destination.data(), height, width * channels);
    return {};
}

}  // namespace tessalumen
