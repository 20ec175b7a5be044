#include "operations/normalize.h"

#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "validation.h"

namespace tessalumen {
namespace {

constexpr std::uint64_t GRAY = 1;
constexpr std::uint64_t RGB = 3;

OutputRaster make_raster(RasterKind kind, std::uint64_t channels, std::uint64_t height, std::uint64_t width,
                         std::variant<Bytes, std::vector<float>> data) {
    constexpr std::uint64_t RESULT_NDIM = 3;
    return OutputRaster{kind, channels, RESULT_NDIM, height, width, std::move(data)};
}

}  // namespace

CoreResult<OutputRaster> u8_chw_raster(std::span<const std::uint8_t> source, std::uint64_t height,
                                       std::uint64_t width, std::uint64_t channels) {
    auto planar = kernels::layout::channels_u8_to_chw(source, height, width, channels);
    if (!planar) return std::unexpected(std::move(planar.error()));
    return make_raster(RasterKind::U8Chw, channels, height, width, std::move(*planar));
}

CoreResult<OutputRaster> normalize_raster(std::span<const std::uint8_t> source, std::uint64_t height,
                                          std::uint64_t width, std::uint64_t channels, const plan::Normalize& step,
                                          RasterKind kind) {
    constexpr std::string_view NOT_FLOAT = "normalize result must be a float raster";
    switch (kind) {
        case RasterKind::F32Hwc:
        case RasterKind::F32Chw:
            break;
        case RasterKind::U8Hwc:
        case RasterKind::U8Chw:
            return fail_runtime(NOT_FLOAT);
    }
    if (auto ok = check_image_channels(channels); !ok) return std::unexpected(ok.error());
    const auto samples = raster_sample_count(height, width, channels);
    if (!samples) return std::unexpected(samples.error());
    constexpr std::string_view INVALID_RGB_BUFFER = "invalid RGB buffer";
    if (source.size() != *samples) return fail_invalid(channels == RGB ? INVALID_RGB_BUFFER : INVALID_RASTER_BUFFER_MESSAGE);

    CoreResult<std::vector<float>> values;
    if (channels == GRAY) {
        // One plane: interleaved and planar orders coincide.
        values = kernels::layout::normalize_channels(source, step.mean[0], step.std[0], step.max_pixel_value);
    } else if (kind == RasterKind::F32Chw) {
        values = kernels::layout::normalize_channels_to_chw(source, height, width, step.mean, step.max_pixel_value,
                                                            step.std);
    } else {
        values = kernels::layout::normalize_channels(source, step.mean, step.std, step.max_pixel_value);
    }
    if (!values) return std::unexpected(std::move(values.error()));
    return make_raster(kind, channels, height, width, std::move(*values));
}

CoreResult<OutputRaster> f32_chw_copy(std::span<const float> hwc, std::uint64_t height, std::uint64_t width,
                                      std::uint64_t channels) {
    if (auto ok = check_image_channels(channels); !ok) return std::unexpected(ok.error());
    std::uint64_t pixels = 0;
    if (__builtin_mul_overflow(height, width, &pixels)) return fail_invalid(DIMENSIONS_OVERFLOW_MESSAGE);
    // pixels * channels cannot overflow when it equals the element count of a real buffer.
    if (hwc.size() / channels != pixels || hwc.size() % channels != 0) return fail_invalid(INVALID_RASTER_BUFFER_MESSAGE);

    std::vector<float> planar;
    try {
        planar.resize(hwc.size());
    } catch (const std::bad_alloc&) {
        return fail_runtime(OUTPUT_ALLOCATION_MESSAGE);
    } catch (const std::length_error&) {
        return fail_runtime(OUTPUT_ALLOCATION_MESSAGE);
    }
    for (std::uint64_t c = 0; c < channels; ++c) {
        float* plane = planar.data() + c * pixels;
        for (std::uint64_t i = 0; i < pixels; ++i) plane[i] = hwc[i * channels + c];
    }
    return make_raster(RasterKind::F32Chw, channels, height, width, std::move(planar));
}

}  // namespace tessalumen
