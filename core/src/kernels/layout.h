#pragma once
// Layout kernels: the planar (CHW) copy of an interleaved (HWC) 8-bit raster
// and the Normalize conversion of 8-bit samples to f32, interleaved or planar.
//
// The inner loops come in a scalar reference form and vector forms with the
// same signature; the vector forms give the same bytes (or the same f32 bits)
// as the scalar form and are chosen at run time from the processor features.
// The allocating functions below check shapes, allocate exactly one output of
// the final size and write every element once.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "error.h"
#include "model.h"

namespace tessalumen::kernels::layout {

// The per-channel constants of a Normalize step, each operation rounded to
// f32: scale = 1 / (max_pixel_value * std), offset = (-mean) / std.
struct NormalizeConstants {
    std::array<float, 3> scale;
    std::array<float, 3> offset;
};

[[nodiscard]] NormalizeConstants normalize_constants(const std::array<float, 3>& mean,
                                                     const std::array<float, 3>& std,
                                                     float max_pixel_value);

// ---- Inner loops (no checks; the caller sizes every buffer) ----

// Plane c of `dst` (pixel_count bytes each) receives byte c of every RGB pixel.
void hwc_u8_to_chw_scalar(const std::uint8_t* src, std::uint8_t* dst, std::uint64_t pixel_count);
// 16 pixels per step, then the scalar loop from the first unprocessed pixel.
void hwc_u8_to_chw_ssse3(const std::uint8_t* src, std::uint8_t* dst, std::uint64_t pixel_count);
// 32 pixels per step (two 16-pixel blocks side by side in the two 128-bit
// lanes), then the scalar loop. Preferred over SSSE3 when AVX2 is present.
void hwc_u8_to_chw_avx2(const std::uint8_t* src, std::uint8_t* dst, std::uint64_t pixel_count);

// Normalizes RGB pixels into three f32 planes of pixel_count values each.
void normalize_hwc_to_chw_scalar(const std::uint8_t* src, float* dst, std::uint64_t pixel_count,
                                 const NormalizeConstants& constants);
// 8 pixels per step, then the scalar loop.
void normalize_hwc_to_chw_avx2(const std::uint8_t* src, float* dst, std::uint64_t pixel_count,
                               const NormalizeConstants& constants);

// Normalizes interleaved RGB samples into interleaved f32 (sample i uses
// channel i mod 3); sample_count need not be a multiple of 3.
void normalize_hwc_scalar(const std::uint8_t* src, float* dst, std::uint64_t sample_count,
                          const NormalizeConstants& constants);
// 8 samples per step (the channel pattern repeats every 24), then the scalar loop.
void normalize_hwc_avx2(const std::uint8_t* src, float* dst, std::uint64_t sample_count,
                        const NormalizeConstants& constants);

// One channel: f32(b) * scale - mean_over_std, 8 samples at a time and a tail.
void normalize_gray(const std::uint8_t* src, float* dst, std::uint64_t sample_count, float scale,
                    float mean_over_std);

// ---- Allocating kernels ----

// Planar copy of an HWC raster with `channels` 1 or 3. Errors:
// "image dimensions overflow", "invalid RGB buffer" (3 channels) or
// "invalid raster buffer" (1 channel), all Invalid; "output allocation
// failed" (Runtime). Other channel counts fail with
// "image requires one or three channels" (Invalid).
[[nodiscard]] CoreResult<Bytes> channels_u8_to_chw(std::span<const std::uint8_t> bytes, std::uint64_t height,
                                                   std::uint64_t width, std::uint64_t channels);

// One channel: every byte normalized with mean, std and max_pixel_value, in order.
[[nodiscard]] CoreResult<std::vector<float>> normalize_channels(std::span<const std::uint8_t> bytes, float mean,
                                                                float std, float max_pixel_value);

// Three channels, interleaved in and out. Converts exactly the bytes given
// (no shape check); a trailing partial pixel uses the channels in order.
[[nodiscard]] CoreResult<std::vector<float>> normalize_channels(std::span<const std::uint8_t> bytes,
                                                                const std::array<float, 3>& mean,
                                                                const std::array<float, 3>& std,
                                                                float max_pixel_value);

// Three channels, planar out. Errors: "image dimensions overflow",
// "invalid RGB buffer" (Invalid), "output allocation failed" (Runtime).
[[nodiscard]] CoreResult<std::vector<float>> normalize_channels_to_chw(std::span<const std::uint8_t> bytes,
                                                                       std::uint64_t height, std::uint64_t width,
                                                                       const std::array<float, 3>& mean,
                                                                       float max_pixel_value,
                                                                       const std::array<float, 3>& std);

}  // namespace tessalumen::kernels::layout
