#pragma once
// Mirroring kernels on uint8 HWC rasters. Pixel loops only: the caller has
// checked that `data` holds height x width x channels bytes.
//
// Horizontal flips exchange pixel x and pixel width - 1 - x of every row for
// x < width / 2 (whole pixels; channel order inside a pixel is kept). The
// AVX2 forms give the same bytes as the scalar forms they sit beside.

#include <cstdint>

namespace tessalumen::kernels::flip {

// Three channels.
void horizontal_flip_scalar(std::uint8_t* data, std::uint64_t height, std::uint64_t width);
// Swaps 16 pixels from each end of a row per step, then finishes the row with
// the scalar swap.
void horizontal_flip_avx2(std::uint8_t* data, std::uint64_t height, std::uint64_t width);

// One channel.
void horizontal_flip_gray_scalar(std::uint8_t* data, std::uint64_t height, std::uint64_t width);
// Swaps 32 bytes from each end of a row per step, then the scalar swap.
void horizontal_flip_gray_avx2(std::uint8_t* data, std::uint64_t height, std::uint64_t width);

// Exchanges rows r and height - 1 - r for r < height / 2.
void vertical_flip_in_place(std::uint8_t* data, std::uint64_t height, std::uint64_t row_bytes);

// Destination row r receives source row height - 1 - r. The buffers do not overlap.
void vertical_flip_into(const std::uint8_t* src, std::uint8_t* dst, std::uint64_t height,
                        std::uint64_t row_bytes);

}  // namespace tessalumen::kernels::flip
