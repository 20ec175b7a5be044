#pragma once
// Window copies and padding of uint8 HWC rasters. Pixel loops only: the
// operations in operations/crop_pad_flip check every size and offset first.

#include <array>
#include <cstdint>
#include <span>

namespace tessalumen::kernels::pad {

// Copies `rows` rows of `row_bytes` bytes, starting at byte `first` of the
// source and `source_stride` bytes apart, to the contiguous destination.
void crop_window(const std::uint8_t* source, std::uint64_t source_stride, std::uint64_t first, std::uint64_t rows,
                 std::uint64_t row_bytes, std::uint8_t* destination);

// Gray constant padding: the `top` rows are fill, then each source row is
// written as `left` fill bytes, its `width` bytes and
// padded_width - left - width fill bytes, then the remaining rows are fill.
// The padded height is destination.size() / padded_width.
void constant(std::span<const std::uint8_t> source, std::uint64_t height, std::uint64_t width, std::uint64_t top,
              std::uint64_t left, std::uint64_t padded_width, std::uint8_t fill, std::span<std::uint8_t> destination);

// RGB constant padding with the same layout, the fill written as (R, G, B) triples.
void constant_rgb(std::span<const std::uint8_t> source, std::uint64_t height, std::uint64_t width,
                  std::uint64_t top, std::uint64_t left, std::uint64_t padded_width,
                  const std::array<std::uint8_t, 3>& fill, std::span<std::uint8_t> destination);

// Reflect-101 index of coordinate i >= 0 on an axis of n >= 1 samples:
// period 2n - 2, the edge sample not repeated (..., 2, 1, 0, 1, 2, ...).
[[nodiscard]] std::uint64_t reflect101_at(std::uint64_t i, std::uint64_t n);
// The same for the coordinate -distance (distance >= 1).
[[nodiscard]] std::uint64_t reflect101_before(std::uint64_t distance, std::uint64_t n);

// Reflect-101 padding with `channels` bytes per pixel. `border_columns` holds,
// for each output column outside the source (the `left` columns first, then
// the right ones), the byte offset of its source column within a source row.
// The middle rows are built first (left reflection, source row, right
// reflection); the top and bottom rows are copies of finished middle rows.
void reflect101(const std::uint8_t* source, std::uint64_t height, std::uint64_t width, std::uint64_t channels,
                std::uint64_t top, std::uint64_t left, std::uint64_t padded_height, std::uint64_t padded_width,
                std::span<const std::uint64_t> border_columns, std::uint8_t* destination);

}  // namespace tessalumen::kernels::pad
