#pragma once
// Index-only geometry on uint8 HWC rasters: copying a crop window, padding to
// a larger raster (a constant colour or reflect-101 mirroring) and mirroring
// along either axis. Nothing is rounded or interpolated, so every form, scalar
// or vector, gives the same bytes.
//
// Every function takes the raster's channel count, 1 (gray, also masks) or 3
// (RGB); any other count fails with "image requires one or three channels"
// (Invalid). Geometry that does not fit the raster it is applied to is
// reported as an error value before any byte is read or written.

#include <cstdint>
#include <span>

#include "error.h"
#include "model.h"
#include "plan.h"

namespace tessalumen {

// A crop window inside a raster, in pixels.
struct CropWindow {
    std::uint64_t top, left, height, width;
};

// Where a raster lands inside its padded raster, and the padded size.
struct PaddingGeometry {
    std::uint64_t top, left;
    std::uint64_t padded_height, padded_width;
};

// An owned raster and its size; the channel count is the caller's.
struct RasterBuffer {
    Bytes data;  // exactly height * width * channels bytes
    std::uint64_t height, width;
};

// Copies `window` out of the source raster (height x width x channels bytes)
// into `destination`, whose length is set to exactly window height x window
// width x channels (growing or truncating; its capacity is reused), and
// returns it. Errors, in order:
//   "image requires one or three channels" (Invalid);
//   "image dimensions overflow" (Invalid) when a size product overflows;
//   "invalid raster buffer" (Invalid) when the source length is not
//     height x width x channels;
//   "sampled crop exceeds input" (Runtime) when the window leaves the source;
//   "output allocation failed" (Runtime).
// On failure `destination` is released.
[[nodiscard]] CoreResult<RasterBuffer> random_crop_raw_into(std::span<const std::uint8_t> source,
                                                            std::uint64_t height, std::uint64_t width,
                                                            std::uint64_t channels, CropWindow window,
                                                            Bytes destination);

// Pads the source raster to padding.padded_height x padding.padded_width,
// placing it at (padding.top, padding.left), into `destination` (length set
// exactly, as above). `Constant` fills the border with `fill` (RGB uses all
// three bytes, gray the first); `Reflect101` mirrors the source without
// repeating its edge, as often as the padding needs. Errors, in order:
//   "image requires one or three channels" (Invalid);
//   "image dimensions overflow" (Invalid) when the padded or source size overflows;
//   "invalid sampled padding geometry" (Runtime) when the source does not fit
//     inside the padded raster at its offset, or its length is wrong;
//   "padding dimensions overflow" (Invalid), reflect-101 with offsets or
//     widths beyond the signed 64-bit range;
//   "padding map allocation failed" / "output allocation failed" (Runtime).
// On failure `destination` is released.
[[nodiscard]] CoreResult<RasterBuffer> pad_raw(std::span<const std::uint8_t> source, std::uint64_t height,
                                               std::uint64_t width, std::uint64_t channels,
                                               PaddingGeometry padding, BorderMode border_mode,
                                               const Fill& fill, Bytes destination);

// Mirrors the raster left to right in place (whole pixels; the middle pixel of
// an odd width stays). Chooses the AVX2 form when the processor has AVX2.
// Fails with "flip raster does not match its dimensions" (Runtime) when the
// span is not height x width x channels bytes; nothing is touched then.
[[nodiscard]] CoreStatus horizontal_flip(std::span<std::uint8_t> raster, std::uint64_t height,
                                         std::uint64_t width, std::uint64_t channels);

// Mirrors the raster top to bottom in place (row swaps). Same checks as above.
[[nodiscard]] CoreStatus vertical_flip(std::span<std::uint8_t> raster, std::uint64_t height,
                                       std::uint64_t width, std::uint64_t channels);

// Writes the rows of `source` in reverse order into `destination`; the source
// stays untouched. Both spans must be height x width x channels bytes, else
// "flip raster does not match its dimensions" (Runtime) and nothing is written.
[[nodiscard]] CoreStatus vertical_flip_into_channels(std::span<const std::uint8_t> source,
                                                     std::span<std::uint8_t> destination,
                                                     std::uint64_t height, std::uint64_t width,
                                                     std::uint64_t channels);

}  // namespace tessalumen
