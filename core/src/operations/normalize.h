#pragma once
// Result layouts of a finished 8-bit raster: the planar (CHW) byte copy, the
// terminal Normalize into f32 samples (HWC or CHW), and the planar copy of an
// f32 HWC result. Each function allocates exactly one result of the final size
// and never modifies its input; an empty input gives an empty result without
// allocating.
//
// Normalized sample, per channel c, bit for bit:
//   scale_c  = 1 / (max_pixel_value * std_c)   (the product rounded to f32 first)
//   offset_c = (-mean_c) / std_c
//   out      = f32(byte) * scale_c + offset_c  (the product rounded before the sum)
// The algebraically equal (byte / max_pixel_value - mean) / std rounds
// differently and is not used. One-channel rasters use mean[0] and std[0].

#include <array>
#include <cstdint>
#include <span>

#include "error.h"
#include "kernels/layout.h"
#include "model.h"
#include "plan.h"

namespace tessalumen {

// A `U8Chw` raster (ndim 3) made from the HWC source; for one channel the data
// equals the source. Errors: "image requires one or three channels",
// "image dimensions overflow", "invalid RGB buffer" (3 channels) or
// "invalid raster buffer" (1 channel) when the length is not
// height x width x channels (all Invalid); "output allocation failed" (Runtime).
[[nodiscard]] CoreResult<OutputRaster> u8_chw_raster(std::span<const std::uint8_t> source,
                                                     std::uint64_t height, std::uint64_t width,
                                                     std::uint64_t channels);

// The Normalize step applied to the HWC source, as an `F32Hwc` or an `F32Chw`
// raster (`kind`; ndim 3). One channel writes the same data for both kinds.
// Errors as for `u8_chw_raster`; a `kind` of U8Hwc or U8Chw fails with
// "normalize result must be a float raster" (Runtime).
[[nodiscard]] CoreResult<OutputRaster> normalize_raster(std::span<const std::uint8_t> source,
                                                        std::uint64_t height, std::uint64_t width,
                                                        std::uint64_t channels, const plan::Normalize& step,
                                                        RasterKind kind);

// The planar `F32Chw` copy of an `F32Hwc` result (ndim 3): element (c, y, x)
// of the copy is element (y, x, c) of `hwc`. Errors: "image requires one or
// three channels" and "image dimensions overflow" (Invalid), "invalid raster
// buffer" (Invalid) when `hwc` does not hold height x width x channels values,
// "output allocation failed" (Runtime).
[[nodiscard]] CoreResult<OutputRaster> f32_chw_copy(std::span<const float> hwc, std::uint64_t height,
                                                    std::uint64_t width, std::uint64_t channels);

}  // namespace tessalumen
